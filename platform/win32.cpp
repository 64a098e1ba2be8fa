// The platform table on Windows: each entry is the ANSI Win32 call with the
// fixed arguments the applier has always passed. The arguments are part of
// the contract: the share modes keep other programs from writing to files
// being patched, CREATE_NEW refuses to overwrite, MoveFileA never replaces,
// and the temporary files vanish with their handles.
//
// Only kernel32, user32 and advapi32 are used, and nothing that Windows 98
// or NT 4 lacks.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0400
#endif
#include <windows.h>

#include "platform/platform.h"

namespace {

// INVALID_HANDLE_VALUE never leaves this file; 0 is "no handle".
PlatformFile FromHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? 0 : (PlatformFile)h;
}

HANDLE ToHandle(PlatformFile f) { return (HANDLE)f; }

// --- Files -------------------------------------------------------------------

PlatformFile W32OpenFile(const char* path, OpenMode mode) {
  switch (mode) {
    case kOpenForReading:
      return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                                    OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS,
                                    NULL));
    case kOpenForUpdate:
      return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_FLAG_RANDOM_ACCESS, NULL));
    case kCreateNewFile:
      return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0,
                                    NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    NULL));
  }
  return 0;
}

// A qvxXXXX.TMP name made by the system in the temporary folder (or in
// "C:\" when that folder takes no new name), opened exclusively and deleted
// by the system when the handle closes.
PlatformFile W32CreateTempFile(void) {
  char folder[260];
  char name[MAX_PATH];
  DWORD n = GetTempPathA(sizeof folder, folder);
  // A failed or truncated GetTempPathA leaves no usable folder; go straight
  // to the fallback rather than hand over an undefined buffer.
  bool made = n > 0 && n < sizeof folder &&
              GetTempFileNameA(folder, "qvx", 0, name) != 0;
  if (!made) made = GetTempFileNameA("C:\\", "qvx", 0, name) != 0;
  if (!made) return 0;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                         CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                             FILE_FLAG_DELETE_ON_CLOSE,
                         NULL);
  if (h == INVALID_HANDLE_VALUE) {
    // GetTempFileNameA left an empty file behind; nothing will close it.
    DeleteFileA(name);
    return 0;
  }
  return (PlatformFile)h;
}

bool W32Read(PlatformFile f, void* buf, int32_t n, int32_t* done) {
  DWORD got = 0;
  if (done) *done = 0;
  if (n < 0) return false;
  BOOL ok = ReadFile(ToHandle(f), buf, (DWORD)n, &got, NULL);
  if (done) *done = (int32_t)got;
  return ok != 0;
}

bool W32Write(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  DWORD put = 0;
  if (done) *done = 0;
  if (n < 0) return false;
  BOOL ok = WriteFile(ToHandle(f), buf, (DWORD)n, &put, NULL);
  if (done) *done = (int32_t)put;
  return ok != 0;
}

uint32_t W32FileSize(PlatformFile f) {
  return (uint32_t)GetFileSize(ToHandle(f), NULL);
}

uint32_t W32Seek(PlatformFile f, int32_t pos) {
  return (uint32_t)SetFilePointer(ToHandle(f), (LONG)pos, NULL, FILE_BEGIN);
}

uint32_t W32Tell(PlatformFile f) {
  return (uint32_t)SetFilePointer(ToHandle(f), 0, NULL, FILE_CURRENT);
}

void W32Close(PlatformFile f) {
  if (f) CloseHandle(ToHandle(f));
}

void W32SetFileStamp(PlatformFile f, uint32_t stamp) {
  FILETIME local, utc;
  if (DosDateTimeToFileTime((WORD)(stamp >> 16), (WORD)(stamp & 0xFFFF),
                            &local) &&
      LocalFileTimeToFileTime(&local, &utc))
    SetFileTime(ToHandle(f), NULL, NULL, &utc);
}

bool W32FileIdentity(PlatformFile f, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(ToHandle(f), &info)) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->index_high = info.nFileIndexHigh;
  out->index_low = info.nFileIndexLow;
  return true;
}

// --- Names -------------------------------------------------------------------

uint32_t W32GetAttributes(const char* path) {
  return (uint32_t)GetFileAttributesA(path);
}

bool W32SetAttributes(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, (DWORD)attributes) != 0;
}

bool W32DeleteFile(const char* path) { return DeleteFileA(path) != 0; }

bool W32MoveFile(const char* from, const char* to) {
  return MoveFileA(from, to) != 0;
}

bool W32CreateFolder(const char* path) {
  return CreateDirectoryA(path, NULL) != 0;
}

bool W32RemoveFolder(const char* path) { return RemoveDirectoryA(path) != 0; }

// --- Process and system -------------------------------------------------------

