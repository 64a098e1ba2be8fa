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
#ifndef SELFPATCH_PLATFORM_POSIX_HOOKS_H
#define SELFPATCH_PLATFORM_POSIX_HOOKS_H

#include <stdint.h>

// GetVersion values: an NT 5.1 (build 2600) system, the default, and a
// Windows 98 system (the high bit marks the 9x family).
enum : uint32_t {
  kPosixVersionNt = 0x0A280105u,
  kPosixVersion9x = 0xC0000A04u,
};

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
