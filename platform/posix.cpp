// The platform table on Linux: the Win32 behaviour the core relies on,
// rebuilt from POSIX calls, so the whole applier runs and is tested on the
// host and the command-line tool can apply patches.
//
// What is reproduced:
// - Paths: the core's paths are code page 950 byte strings, Linux names
//   are UTF-8. Before the system sees a path, every '\' that stands as a
//   character of its own becomes '/' (the trail byte of 許, B3 5C, stays
//   part of its character) and the path is converted from code page 950 to
//   UTF-8 with iconv, so a file the patch names 許.dll is called 許.dll on
//   disk. A byte sequence without a code page 950 reading (a user-defined
//   character, a stray lead byte, 0xFF) is passed on as it is, so such a
//   name still reaches one file rather than none. Paths the table hands out
//   (own path, current folder, Windows and System folder) go the other way:
//   UTF-8 to code page 950, with a character that has no code page 950 form
//   kept as its UTF-8 bytes; a path whose result would not lead back to the
//   same name (such a character whose bytes read as Big5, or a '\' inside
//   a Linux name) is not handed out at all, the call fails instead. Names
//   stay case-sensitive.
// - Opening never yields a folder (CreateFileA without backup semantics
//   fails on one). Opening for update fails on a read-only file, and
//   deleting a read-only file fails, even for root, as on Windows; creating
//   a new file fails when the name exists.
// - A move never replaces an existing destination (renameat2 with
//   RENAME_NOREPLACE; where the file system lacks it, a check just before
//   rename, which is enough for one thread). Moves across file systems fail.
// - Attributes: FILE_ATTRIBUTE_READONLY is the owner write bit. A folder
//   reports 0x10, or 0x11 without the owner write bit; any other existing
//   name reports 0x20 (archive, as new files carry on Windows), or 0x21. So
//   "folder exists" (attributes exactly 0x10) holds for a folder whose owner
//   may write to it, and is false for files, missing names and write-protected
//   folders, as it is on Windows for read-only, hidden or system folders.
//   Setting the attributes sets or clears the write bits and ignores every
//   other attribute bit.
// - Temporary files are named qvxXXXX.TMP, created exclusively and unlinked
//   at once: the name is gone before anyone could see it, and the data goes
//   with the last close, like FILE_FLAG_DELETE_ON_CLOSE.
// - File stamps: the packed DOS date and time are checked as
//   DosDateTimeToFileTime checks them and read as local time with mktime.
//   Windows converts with the bias in force now, mktime with the bias of the
//   stamp's own date; the two differ by the daylight-saving hour for stamps
//   on the other side of a change.
// - The registry is a tree in memory (posix_registry.h). Delayed moves,
//   profile writes and restart requests are recorded, not performed
//   (posix_hooks.h).
//
// What is not: share modes. Linux has no mandatory locks, so a file that
// another handle holds open for writing still opens, and a file open here
// can still be moved or deleted. Tests that need a file "in use" fail the
// operation through a wrapping table instead.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "core/big5.h"
#include "platform/platform.h"
#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"

