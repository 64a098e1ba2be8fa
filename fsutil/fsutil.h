// File and folder helpers: fixed-argument wrappers over the platform table
// and the two path walks. Booleans and handles (0 = none); callers choose
// the message codes.
#ifndef SELFPATCH_FSUTIL_FSUTIL_H
#define SELFPATCH_FSUTIL_FSUTIL_H

#include <stdint.h>

#include "platform/platform.h"

PlatformFile FsOpenForReading(const Platform* os, const char* path);
PlatformFile FsOpenForUpdate(const Platform* os, const char* path);
PlatformFile FsCreateNewFile(const Platform* os, const char* path);
// A short read at the end of a file is a success; *done may be null.
bool FsReadBlock(const Platform* os, PlatformFile f, void* buf, int32_t n,
                 int32_t* done);
bool FsWriteBlock(const Platform* os, PlatformFile f, const void* buf,
                  int32_t n);
// Resets the attributes to normal first, so read-only files go too.
bool FsForceDelete(const Platform* os, const char* path);
bool FsMoveFile(const Platform* os, const char* from, const char* to);
// True when the file opens for reading; false for folders and for files
// another process holds open for writing.
bool FsFileExists(const Platform* os, const char* path);
// True only when the attributes are exactly FILE_ATTRIBUTE_DIRECTORY.
bool FsFolderExists(const Platform* os, const char* path);
// Creates every folder the path names before its last separator.
void FsCreateParentFolders(const Platform* os, const char* path);
// Tries to remove every ancestor of the path, innermost first. A path that
// starts with separators (UNC, or the root of the current drive) keeps them,
// so its own ancestors are tried.
void FsRemoveEmptyParentFolders(const Platform* os, const char* path);

#endif
