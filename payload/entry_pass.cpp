#include "payload/entry_pass.h"

#include "container/payload_stream.h"
#include "fsutil/fsutil.h"

// A folder with every PATCHn.TMP name up to here taken is not worth
// searching further; the group then has no staging folder (11).
enum { kStagingSearchLimit = 65536 };

static bool ReadU32(Session* s, uint32_t* v) {
  uint8_t b[4];
  if (!PayloadRead(s, b, 4)) return false;
  *v = LoadLe32(b);
  return true;
}

static bool ReadHolePair(Session* s, uint32_t* offset, uint32_t* length) {
  return ReadU32(s, offset) && ReadU32(s, length);
}

// Moves the cursor past a data part of len bytes, which a pass reads later
// from its recorded position. A part reaching past the end of the payload
// is refused: a length from a damaged payload could otherwise wrap the
// 32-bit position and send the walk back over entries it already read.
static bool StepOver(Session* s, uint32_t len) {
  uint32_t pos = PayloadTell(s);
  uint64_t end = (uint64_t)pos + len;
  if (end > s->os->file_size(s->payload)) return false;
  return PayloadSeek(s, (uint32_t)end);
}

static bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Unlike the path walks, this check looks at single bytes on purpose: every
// 0x5C counts as a separator, the trail byte of 許 (B3 5C) included. The
// system reads a name in its own ANSI code page, which need not be 950; on
// a system where B3 is a character of one byte, 許..\x climbs out of the
// folder. Splitting at every 0x5C finds each component that any code page
// could make of the name, so the check can only refuse more: a Big5 name
// passes unless a 0x5C trail byte is followed by a component of dots and
// spaces alone, which no real file is called.
bool PayloadNameStaysInside(const char* name, int32_t len) {
  if (len <= 0 || IsSeparator(name[0])) return false;
  if (len >= 2 && name[1] == ':') return false;  // "C:x" is relative to C:
  bool names_something = false;
  int32_t i = 0;
  while (i < len) {
    int32_t start = i;
    while (i < len && !IsSeparator(name[i])) i++;
    // Windows trims trailing dots and spaces from path components, so a
    // component of dots and spaces alone may turn into "." or "..".
    int32_t dots = 0;
    bool only_dots_and_spaces = true;
    for (int32_t j = start; j < i; j++) {
      if (name[j] == '.')
        dots++;
      else if (name[j] != ' ')
        only_dots_and_spaces = false;
    }
    if (only_dots_and_spaces && dots >= 2) return false;
    if (!only_dots_and_spaces) names_something = true;
    i++;  // past the separator
  }
  return names_something;
}

static bool ReadName(Session* s, Str* name) {
  return PayloadReadString(s, name) && PayloadNameStaysInside(name->s, name->len);
}

static bool ReadPatchedHeader(Session* s) {
  CurrentEntry* e = &s->entry;
  uint8_t h[kPatchedHeaderSize];
  if (!PayloadRead(s, h, sizeof h)) return false;
  e->new_checksum = LoadLe32(h + 0);
  e->new_size = LoadLe32(h + 4);
  e->new_stamp = LoadLe32(h + 8);
  e->source_count = LoadLe16(h + 14);
  e->flags = h[16];
  const bool holes = (e->flags & kEntryHasHoles) != 0;
  e->hole_offset = 0;
  e->hole_length = 0;
  if (holes && !ReadHolePair(s, &e->hole_offset, &e->hole_length))
    return false;
  e->optional = (e->flags & kEntryOptional) != 0;
  if (!ReadName(s, &e->name)) return false;
  // The source slots are fixed; a longer chain is not a payload we wrote.
  if (e->source_count > kMaxSources) return false;
  for (int32_t k = 0; k < e->source_count; k++) {
    SourceSlot* src = &e->source[k];
    if (!PayloadReadString(s, &src->name)) return false;
    if (src->name.len == 0)
      StrCopy(&src->name, &e->name);
    else if (!PayloadNameStaysInside(src->name.s, src->name.len))
      return false;
    uint8_t raw[kSourceRecordSize];
    if (!PayloadRead(s, raw, sizeof raw)) return false;
    SourceRecordDecode(raw, &src->record);
    src->hole_offset = 0;
    src->hole_length = 0;
    if (holes && !ReadHolePair(s, &src->hole_offset, &src->hole_length))
      return false;
    src->data_pos = PayloadTell(s);
    for (int i = 0; i < kStreamCount; i++)
      if (!StepOver(s, src->record.stream_len[i])) return false;
  }
  return true;
}