namespace {

// Bytes of a Linux path with its NUL (PATH_MAX). A core path may need up to
// twice its length in UTF-8 (3 bytes for each 2-byte character, 2 for the
// single byte 0x80); one that does not fit fails as too long, as the system
// would refuse it anyway.
enum { kPathCap = 4096 };

// --- Small helpers -----------------------------------------------------------

char* DupZ(const char* s) {
  if (!s) return 0;
  size_t n = strlen(s) + 1;
  char* d = (char*)malloc(n);
  if (d) memcpy(d, s, n);
  return d;
}

// Copies src into buf as a NUL-terminated string; the length, or 0 when it
// does not fit.
int32_t CopyOut(const char* src, char* buf, int32_t cap) {
  if (!src || !buf || cap <= 0) return 0;
  size_t n = strlen(src);
  if (n + 1 > (size_t)cap) return 0;
  memcpy(buf, src, n + 1);
  return (int32_t)n;
}

// --- Names: code page 950 for the core, UTF-8 for Linux ----------------------

// One converter each way, opened on first use and kept for the process.
// Without one (no gconv modules) names pass unconverted.
iconv_t g_cp950_to_utf8 = (iconv_t)-1;
iconv_t g_utf8_to_cp950 = (iconv_t)-1;
bool g_converters_opened;

void OpenConverters(void) {
  if (g_converters_opened) return;
  g_converters_opened = true;
  g_cp950_to_utf8 = iconv_open("UTF-8", "CP950");
  g_utf8_to_cp950 = iconv_open("CP950", "UTF-8");
}

// The bytes that make up the piece at s that did not convert, so that it
// is kept whole: a Big5 pair stays a pair, a UTF-8 sequence stays whole.
size_t Big5Piece(const char* s, size_t n) {
  return (size_t)Big5CharLen(s, n > 2 ? 2 : (int32_t)n);
}

size_t Utf8Piece(const char* s, size_t n) {
  uint8_t b = (uint8_t)s[0];
  size_t len = b >= 0xC2 && b <= 0xDF   ? 2
               : b >= 0xE0 && b <= 0xEF ? 3
               : b >= 0xF0 && b <= 0xF4 ? 4
                                        : 1;
  if (len > n) return 1;
  for (size_t i = 1; i < len; i++)
    if (((uint8_t)s[i] & 0xC0) != 0x80) return 1;
  return len;
}

// Converts the n bytes at in into out (cap bytes with the NUL). A piece
// that does not convert is copied unchanged. The length, or -1 when the
// result does not fit.
int32_t Convert(iconv_t cd, const char* in, size_t n, char* out, size_t cap,
                size_t (*piece)(const char*, size_t)) {
  if (cap == 0) return -1;
  if (cd == (iconv_t)-1) {
    if (n + 1 > cap) return -1;
    memcpy(out, in, n);
    out[n] = 0;
    return (int32_t)n;
  }
  iconv(cd, 0, 0, 0, 0);
  char* src = (char*)in;
  size_t left = n;
  char* dst = out;
  size_t room = cap - 1;
  while (left > 0) {
    if (iconv(cd, &src, &left, &dst, &room) != (size_t)-1) break;
    if (errno == E2BIG) return -1;
    // EILSEQ or EINVAL: no reading for the piece at src.
    size_t k = piece(src, left);
    if (k > room) return -1;
    memcpy(dst, src, k);
    dst += k;
    room -= k;
    src += k;
    left -= k;
    iconv(cd, 0, 0, 0, 0);
  }
  *dst = 0;
  return (int32_t)(dst - out);
}

// A core path as Linux names it: separators made '/', then UTF-8. The
// length, or -1 (errno ENAMETOOLONG) when it does not fit in cap bytes.
int32_t ToHost(const char* path, char* out, size_t cap) {
  char sep[kPathCap];
  size_t n = strlen(path);
  if (n >= sizeof sep) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (size_t i = 0; i < n;) {
    int32_t step = Big5CharLen(path + i, n - i >= 2 ? 2 : 1);
    sep[i] = step == 1 && path[i] == '\\' ? '/' : path[i];
    if (step == 2) sep[i + 1] = path[i + 1];
    i += (size_t)step;
  }
  OpenConverters();
  int32_t r = Convert(g_cp950_to_utf8, sep, n, out, cap, Big5Piece);
  if (r < 0) errno = ENAMETOOLONG;
  return r;
}

// The path as the system wants it, in a kPathCap buffer. False for a null
// path or one too long.
bool HostPath(const char* path, char* out) {
  return path && ToHost(path, out, kPathCap) >= 0;
}

// A Linux path as the core names it. With strict, the result must lead
// back to exactly this name; otherwise a '\' in it may stand for '/' (a
// setting written the Windows way). The length, or -1 when the path does
// not fit or has no code page 950 form that leads back to it.
int32_t ToCore(const char* host, char* out, size_t cap, bool strict) {
  if (!host) return -1;
  OpenConverters();
  int32_t n = Convert(g_utf8_to_cp950, host, strlen(host), out, cap,
                      Utf8Piece);
  if (n < 0) return -1;
  char back[kPathCap];
  if (ToHost(out, back, sizeof back) < 0) return -1;
  for (size_t i = 0;; i++) {
    char want = host[i];
    if (!strict && want == '\\') want = '/';
    if (back[i] != want) return -1;
    if (!want) return n;
  }
}

// A Linux path handed out to the core through buf, as own_path() and the
// folder calls do: 0 when it does not fit or has no faithful form.
int32_t CoreOut(const char* host, char* buf, int32_t cap, bool strict) {
  if (!buf || cap <= 0) return 0;
  int32_t n = ToCore(host, buf, (size_t)cap, strict);
  if (n < 0) {
    buf[0] = 0;
    return 0;
  }
  return n;
}

// Handles carry the descriptor plus one, so that 0 stays "no handle".
PlatformFile FromFd(int fd) { return (PlatformFile)(intptr_t)(fd + 1); }
int ToFd(PlatformFile f) { return f ? (int)((intptr_t)f - 1) : -1; }

// --- Settings and records ---------------------------------------------------

uint32_t g_version = kPosixVersionNt;
char* g_windows_folder;
char* g_system_folder;
char* g_temp_folder;
char* g_own_path;
char* g_command_line;
char* g_default_command_line;
bool g_restart_accepted = true;
int32_t g_restart_requests;

struct DelayedMove {
  char* from;
  char* to;
};
DelayedMove* g_moves;
int32_t g_move_count;
int32_t g_move_cap;

struct ProfileWrite {
  char* section;
  char* key;
  char* value;
  char* file;
};
ProfileWrite* g_profile;
int32_t g_profile_count;
int32_t g_profile_cap;

void SetString(char** slot, const char* value) {
  free(*slot);
  *slot = DupZ(value);
}

// Grows a record array by one slot; false when memory runs out.
bool Grow(void** items, int32_t* cap, int32_t count, size_t item_size) {
  if (count < *cap) return true;
  int32_t n = *cap ? *cap * 2 : 16;
  void* p = realloc(*items, (size_t)n * item_size);
  if (!p) return false;
  *items = p;
  *cap = n;
  return true;
}

// --- Files -------------------------------------------------------------------

PlatformFile OpenFile(const char* path, OpenMode mode) {
  char p[kPathCap];
  if (!HostPath(path, p)) return 0;
  int flags = O_CLOEXEC;
  switch (mode) {
    case kOpenForReading:
      flags |= O_RDONLY;
      break;
    case kOpenForUpdate:
      flags |= O_RDWR;
      break;
    case kCreateNewFile:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      break;
    default:
      return 0;
  }
  int fd = open(p, flags, 0666);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      (mode == kOpenForUpdate && !(st.st_mode & S_IWUSR))) {
    close(fd);
    return 0;
  }
  return FromFd(fd);
}

