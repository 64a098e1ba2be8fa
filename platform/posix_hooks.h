// Settings and records of the POSIX platform table.
//
// On Linux there is no Windows folder, no version family, no restart
// schedule and no second process holding files open, yet the core asks for
// all of them. The POSIX table answers from the settings below and records,
// instead of performing, what would outlive the program on Windows: delayed
// moves, private-profile writes and restart requests. Tests and the
// command-line tool set the settings and read the records back here.
//
// Everything is process-wide and meant for one thread, like the applier.
// Strings handed to the setters are copied; strings handed out stay valid
// until the next clear or setter call of the same kind.
//
// The setters take Linux text (UTF-8), as the system would give it; the
// table hands the folders, the own path and the command line to the core in
// code page 950 (see PosixPathForCore). In the folders and the own path a
// '\' may stand for '/'. The records keep what the core asked for, in code
// page 950.
#ifndef SELFPATCH_PLATFORM_POSIX_HOOKS_H
#define SELFPATCH_PLATFORM_POSIX_HOOKS_H

#include <stdint.h>

// GetVersion values: an NT 5.1 (build 2600) system, the default, and a
// Windows 98 system (the high bit marks the 9x family).
enum : uint32_t {
  kPosixVersionNt = 0x0A280105u,
  kPosixVersion9x = 0xC0000A04u,
};

// Names between the core and Linux. The core's paths are code page 950
// byte strings; Linux names are UTF-8. These are the conversions the table
// makes, for callers that bring Linux paths to the core themselves (the
// command-line tool's folder and patch arguments) and for tests.
//
// A core path as the table hands it to Linux: every '\' that stands as a
// character of its own (not the trail byte of 許, B3 5C) made '/', then
// converted to UTF-8; a byte sequence without a code page 950 reading is
// passed on unchanged. The length, or -1 when the result does not fit in
// cap bytes with its NUL.
int32_t PosixPathForHost(const char* cp950, char* out, int32_t cap);

// A Linux path as the core should name it: UTF-8 converted to code page
// 950, a character without a code page 950 form (or a byte that is not
// UTF-8) kept as it is. The length, or -1 when the result does not fit, or
// when PosixPathForHost would not lead back to exactly this path: a kept
// character whose bytes read as Big5 (é is C3 A9, which is 矇), or a '\'
// inside a Linux name. Such a path cannot be reached through the table.
int32_t PosixPathForCore(const char* host, char* out, int32_t cap);

// What version() reports; kPosixVersionNt until set.
void PosixSetVersion(uint32_t version);

// The Windows folder and the System folder. Unset (or set to null) they
// follow the Wine layout, where Windows software lives on a Linux machine:
// "$WINEPREFIX/drive_c/windows" (or "$HOME/.wine/drive_c/windows" without
// WINEPREFIX) and its "system32" subfolder. Nothing is created.
void PosixSetWindowsFolder(const char* path);
void PosixSetSystemFolder(const char* path);

// The folder for temporary files; unset (or null) it is $TMPDIR, or /tmp
// when TMPDIR is unset or empty. When no new name can be made there, /tmp is
// tried, as Windows falls back to "C:\".
void PosixSetTempFolder(const char* path);

// own_path() and command_line(); unset they come from /proc/self.
void PosixSetOwnPath(const char* path);
void PosixSetCommandLine(const char* line);

// Whether request_restart() reports that the system accepted the request
// (default true). The request itself is only counted.
void PosixSetRestartAccepted(bool accepted);
int32_t PosixRestartRequests(void);

// Delayed moves (move_at_restart), in call order.
int32_t PosixDelayedMoveCount(void);
// False when i is out of range.
bool PosixDelayedMove(int32_t i, const char** from, const char** to);

// Private-profile writes (write_profile_string), in call order. A null key
// or value is recorded as null, as the Win32 call would delete with it.
struct PosixProfileWrite {
  const char* section;
  const char* key;
  const char* value;
  const char* file;
};
int32_t PosixProfileWriteCount(void);
bool PosixProfileWriteAt(int32_t i, PosixProfileWrite* out);

// Forgets the delayed moves, profile writes and restart requests.
void PosixClearRecords(void);

// Puts every setting back to its default and clears the records (the
// registry is separate, see posix_registry.h).
void PosixResetSettings(void);

#endif