static bool ReadNewFileHeader(Session* s) {
  CurrentEntry* e = &s->entry;
  if (!ReadName(s, &e->name)) return false;
  uint8_t h[kNewFileHeaderSize];
  if (!PayloadRead(s, h, sizeof h)) return false;
  e->data_length = LoadLe32(h + 0);
  e->new_file_stamp = LoadLe32(h + 4);
  e->data_pos = PayloadTell(s);
  return StepOver(s, e->data_length);
}

static bool ReadRegistryHeader(Session* s) {
  CurrentEntry* e = &s->entry;
  if (!ReadU32(s, &e->data_length)) return false;
  e->data_pos = PayloadTell(s);
  return StepOver(s, e->data_length);
}

bool ReadNextEntryHeader(Session* s, uint8_t* kind) {
  if (!s->payload) return false;
  uint8_t k = 0;
  if (!PayloadRead(s, &k, 1)) return false;
  *kind = k;
  s->entry.kind = k;
  bool ok;
  switch (k) {
    case kEntryEnd: ok = true; break;
    case kEntryPatched: ok = ReadPatchedHeader(s); break;
    case kEntryNew: ok = ReadNewFileHeader(s); break;
    case kEntryRemoved: ok = ReadName(s, &s->entry.name); break;
    case kEntryRegistry: ok = ReadRegistryHeader(s); break;
    default: ok = false; break;
  }
  if (ok) s->entry.end_pos = PayloadTell(s);
  return ok;
}

static void StrCatDecimal(Str* d, uint32_t n) {
  char digits[10];
  int32_t count = 0;
  do {
    digits[count++] = (char)('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (count > 0) StrCatCh(d, digits[--count]);
}

MsgCode CreateStagingFolder(Session* s, const Str* target, int32_t slot) {
  if (slot < 0 || slot >= kMaxGroups) return kMsgStagingFolder;
  Str path;
  StrCopy(&path, target);
  StrCatZ(&path, "\\x");
  if (path.overflow) return kMsgStagingFolder;
  FsCreateParentFolders(s->os, path.s);
  for (uint32_t n = 0;; n++) {
    if (n == kStagingSearchLimit) return kMsgStagingFolder;
    StrCopy(&path, target);
    StrCatZ(&path, "\\PATCH");
    StrCatDecimal(&path, n);
    StrCatZ(&path, ".TMP");
    if (path.overflow) return kMsgStagingFolder;
    if (!FsFolderExists(s->os, path.s)) break;
  }
  bool made = s->os->create_folder(path.s);
  // Recorded either way: later passes of the program use this name and do
  // not search again.
  StrCopy(&s->staging[slot], &path);
  return made ? kOk : kMsgStagingFolder;
}

static MsgCode WalkGroup(Session* s, PassOperation op, int32_t g) {
  if (!PayloadReadString(s, &s->backup_name) ||
      !PayloadNameStaysInside(s->backup_name.s, s->backup_name.len))
    return kMsgBroken;
  StrCopy(&s->target_folder, &s->groups.folder[g]);
  if (s->staging[g].len == 0)
    RETURN_IF_ERR(CreateStagingFolder(s, &s->target_folder, g));
  for (;;) {
    uint8_t kind = 0;
    if (!ReadNextEntryHeader(s, &kind)) return kMsgStructure;
    if (kind == kEntryEnd) return kOk;
    MsgCode r = op(s, g, kind);
    PayloadSeek(s, s->entry.end_pos);
    s->entry_ordinal++;
    if (r != kOk) return r;
  }
}

MsgCode RunEntryPass(Session* s, PassOperation op, bool stop) {
  MsgCode first = kOk;
  int32_t last = s->groups.last;
  if (last >= kMaxGroups) last = kMaxGroups - 1;
  s->entry_ordinal = 0;
  for (int32_t g = 0; g <= last; g++) {
    PayloadSeek(s, s->groups.body_pos[g]);
    if (stop && s->cancel) return kMsgCancelled;
    // Numbers stay those of a complete walk even after a group stopped
    // part way (first_ordinal comes from the target-group reader).
    if (s->entry_ordinal < s->groups.first_ordinal[g])
      s->entry_ordinal = s->groups.first_ordinal[g];
    MsgCode r = WalkGroup(s, op, g);
    if (r == kOk) continue;
    if (stop) return r;
    if (first == kOk) first = r;
  }
  return first;
}