const char* TempFolder(void) {
  if (g_temp_folder) return g_temp_folder;
  const char* t = getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

// Makes qvxXXXX.TMP in folder (a Linux path, never seen by the core),
// trying every four-digit hex number once from a start that differs
// between processes.
int CreateTempIn(const char* dir) {
  if (!dir) return -1;
  size_t n = strlen(dir);
  if (n >= kPathCap) return -1;
  static uint32_t counter;
  if (!counter) counter = ((uint32_t)getpid() * 2654435761u) ^ (uint32_t)time(0);
  char name[kPathCap + 16];
  const char* sep = n && dir[n - 1] == '/' ? "" : "/";
  for (int tries = 0; tries < 0x10000; tries++) {
    unsigned unique = (unsigned)(counter++ & 0xFFFF);
    if (!unique) continue;
    snprintf(name, sizeof name, "%s%sqvx%04X.TMP", dir, sep, unique);
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      unlink(name);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

PlatformFile CreateTempFile(void) {
  int fd = CreateTempIn(TempFolder());
  if (fd < 0) fd = CreateTempIn("/tmp");
  return fd < 0 ? 0 : FromFd(fd);
}

bool ReadBlock(PlatformFile f, void* buf, int32_t n, int32_t* done) {
  if (done) *done = 0;
  int fd = ToFd(f);
  if (fd < 0 || n < 0 || (!buf && n > 0)) return false;
  int32_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, (char*)buf + got, (size_t)(n - got));
    if (r < 0) {
      if (errno == EINTR) continue;
      if (done) *done = got;
      return false;
    }
    if (r == 0) break;
    got += (int32_t)r;
  }
  if (done) *done = got;
  return true;
}

bool WriteBlock(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  if (done) *done = 0;
  int fd = ToFd(f);
  if (fd < 0 || n < 0 || (!buf && n > 0)) return false;
  int32_t put = 0;
  while (put < n) {
    ssize_t r = write(fd, (const char*)buf + put, (size_t)(n - put));
    if (r < 0) {
      if (errno == EINTR) continue;
      if (done) *done = put;
      return false;
    }
    put += (int32_t)r;
  }
  if (done) *done = put;
  return true;
}

uint32_t FileSize(PlatformFile f) {
  struct stat st;
  if (ToFd(f) < 0 || fstat(ToFd(f), &st) != 0) return kInvalidSize;
  return (uint32_t)(uint64_t)st.st_size;
}

// SetFilePointer without a high part takes a signed 32-bit distance and
// refuses a negative result with INVALID_SET_FILE_POINTER.
uint32_t Seek(PlatformFile f, int32_t pos) {
  if (ToFd(f) < 0) return 0xFFFFFFFFu;
  off_t r = lseek(ToFd(f), (off_t)pos, SEEK_SET);
  return r < 0 ? 0xFFFFFFFFu : (uint32_t)(uint64_t)r;
}

uint32_t Tell(PlatformFile f) {
  if (ToFd(f) < 0) return 0xFFFFFFFFu;
  off_t r = lseek(ToFd(f), 0, SEEK_CUR);
  return r < 0 ? 0xFFFFFFFFu : (uint32_t)(uint64_t)r;
}

void CloseFile(PlatformFile f) {
  if (ToFd(f) >= 0) close(ToFd(f));
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool FileIdentityOf(PlatformFile f, FileIdentity* out) {
  struct stat st;
  if (ToFd(f) < 0 || fstat(ToFd(f), &st) != 0) return false;
  uint64_t dev = (uint64_t)st.st_dev, ino = (uint64_t)st.st_ino;
  out->volume = (uint32_t)(dev ^ (dev >> 32));
  out->index_high = (uint32_t)(ino >> 32);
  out->index_low = (uint32_t)ino;
  return true;
}

void SetFileStamp(PlatformFile f, uint32_t stamp) {
  int fd = ToFd(f);
  if (fd < 0) return;
  unsigned date = stamp >> 16, tm_part = stamp & 0xFFFF;
  int year = 1980 + (int)(date >> 9);
  int month = (int)((date >> 5) & 15);
  int day = (int)(date & 31);
  int hour = (int)(tm_part >> 11);
  int minute = (int)((tm_part >> 5) & 63);
  int second = (int)(tm_part & 31) * 2;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30,
                                 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
      second > 59)
    return;
  int days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > days) return;
  struct tm t;
  memset(&t, 0, sizeof t);
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  time_t when = mktime(&t);
  if (when == (time_t)-1) return;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  futimens(fd, times);
}

