// What the fuzz targets share.
//
// A scratch tree, made once per process, in which every run of the applier
// happens:
//
//   <root>/app   the chosen folder        <root>/win   the Windows folder
//   <root>/sys   the System folder        <root>/reg   the folder a registry
//   <root>/tmp   temporary files                       value names
//
// Each of the four target folders starts every input with the same few
// files (kFuzzFiles), so the seed payloads, made against these bytes, patch
// real files and the fuzzer starts deep inside the staging and commit passes.
// The registry starts with the keys of kFuzzRegistry.
//
// The guarding platform table passes every call to the POSIX table, but
// stops the process (a finding) when a call would change anything outside
// the four target folders and the temporary folder: a payload must never
// reach beyond its target folder, whatever its bytes. It also plays a disk
// of limited size, so a payload that asks for gigabytes of output fails like
// a full disk instead of filling the machine.
#ifndef SELFPATCH_FUZZ_FUZZ_SUPPORT_H
#define SELFPATCH_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

#include "core/session.h"

// The files every target folder holds at the start of an input.
struct FuzzFile {
  const char* name;
  const char* data;
};
extern const FuzzFile kFuzzFiles[];
extern const int kFuzzFileCount;

// Versions of "a.dll" the seeds chain through: kFuzzFiles holds version 1.
extern const char* const kFuzzVersions[];
extern const int kFuzzVersionCount;

// The registry at the start of an input (below HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE). The group folder value is filled in at run time with
// <root>/reg.
extern const char kFuzzAppKey[];         // HKCU: "Folder" = <root>/reg,
                                         //   "Alias" = <root>//app
extern const char kFuzzSettingsKey[];    // HKCU: "Version" = "1", "Count"
extern const char kFuzzMachineKey[];     // HKLM: "Install" = "C:\Orvenda", "Empty" = ""

// <root> without a trailing '/', made on first use and removed at exit.
const std::string& FuzzRoot();
std::string FuzzPath(const char* sub);  // <root>/<sub>

// Removes the four target folders and the temporary folder with everything
// in them, makes them again with kFuzzFiles, and puts the registry and the
// POSIX settings (folders, records) back as they start.
void FuzzResetWorld();

// Every file below <root>/<sub>, relative name to bytes; and the folders.
std::map<std::string, std::string> FuzzFilesBelow(const std::string& dir);

// The guarding table. The write budget counts bytes written through it
// from the last FuzzSetWriteBudget call; the write that crosses it fails.
const Platform* FuzzGuardedPlatform();
void FuzzSetWriteBudget(int64_t bytes);

// The path as the system will take it: '\' as '/', absolute, "." and ".."
// and repeated separators worked out by name.
std::string FuzzNormalPath(const char* path);

// Open file descriptors of the process, to find handles left open.
int FuzzOpenDescriptors();

// A session the targets reuse (it is large): SessionInit'ed on the table.
Session* FuzzSession(const Platform* os);

// Writes payload bytes into a new temporary file and makes it the session's
// payload stream with the group table at group_table_pos, as the loader
// leaves it. False when the file cannot be made.
bool FuzzLoadPayload(Session* s, const uint8_t* data, size_t size,
                     uint32_t group_table_pos);

// A registry dump: one line per key and value, for before/after checks.
std::string FuzzRegistryDump();

// Stops the process with a message: the fuzzer records the input.
[[noreturn]] void FuzzFail(const char* what, const std::string& detail);

#define FUZZ_CHECK(cond, detail)                       \
  do {                                                 \
    if (!(cond)) FuzzFail(#cond, (detail));            \
  } while (0)

#endif