// The getters below report the length, or a size larger than the buffer
// when the text does not fit; both that and failure become 0.
int32_t Fit(DWORD n, int32_t cap) {
  return n > 0 && n < (DWORD)cap ? (int32_t)n : 0;
}

int32_t W32OwnPath(char* buf, int32_t cap) {
  if (cap <= 0) return 0;
  // A full buffer means a cut name (left without its NUL on older systems).
  return Fit(GetModuleFileNameA(NULL, buf, (DWORD)cap), cap);
}

int32_t W32WindowsFolder(char* buf, int32_t cap) {
  if (cap <= 0) return 0;
  return Fit(GetWindowsDirectoryA(buf, (UINT)cap), cap);
}

int32_t W32SystemFolder(char* buf, int32_t cap) {
  if (cap <= 0) return 0;
  return Fit(GetSystemDirectoryA(buf, (UINT)cap), cap);
}

int32_t W32CurrentFolder(char* buf, int32_t cap) {
  if (cap <= 0) return 0;
  return Fit(GetCurrentDirectoryA((DWORD)cap, buf), cap);
}

int32_t W32ShortPath(const char* path, char* buf, int32_t cap) {
  if (cap <= 0) return 0;
  return Fit(GetShortPathNameA(path, buf, (DWORD)cap), cap);
}

const char* W32CommandLine(void) { return GetCommandLineA(); }

uint32_t W32Version(void) { return (uint32_t)GetVersion(); }

// --- Restart -------------------------------------------------------------------

bool W32MoveAtRestart(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

bool W32WriteProfileString(const char* section, const char* key,
                           const char* value, const char* file) {
  return WritePrivateProfileStringA(section, key, value, file) != 0;
}

// The NT family refuses a restart to a process that does not hold the
// shutdown privilege, which is present in a user's token but disabled.
void EnableShutdownPrivilege(void) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return;
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(NULL, "SeShutdownPrivilege",
                            &tp.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &tp, 0, NULL, NULL);
  CloseHandle(token);
}

bool W32RequestRestart(void) {
  if (!(GetVersion() & 0x80000000u)) EnableShutdownPrivilege();
  return ExitWindowsEx(EWX_REBOOT, 0xFFFFFFFFu) != 0;
}

// --- Registry ------------------------------------------------------------------

// The payload holds predefined roots as 32-bit values (0x80000001, ...);
// Win64 spells them sign-extended, so widen them the same way. Keys opened
// here pass through as they are.
HKEY ToHkey(RegKey key) {
  if (key >= 0x80000000u && key <= 0x800000FFu)
    return (HKEY)(LONG_PTR)(LONG)(DWORD)key;
  return (HKEY)key;
}

bool IsPredefined(RegKey key) {
  return key >= 0x80000000u && key <= 0x800000FFu;
}

bool W32RegOpen(RegKey root, const char* subkey, uint32_t access,
                RegKey* out) {
  HKEY key = NULL;
  if (!out) return false;
  if (RegOpenKeyExA(ToHkey(root), subkey, 0, (REGSAM)access, &key) !=
      ERROR_SUCCESS)
    return false;
  *out = (RegKey)key;
  return true;
}

bool W32RegQuery(RegKey key, const char* name, uint32_t* type, void* data,
                 uint32_t* size) {
  DWORD t = 0;
  DWORD n = size ? (DWORD)*size : 0;
  LONG r = RegQueryValueExA(ToHkey(key), name, NULL, &t, (LPBYTE)data,
                            size ? &n : NULL);
  if (type) *type = (uint32_t)t;
  if (size && (r == ERROR_SUCCESS || r == ERROR_MORE_DATA)) *size = n;
  return r == ERROR_SUCCESS;
}

bool W32RegSet(RegKey key, const char* name, uint32_t type, const void* data,
               uint32_t size) {
  return RegSetValueExA(ToHkey(key), name, 0, (DWORD)type,
                        (const BYTE*)data, (DWORD)size) == ERROR_SUCCESS;
}

void W32RegClose(RegKey key) {
  if (key && !IsPredefined(key)) RegCloseKey(ToHkey(key));
}

const Platform kTable = {
    W32OpenFile,      W32CreateTempFile, W32Read,
    W32Write,         W32FileSize,       W32Seek,
    W32Tell,          W32Close,          W32SetFileStamp,
    W32FileIdentity,
    W32GetAttributes, W32SetAttributes,  W32DeleteFile,
    W32MoveFile,      W32CreateFolder,   W32RemoveFolder,
    W32OwnPath,       W32WindowsFolder,  W32SystemFolder,
    W32CurrentFolder, W32ShortPath,      W32CommandLine,
    W32Version,       W32MoveAtRestart,  W32WriteProfileString,
    W32RequestRestart, W32RegOpen,       W32RegQuery,
    W32RegSet,        W32RegClose,
};

}  // namespace

const Platform* PlatformNative(void) { return &kTable; }