// --- Names -------------------------------------------------------------------

uint32_t GetAttributes(const char* path) {
  char p[kPathCap];
  struct stat st;
  if (!HostPath(path, p) || stat(p, &st) != 0) return kInvalidAttributes;
  uint32_t a = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  return a;
}

bool SetAttributes(const char* path, uint32_t attributes) {
  char p[kPathCap];
  struct stat st;
  if (!HostPath(path, p) || stat(p, &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly)
    mode &= (mode_t) ~(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  return chmod(p, mode) == 0;
}

bool DeleteFile(const char* path) {
  char p[kPathCap];
  struct stat st;
  if (!HostPath(path, p) || lstat(p, &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return false;
  // DeleteFileA refuses a read-only file, whoever asks.
  if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    errno = EACCES;
    return false;
  }
  return unlink(p) == 0;
}

bool MoveFile(const char* from, const char* to) {
  char a[kPathCap], b[kPathCap];
  if (!HostPath(from, a) || !HostPath(to, b)) return false;
#ifdef SYS_renameat2
  long r = syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, 1 /* NOREPLACE */);
  if (r == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  struct stat st;
  if (lstat(b, &st) == 0 || errno != ENOENT) return false;
  return rename(a, b) == 0;
}

bool CreateFolder(const char* path) {
  char p[kPathCap];
  return HostPath(path, p) && mkdir(p, 0777) == 0;
}

bool RemoveFolder(const char* path) {
  char p[kPathCap];
  return HostPath(path, p) && rmdir(p) == 0;
}

// --- Process and system ----------------------------------------------------------

int32_t OwnPath(char* buf, int32_t cap) {
  if (g_own_path) return CoreOut(g_own_path, buf, cap, false);
  char p[kPathCap];
  ssize_t n = readlink("/proc/self/exe", p, sizeof p - 1);
  if (n <= 0) return 0;
  p[n] = 0;
  return CoreOut(p, buf, cap, true);
}

// The Wine layout: $WINEPREFIX (or ~/.wine) + "/drive_c/windows" + tail.
int32_t WineFolder(const char* tail, char* buf, int32_t cap) {
  char p[kPathCap];
  const char* prefix = getenv("WINEPREFIX");
  int n;
  if (prefix && *prefix) {
    n = snprintf(p, sizeof p, "%s/drive_c/windows%s", prefix, tail);
  } else {
    const char* home = getenv("HOME");
    n = snprintf(p, sizeof p, "%s/.wine/drive_c/windows%s",
                 home && *home ? home : "", tail);
  }
  if (n < 0 || n >= (int)sizeof p) return 0;
  return CoreOut(p, buf, cap, true);
}

int32_t WindowsFolder(char* buf, int32_t cap) {
  if (g_windows_folder) return CoreOut(g_windows_folder, buf, cap, false);
  return WineFolder("", buf, cap);
}

int32_t SystemFolder(char* buf, int32_t cap) {
  if (g_system_folder) return CoreOut(g_system_folder, buf, cap, false);
  return WineFolder("/system32", buf, cap);
}

int32_t CurrentFolder(char* buf, int32_t cap) {
  char p[kPathCap];
  if (!getcwd(p, sizeof p)) return 0;
  return CoreOut(p, buf, cap, true);
}

// There are no short names; like GetShortPathNameA the path comes back
// unchanged when it exists, and the call fails when it does not.
int32_t ShortPath(const char* path, char* buf, int32_t cap) {
  char p[kPathCap];
  struct stat st;
  if (!HostPath(path, p) || stat(p, &st) != 0) return 0;
  return CopyOut(path, buf, cap);
}

// A command line of Linux text as GetCommandLineA shows it: in code page
// 950, with what has no code page 950 form kept as it is. Takes line over
// (frees it, or returns it).
char* CommandLineForCore(char* line) {
  if (!line) return 0;
  size_t n = strlen(line);
  char* out = (char*)malloc(n + 1);  // code page 950 is never longer
  OpenConverters();
  if (!out || Convert(g_utf8_to_cp950, line, n, out, n + 1, Utf8Piece) < 0) {
    free(out);
    return line;
  }
  free(line);
  return out;
}

// The arguments from /proc/self/cmdline joined by spaces, quoted where they
// hold a space or a tab, as GetCommandLineA would show them.
const char* CommandLine(void) {
  if (g_command_line) return g_command_line;
  if (g_default_command_line) return g_default_command_line;
  char raw[kPathCap];
  ssize_t n = 0;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    n = read(fd, raw, sizeof raw - 1);
    close(fd);
  }
  if (n < 0) n = 0;
  raw[n] = 0;
  char* line = (char*)malloc((size_t)n * 3 + 3);
  if (!line) return "";
  size_t o = 0;
  for (ssize_t i = 0; i < n;) {
    const char* arg = raw + i;
    size_t len = strlen(arg);
    bool quote = len == 0 || strpbrk(arg, " \t") != 0;
    if (o) line[o++] = ' ';
    if (quote) line[o++] = '"';
    memcpy(line + o, arg, len);
    o += len;
    if (quote) line[o++] = '"';
    i += (ssize_t)len + 1;
  }
  line[o] = 0;
  g_default_command_line = CommandLineForCore(line);
  return g_default_command_line ? g_default_command_line : "";
}

uint32_t Version(void) { return g_version; }

// --- Restart -------------------------------------------------------------------

bool MoveAtRestart(const char* from, const char* to) {
  if (!from) return false;
  if (!Grow((void**)&g_moves, &g_move_cap, g_move_count, sizeof *g_moves))
    return false;
  DelayedMove m;
  m.from = DupZ(from);
  m.to = DupZ(to);
  if (!m.from || (to && !m.to)) {
    free(m.from);
    free(m.to);
    return false;
  }
  g_moves[g_move_count++] = m;
  return true;
}

bool WriteProfileString(const char* section, const char* key,
                        const char* value, const char* file) {
  if (!section || !file) return false;
  if (!Grow((void**)&g_profile, &g_profile_cap, g_profile_count,
            sizeof *g_profile))
    return false;
  ProfileWrite w;
  w.section = DupZ(section);
  w.key = DupZ(key);
  w.value = DupZ(value);
  w.file = DupZ(file);
  g_profile[g_profile_count++] = w;
  return true;
}

bool RequestRestart(void) {
  g_restart_requests++;
  return g_restart_accepted;
}

// --- Registry ----------------------------------------------------------------------

struct RegValueNode {
  char* name;
  uint32_t type;
  uint8_t* data;
  uint32_t size;
  RegValueNode* next;
};

struct RegKeyNode {
  char* name;
  RegKeyNode* children;  // in creation order
  RegKeyNode* next;
  RegValueNode* values;  // in creation order
};

enum { kRootCount = 7, kHandleCap = 256 };
enum : uint32_t { kKeySetValue = 0x0002 };

RegKeyNode g_roots[kRootCount];

struct RegHandle {
  RegKeyNode* node;
  uint32_t access;
};
RegHandle g_handles[kHandleCap];

// Registry names compare without regard to ASCII case. A Big5 trail byte
// in the letter range is not a letter: 0xA4 0x61 and 0xA4 0x41 are two
// different characters, so double-byte characters compare exactly.
bool NameEq(const char* a, size_t an, const char* b) {
  for (size_t i = 0; i < an;) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (!y) return false;
    if (Big5CharLen(a + i, an - i >= 2 ? 2 : 1) == 2) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      i += 2;
      continue;
    }
    if (x >= 'a' && x <= 'z') x = (unsigned char)(x - 32);
    if (y >= 'a' && y <= 'z') y = (unsigned char)(y - 32);
    if (x != y) return false;
    i++;
  }
  return b[an] == 0;
}

