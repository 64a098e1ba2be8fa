// The operating-system seam.
//
// Everything above this layer reaches files, folders, the registry and the
// restart services through one table of function pointers, as SQLite's VFS
// does: win32.cpp fills it with the ANSI Win32 calls and their exact
// arguments, posix.cpp reproduces on Linux the Win32 behaviour the core relies
// on, and tests wrap a table to fail the k-th call. No header above this layer
// includes windows.h.
//
// On the host, posix_hooks.h sets what stands in for the Windows system
// (folders, version family, restart answer) and reads back the delayed
// moves, profile writes and restart requests; posix_registry.h seeds and
// lists the in-memory registry.
//
// Paths are NUL-terminated code-page-950 byte strings; '\' and '/' both
// separate. Sizes and positions are the low 32 bits, as the Win32 calls
// without a high part report them.
#ifndef SELFPATCH_PLATFORM_PLATFORM_H
#define SELFPATCH_PLATFORM_PLATFORM_H

#include <stdint.h>

// An open file; 0 means no handle (INVALID_HANDLE_VALUE never escapes).
typedef void* PlatformFile;

// Which file an open handle reaches, whatever path spelled it: the volume
// and the file's index on it (GetFileInformationByHandle). Two handles reach
// the same file when all three parts are equal. A rename within a FAT volume
// may change the index, so an identity read after the last move is the one
// to keep.
struct FileIdentity {
  uint32_t volume;
  uint32_t index_high;
  uint32_t index_low;
};

// A registry key: a predefined root value (0x80000000 and up, passed through
// unchanged from the payload) or a key the platform opened.
typedef uintptr_t RegKey;

enum : RegKey {
  kHkeyClassesRoot = 0x80000000u,
  kHkeyCurrentUser = 0x80000001u,
  kHkeyLocalMachine = 0x80000002u,
  kHkeyUsers = 0x80000003u,
};

enum : uint32_t {
  kKeyRead = 0x20019,       // KEY_READ
  kKeyAllAccess = 0xF003F,  // KEY_ALL_ACCESS
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

enum : uint32_t {
  kInvalidAttributes = 0xFFFFFFFFu,  // INVALID_FILE_ATTRIBUTES
  kAttrReadOnly = 0x01,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kInvalidSize = 0xFFFFFFFFu,  // GetFileSize failure, passed through
};

// How open_file opens. Each mode is one fixed CreateFileA argument set.
enum OpenMode {
  // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS.
  kOpenForReading = 0,
  // GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
  // FILE_FLAG_RANDOM_ACCESS.
  kOpenForUpdate = 1,
  // GENERIC_READ|GENERIC_WRITE, no sharing, CREATE_NEW,
  // FILE_ATTRIBUTE_NORMAL: fails when the file exists.
  kCreateNewFile = 2,
};

struct Platform {
  // --- Files -------------------------------------------------------------
  PlatformFile (*open_file)(const char* path, OpenMode mode);
  // A new empty file in the temporary folder (name "qvx....TMP", falling back
  // to "C:\" when the temporary folder takes no new name), exclusive, read and
  // write, deleted by the system when closed or when the process ends.
  PlatformFile (*create_temp_file)(void);
  // ReadFile/WriteFile: true when the call succeeds. *done receives the bytes
  // moved (may be fewer than n at the end of a file); done may be null.
  bool (*read)(PlatformFile f, void* buf, int32_t n, int32_t* done);
  bool (*write)(PlatformFile f, const void* buf, int32_t n, int32_t* done);
  uint32_t (*file_size)(PlatformFile f);        // kInvalidSize on failure
  uint32_t (*seek)(PlatformFile f, int32_t pos);  // from the beginning
  uint32_t (*tell)(PlatformFile f);
  void (*close)(PlatformFile f);
  // DosDateTimeToFileTime, LocalFileTimeToFileTime, SetFileTime (last write
  // only); every failure silent.
  void (*set_file_stamp)(PlatformFile f, uint32_t packed_dos_stamp);
  // GetFileInformationByHandle; false when the system tells nothing.
  bool (*file_identity)(PlatformFile f, FileIdentity* out);

  // --- Names -------------------------------------------------------------
  uint32_t (*get_attributes)(const char* path);  // kInvalidAttributes if none
  bool (*set_attributes)(const char* path, uint32_t attributes);
  bool (*delete_file)(const char* path);
  // MoveFileA: never replaces an existing destination.
  bool (*move_file)(const char* from, const char* to);
  bool (*create_folder)(const char* path);
  bool (*remove_folder)(const char* path);  // empty folders only

  // --- Process and system ------------------------------------------------
  // Each writes a NUL-terminated string into buf (cap bytes with the NUL) and
  // returns its length, or 0 on failure or when it does not fit.
  int32_t (*own_path)(char* buf, int32_t cap);
  int32_t (*windows_folder)(char* buf, int32_t cap);
  int32_t (*system_folder)(char* buf, int32_t cap);
  int32_t (*current_folder)(char* buf, int32_t cap);
  int32_t (*short_path)(const char* path, char* buf, int32_t cap);
  const char* (*command_line)(void);
  uint32_t (*version)(void);  // GetVersion: high bit set on the 9x family

  // --- Restart -------------------------------------------------------------
  // MoveFileExA(from, to, MOVEFILE_DELAY_UNTIL_REBOOT).
  bool (*move_at_restart)(const char* from, const char* to);
  // WritePrivateProfileStringA(section, key, value, file).
  bool (*write_profile_string)(const char* section, const char* key,
                               const char* value, const char* file);
  // ExitWindowsEx(EWX_REBOOT, 0xFFFFFFFF): true when the system accepts.
  bool (*request_restart)(void);

  // --- Registry ------------------------------------------------------------
  bool (*reg_open)(RegKey root, const char* subkey, uint32_t access,
                   RegKey* out);
  // RegQueryValueExA: *size is the buffer size in, the value's size out.
  bool (*reg_query)(RegKey key, const char* name, uint32_t* type, void* data,
                    uint32_t* size);
  bool (*reg_set)(RegKey key, const char* name, uint32_t type,
                  const void* data, uint32_t size);
  void (*reg_close)(RegKey key);
};

// The table of the system this program was built for.
const Platform* PlatformNative(void);

#endif
