#include "payload/target_groups.h"

#include "container/payload_stream.h"
#include "core/big5.h"
#include "fsutil/fsutil.h"
#include "payload/entry_pass.h"

void NormaliseTargetFolder(Session* s, const Str* path, Str* out) {
  if (!FsFileExists(s->os, path->s)) {
    StrCopy(out, path);
    return;
  }
  // A typed path may use '/' as well; cutting at '\' only would turn
  // "C:/App/app.exe" into the current folder. The walk goes by characters,
  // so the trail byte of a file named 功 (A5 5C) is not taken for the last
  // separator.
  int32_t cut = Big5LastSeparator(path->s, path->len);
  Str folder;
  if (cut < 0)
    StrSetZ(&folder, ".");
  else
    StrSet(&folder, path->s, cut + 1);
  StrCopy(out, &folder);
}

static bool StrEq(const Str* a, const Str* b) {
  return a->len == b->len && memcmp(a->s, b->s, (size_t)a->len) == 0;
}

// Kind 1: the folder is the text of a registry value. The cursor is at the
// root key; the group body begins after the value name.
static MsgCode ResolveRegistryFolder(Session* s, int32_t k, Str* folder) {
  uint8_t root[4];
  Str subkey, value_name;
  if (!PayloadRead(s, root, 4) || !PayloadReadString(s, &subkey) ||
      !PayloadReadString(s, &value_name))
    return kMsgBroken;
  s->groups.body_pos[k] = PayloadTell(s);
  RegKey key = 0;
  if (!s->os->reg_open((RegKey)LoadLe32(root), subkey.s, kKeyRead, &key))
    return kMsgRegistryFolder;
  char buf[kFolderBufferSize];
  uint32_t size = sizeof buf;
  uint32_t type = 0;
  buf[0] = 0;
  bool ok = s->os->reg_query(key, value_name.s, &type, buf, &size);
  s->os->reg_close(key);
  // A value of no bytes leaves the buffer untouched; it is as empty as one
  // that starts with a NUL.
  if (!ok || size == 0 || buf[0] == 0) return kMsgRegistryFolder;
  if (size > sizeof buf) size = sizeof buf;
  int32_t n = 0;
  while ((uint32_t)n < size && buf[n] != 0) n++;
  StrSet(folder, buf, n);
  Str normalised;
  NormaliseTargetFolder(s, folder, &normalised);
  StrCopy(folder, &normalised);
  return kOk;
}

// Kinds 2 and 3, taken as the system gives them.
static MsgCode ResolveSystemFolder(Session* s, uint8_t kind, Str* folder) {
  char buf[kFolderBufferSize];
  int32_t n = kind == kGroupWindowsFolder
                  ? s->os->windows_folder(buf, (int32_t)sizeof buf)
                  : s->os->system_folder(buf, (int32_t)sizeof buf);
  // No folder at all would make every path below it start at the root of
  // the current drive.
  if (n <= 0 || n >= (int32_t)sizeof buf) return kMsgRegistryFolder;
  StrSet(folder, buf, n);
  return kOk;
}

// The body of group k, stepped over to reach the next group record. Its
// backup folder name and entry headers are checked as the runner would
// check them, with the runner's codes. Counts the entries into *ordinal.
static MsgCode StepOverBody(Session* s, int32_t k, int32_t* ordinal) {
  PayloadSeek(s, s->groups.body_pos[k]);
  Str backup;
  if (!PayloadReadString(s, &backup) ||
      !PayloadNameStaysInside(backup.s, backup.len))
    return kMsgBroken;
  for (;;) {
    uint8_t kind = 0;
    if (!ReadNextEntryHeader(s, &kind)) return kMsgStructure;
    if (kind == kEntryEnd) return kOk;
    (*ordinal)++;
  }
}

MsgCode ReadTargetGroups(Session* s) {
  TargetGroups* t = &s->groups;
  t->last = -1;
  PayloadSeek(s, s->group_table_pos);
  int32_t ordinal = 0;
  for (int32_t k = 0;; k++) {
    uint8_t head[2];
    if (!PayloadRead(s, head, 2)) return kMsgBroken;
    const uint8_t kind = head[0];
    const uint8_t flags = head[1];
    t->body_pos[k] = PayloadTell(s);
    // The folder is resolved into the current target folder, which "%s"
    // shows, and then kept for the group.
    Str* folder = &s->target_folder;
    switch (kind) {
      case kGroupChosenFolder:
        NormaliseTargetFolder(s, &s->chosen_folder, folder);
        break;
      case kGroupRegistryValue:
        RETURN_IF_ERR(ResolveRegistryFolder(s, k, folder));
        break;
      case kGroupWindowsFolder:
      case kGroupSystemFolder:
        RETURN_IF_ERR(ResolveSystemFolder(s, kind, folder));
        break;
      default:
        return kMsgBroken;
    }
    // A staging folder is made beside its target folder. When the group
    // now resolves elsewhere (the user chose another folder after a failed
    // run), the old one must not be used: it may not even be writable.
    if (!StrEq(&t->folder[k], folder)) StrClear(&s->staging[k]);
    StrCopy(&t->folder[k], folder);
    t->first_ordinal[k] = ordinal;
    if (s->hooks.set_folder_text)
      s->hooks.set_folder_text(s->hooks.ctx, folder->s);
    t->last = k;
    if (!(flags & kGroupMoreGroups)) return kOk;
    if (k + 1 == kMaxGroups) return kMsgBroken;  // no slot for another
    RETURN_IF_ERR(StepOverBody(s, k, &ordinal));
  }
}