// The next '\' of a key path that stands as a character of its own, or
// null: the trail byte of 許 (B3 5C) does not end a key name.
const char* NextKeySeparator(const char* p) {
  for (; *p; p += Big5CharLenZ(p))
    if (*p == '\\') return p;
  return 0;
}

RegKeyNode* RootNode(RegKey root) {
  if (root < kHkeyClassesRoot || root >= kHkeyClassesRoot + kRootCount)
    return 0;
  return &g_roots[root - kHkeyClassesRoot];
}

// Opened keys are small handle values, multiples of 4 like Windows handles.
RegHandle* HandleOf(RegKey key) {
  if (key == 0 || key % 4 != 0 || key / 4 > kHandleCap) return 0;
  RegHandle* h = &g_handles[key / 4 - 1];
  return h->node ? h : 0;
}

// The node a key value stands for, and the access it was opened with.
RegKeyNode* KeyNode(RegKey key, uint32_t* access) {
  if (RegKeyNode* root = RootNode(key)) {
    if (access) *access = kKeyAllAccess;
    return root;
  }
  RegHandle* h = HandleOf(key);
  if (!h) return 0;
  if (access) *access = h->access;
  return h->node;
}

// Walks subkey below node; with create, missing keys are added.
RegKeyNode* Descend(RegKeyNode* node, const char* subkey, bool create) {
  const char* p = subkey ? subkey : "";
  while (node && *p) {
    const char* end = NextKeySeparator(p);
    size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n) {
      RegKeyNode* child = node->children;
      RegKeyNode* last = 0;
      for (; child; last = child, child = child->next)
        if (NameEq(p, n, child->name)) break;
      if (!child) {
        if (!create) return 0;
        child = (RegKeyNode*)calloc(1, sizeof *child);
        if (!child) return 0;
        child->name = (char*)malloc(n + 1);
        if (!child->name) {
          free(child);
          return 0;
        }
        memcpy(child->name, p, n);
        child->name[n] = 0;
        if (last)
          last->next = child;
        else
          node->children = child;
      }
      node = child;
    }
    p += n;
    if (*p) p++;
  }
  return node;
}

