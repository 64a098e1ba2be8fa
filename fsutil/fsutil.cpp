#include "fsutil/fsutil.h"

#include "core/big5.h"
#include "core/str.h"

PlatformFile FsOpenForReading(const Platform* os, const char* path) {
  return os->open_file(path, kOpenForReading);
}

PlatformFile FsOpenForUpdate(const Platform* os, const char* path) {
  return os->open_file(path, kOpenForUpdate);
}

PlatformFile FsCreateNewFile(const Platform* os, const char* path) {
  return os->open_file(path, kCreateNewFile);
}

bool FsReadBlock(const Platform* os, PlatformFile f, void* buf, int32_t n,
                 int32_t* done) {
  return os->read(f, buf, n, done);
}

// The count written is not compared with n: callers learn of a full disk
// only when the system reports it.
bool FsWriteBlock(const Platform* os, PlatformFile f, const void* buf,
                  int32_t n) {
  int32_t done = 0;
  return os->write(f, buf, n, &done);
}

bool FsForceDelete(const Platform* os, const char* path) {
  os->set_attributes(path, kAttrNormal);
  return os->delete_file(path);
}

bool FsMoveFile(const Platform* os, const char* from, const char* to) {
  return os->move_file(from, to);
}

bool FsFileExists(const Platform* os, const char* path) {
  PlatformFile f = FsOpenForReading(os, path);
  if (!f) return false;
  os->close(f);
  return true;
}

// Exactly the directory bit: read-only, hidden or system folders do not
// count, so the staging folder search passes over them.
bool FsFolderExists(const Platform* os, const char* path) {
  return os->get_attributes(path) == kAttrDirectory;
}

// Both walks step a character at a time (core/big5.h): the trail byte of
// a name such as 許 (B3 5C) is part of the name, not a separator.

// The prefix is built with '/', whichever separator the path used; a
// drive ("C:") or a folder that exists already simply fails to be created.
void FsCreateParentFolders(const Platform* os, const char* path) {
  if (!path) return;
  Str prefix;
  StrClear(&prefix);
  for (const char* p = path; *p;) {
    int32_t step = Big5CharLenZ(p);
    if (step == 1 && Big5IsPathSeparator(*p)) {
      if (prefix.len > 0 && !prefix.overflow)
        os->create_folder(prefix.s);
      StrCatCh(&prefix, '/');
    } else {
      StrCat(&prefix, p, step);
    }
    p += step;
  }
}

// Each level drops the last component and tries the rest, written with
// '\'. The separators a path starts with are part of its root ("\\server\"
// of a UNC path, "\" of the current drive) and are kept, so such a path's
// own ancestors are tried rather than folders named like them below the
// current folder. Levels that consist of the root alone are not tried.
void FsRemoveEmptyParentFolders(const Platform* os, const char* path) {
  if (!path) return;
  Str a, b;
  StrSetZ(&a, path);
  if (a.overflow) return;
  Str* cur = &a;
  Str* parent = &b;
  int32_t lead = 0;
  while (lead < a.len && Big5IsPathSeparator(a.s[lead])) lead++;
  while (cur->len > 0) {
    StrClear(parent);
    // The root stays as it was; the walk below only sees what follows.
    for (int32_t i = 0; i < lead; i++) StrCatCh(parent, '\\');
    int32_t comp_start = lead;
    bool have_component = false;  // a component was appended after the root
    for (int32_t i = lead; i < cur->len;) {
      int32_t step = Big5CharLen(cur->s + i, cur->len - i);
      if (step == 1 && Big5IsPathSeparator(cur->s[i])) {
        if (have_component) StrCatCh(parent, '\\');
        StrCat(parent, cur->s + comp_start, i - comp_start);
        if (i > comp_start) have_component = true;
        comp_start = i + 1;
      }
      i += step;
    }
    if (!have_component) {
      // Only the root (or nothing) remains: there is no folder left to try.
      break;
    }
    os->remove_folder(parent->s);
    Str* t = cur;
    cur = parent;
    parent = t;
  }
}
