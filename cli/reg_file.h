// REGEDIT4 files in and out of the in-memory registry of the POSIX platform
// (platform/posix_registry.h), so the command-line tool can run patches
// whose target groups or registry scripts need registry values.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Vendor\App]
//   "InstallPath"="C:\\Program Files\\App"
//   @="the key's default value"
//   "Count"=dword:0000000a
//   "Blob"=hex:01,02,03
//   "Path"=hex(2):25,54,45,4d,50,25,00
//   "Gone"=-
//
//   [-HKEY_CURRENT_USER\Software\Old]
//
// Text is taken byte for byte, as a REGEDIT4 file holds it in the system's
// ANSI code page (code page 950 for this software); nothing is converted. A
// quoted value is REG_SZ with its terminating NUL; within quotes "\\" is a
// backslash and "\"" a quote. Hex lists may continue on the next line after
// a trailing '\'. Lines starting with ';' are comments. The roots are the
// HKEY_... names and their usual abbreviations (HKLM, HKCU, HKCR, HKU, HKCC).
// "[-KEY]" removes a key and everything below it, "name"=- a value.
#ifndef SELFPATCH_CLI_REG_FILE_H
#define SELFPATCH_CLI_REG_FILE_H

#include <string>

// Applies the text to the in-memory registry. On a malformed line, returns
// false with the line number and the reason in *error; the lines before it
// have been applied.
bool ApplyRegText(const std::string& text, std::string* error);

// The whole in-memory registry as REGEDIT4 text (CRLF line ends): every key,
// empty ones included, and every value. ApplyRegText of the result on an
// empty registry gives the same registry back.
std::string RegText();

// The same over files; *error names the file on failure.
bool LoadRegFile(const std::string& path, std::string* error);
bool SaveRegFile(const std::string& path, std::string* error);

#endif