RegValueNode* FindValue(RegKeyNode* key, const char* name) {
  const char* n = name ? name : "";
  for (RegValueNode* v = key->values; v; v = v->next)
    if (NameEq(n, strlen(n), v->name)) return v;
  return 0;
}

bool StoreValue(RegKeyNode* key, const char* name, uint32_t type,
                const void* data, uint32_t size) {
  if (size && !data) return false;
  uint8_t* copy = (uint8_t*)malloc(size ? size : 1);
  if (!copy) return false;
  if (size) memcpy(copy, data, size);
  RegValueNode* v = FindValue(key, name);
  if (!v) {
    v = (RegValueNode*)calloc(1, sizeof *v);
    if (v) v->name = DupZ(name ? name : "");
    if (!v || !v->name) {
      free(v);
      free(copy);
      return false;
    }
    RegValueNode** tail = &key->values;
    while (*tail) tail = &(*tail)->next;
    *tail = v;
  }
  free(v->data);
  v->type = type;
  v->data = copy;
  v->size = size;
  return true;
}

// RegQueryValueExA's rules: null data asks for the size; too little room
// fails and reports the size needed.
bool LoadValue(RegKeyNode* key, const char* name, uint32_t* type, void* data,
               uint32_t* size) {
  RegValueNode* v = FindValue(key, name);
  if (!v) return false;
  if (type) *type = v->type;
  if (!data) {
    if (size) *size = v->size;
    return true;
  }
  if (!size) return false;
  if (*size < v->size) {
    *size = v->size;
    return false;
  }
  if (v->size) memcpy(data, v->data, v->size);
  *size = v->size;
  return true;
}

void FreeValues(RegValueNode* v) {
  while (v) {
    RegValueNode* next = v->next;
    free(v->name);
    free(v->data);
    free(v);
    v = next;
  }
}

// Frees a key's contents (and, unless it is a root, the key itself) and
// closes every handle into what went away.
void FreeKey(RegKeyNode* key, bool is_root) {
  for (RegKeyNode* c = key->children; c;) {
    RegKeyNode* next = c->next;
    FreeKey(c, false);
    c = next;
  }
  FreeValues(key->values);
  key->values = 0;
  key->children = 0;
  for (int i = 0; i < kHandleCap; i++)
    if (g_handles[i].node == key) g_handles[i].node = 0;
  if (!is_root) {
    free(key->name);
    free(key);
  }
}

bool RegOpen(RegKey root, const char* subkey, uint32_t access, RegKey* out) {
  if (!out) return false;
  RegKeyNode* node = Descend(KeyNode(root, 0), subkey, false);
  if (!node) return false;
  for (int i = 0; i < kHandleCap; i++) {
    if (!g_handles[i].node) {
      g_handles[i].node = node;
      g_handles[i].access = access;
      *out = (RegKey)(i + 1) * 4;
      return true;
    }
  }
  return false;
}

bool RegQuery(RegKey key, const char* name, uint32_t* type, void* data,
              uint32_t* size) {
  RegKeyNode* node = KeyNode(key, 0);
  return node && LoadValue(node, name, type, data, size);
}

bool RegSet(RegKey key, const char* name, uint32_t type, const void* data,
            uint32_t size) {
  uint32_t access = 0;
  RegKeyNode* node = KeyNode(key, &access);
  if (!node || !(access & kKeySetValue)) return false;
  return StoreValue(node, name, type, data, size);
}

void RegClose(RegKey key) {
  if (RegHandle* h = HandleOf(key)) h->node = 0;
}

// Depth-first listing; path holds the key path built so far.
void VisitKey(RegKey root, RegKeyNode* key, char* path, size_t len,
              PosixRegVisitor visit, void* ctx, bool is_root) {
  if (!is_root) visit(ctx, root, path, 0);
  for (RegValueNode* v = key->values; v; v = v->next) {
    PosixRegValue pv;
    pv.name = v->name;
    pv.type = v->type;
    pv.data = v->data;
    pv.size = v->size;
    visit(ctx, root, path, &pv);
  }
  for (RegKeyNode* c = key->children; c; c = c->next) {
    size_t n = strlen(c->name);
    size_t sep = len ? 1 : 0;
    if (len + sep + n >= kPathCap) continue;
    if (sep) path[len] = '\\';
    memcpy(path + len + sep, c->name, n + 1);
    VisitKey(root, c, path, len + sep + n, visit, ctx, false);
    path[len] = 0;
  }
}

const Platform kTable = {
    OpenFile,      CreateTempFile, ReadBlock,     WriteBlock,
    FileSize,      Seek,           Tell,          CloseFile,
    SetFileStamp,  FileIdentityOf, GetAttributes,  SetAttributes, DeleteFile,
    MoveFile,      CreateFolder,   RemoveFolder,  OwnPath,
    WindowsFolder, SystemFolder,   CurrentFolder, ShortPath,
    CommandLine,   Version,        MoveAtRestart, WriteProfileString,
    RequestRestart, RegOpen,       RegQuery,      RegSet,
    RegClose,
};

}  // namespace

const Platform* PlatformNative(void) { return &kTable; }

// --- posix_hooks.h -----------------------------------------------------------------

int32_t PosixPathForHost(const char* cp950, char* out, int32_t cap) {
  if (!cp950 || !out || cap <= 0) return -1;
  return ToHost(cp950, out, (size_t)cap);
}

int32_t PosixPathForCore(const char* host, char* out, int32_t cap) {
  if (!host || !out || cap <= 0) return -1;
  return ToCore(host, out, (size_t)cap, true);
}

void PosixSetVersion(uint32_t version) { g_version = version; }
void PosixSetWindowsFolder(const char* path) { SetString(&g_windows_folder, path); }
void PosixSetSystemFolder(const char* path) { SetString(&g_system_folder, path); }
void PosixSetTempFolder(const char* path) { SetString(&g_temp_folder, path); }
void PosixSetOwnPath(const char* path) { SetString(&g_own_path, path); }
void PosixSetCommandLine(const char* line) {
  SetString(&g_command_line, line);
  g_command_line = CommandLineForCore(g_command_line);
}
void PosixSetRestartAccepted(bool accepted) { g_restart_accepted = accepted; }
int32_t PosixRestartRequests(void) { return g_restart_requests; }

int32_t PosixDelayedMoveCount(void) { return g_move_count; }

bool PosixDelayedMove(int32_t i, const char** from, const char** to) {
  if (i < 0 || i >= g_move_count) return false;
  if (from) *from = g_moves[i].from;
  if (to) *to = g_moves[i].to;
  return true;
}

int32_t PosixProfileWriteCount(void) { return g_profile_count; }

bool PosixProfileWriteAt(int32_t i, PosixProfileWrite* out) {
  if (i < 0 || i >= g_profile_count || !out) return false;
  out->section = g_profile[i].section;
  out->key = g_profile[i].key;
  out->value = g_profile[i].value;
  out->file = g_profile[i].file;
  return true;
}

void PosixClearRecords(void) {
  for (int32_t i = 0; i < g_move_count; i++) {
    free(g_moves[i].from);
    free(g_moves[i].to);
  }
  for (int32_t i = 0; i < g_profile_count; i++) {
    free(g_profile[i].section);
    free(g_profile[i].key);
    free(g_profile[i].value);
    free(g_profile[i].file);
  }
  g_move_count = 0;
  g_profile_count = 0;
  g_restart_requests = 0;
}

void PosixResetSettings(void) {
  PosixClearRecords();
  g_version = kPosixVersionNt;
  g_restart_accepted = true;
  SetString(&g_windows_folder, 0);
  SetString(&g_system_folder, 0);
  SetString(&g_temp_folder, 0);
  SetString(&g_own_path, 0);
  SetString(&g_command_line, 0);
}

// --- posix_registry.h ----------------------------------------------------------------

bool PosixRegCreateKey(RegKey root, const char* subkey) {
  return Descend(RootNode(root), subkey, true) != 0;
}

bool PosixRegSetValue(RegKey root, const char* subkey, const char* name,
                      uint32_t type, const void* data, uint32_t size) {
  RegKeyNode* key = Descend(RootNode(root), subkey, true);
  return key && StoreValue(key, name, type, data, size);
}

bool PosixRegGetValue(RegKey root, const char* subkey, const char* name,
                      uint32_t* type, void* data, uint32_t* size) {
  RegKeyNode* key = Descend(RootNode(root), subkey, false);
  return key && LoadValue(key, name, type, data, size);
}

bool PosixRegKeyExists(RegKey root, const char* subkey) {
  return Descend(RootNode(root), subkey, false) != 0;
}

bool PosixRegDeleteValue(RegKey root, const char* subkey, const char* name) {
  RegKeyNode* key = Descend(RootNode(root), subkey, false);
  if (!key) return false;
  const char* n = name ? name : "";
  for (RegValueNode** v = &key->values; *v; v = &(*v)->next) {
    if (NameEq(n, strlen(n), (*v)->name)) {
      RegValueNode* gone = *v;
      *v = gone->next;
      gone->next = 0;
      FreeValues(gone);
      return true;
    }
  }
  return false;
}

bool PosixRegDeleteKey(RegKey root, const char* subkey) {
  RegKeyNode* node = RootNode(root);
  if (!node) return false;
  // Find the parent and the key's link in it, skipping empty components.
  const char* p = subkey ? subkey : "";
  RegKeyNode* parent = 0;
  RegKeyNode** link = 0;
  while (*p) {
    const char* end = NextKeySeparator(p);
    size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n) {
      RegKeyNode** l = &node->children;
      while (*l && !NameEq(p, n, (*l)->name)) l = &(*l)->next;
      if (!*l) return false;
      parent = node;
      link = l;
      node = *l;
    }
    p += n;
    if (*p) p++;
  }
  if (!parent) return false;  // a root itself is never removed
  *link = node->next;
  FreeKey(node, false);
  return true;
}

void PosixRegClear(void) {
  for (int i = 0; i < kRootCount; i++) FreeKey(&g_roots[i], true);
  memset(g_handles, 0, sizeof g_handles);
}

int32_t PosixRegOpenHandles(void) {
  int32_t n = 0;
  for (int i = 0; i < kHandleCap; i++)
    if (g_handles[i].node) n++;
  return n;
}

void PosixRegVisit(PosixRegVisitor visit, void* ctx) {
  if (!visit) return;
  char path[kPathCap];
  for (int i = 0; i < kRootCount; i++) {
    path[0] = 0;
    VisitKey(kHkeyClassesRoot + (RegKey)i, &g_roots[i], path, 0, visit, ctx,
             true);
  }
}
