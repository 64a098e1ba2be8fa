// The maker's manifest: what the command line cannot say. A JSON file:
//
//   {
//     "backup": "BACKUP",                 default backup folder name
//     "groups": [                         at most 20, in payload order
//       {
//         "target": "chosen",             "chosen" (the folder the user
//                                         picks), "registry", "windows",
//                                         "system", or 0..3
//         "root": "HKLM",                 registry only: HKLM, HKCU, HKCR,
//         "subkey": "Software\\Vendor",   HKU, HKCC (or the full names, or
//         "value": "InstallPath",         a number); "value" "" = default
//         "folder": "sys",                this group's files are those
//                                         under this folder of every
//                                         version folder ("" = all that no
//                                         other group's folder takes)
//         "backup": "BACKUP",             this group's backup folder name
//         "files": {                      by path below "folder", '/'
//           "app.exe": {
//             "optional": true,           no error when no version matches
//             "quiet": true,              ... and no warning either
//             "hole": [offset, length],   left out of the new file's CRC
//             "source_holes": [[o, l]],   per old version (oldest first);
//                                         default: "hole" for every one
//             "stamp": "2024-05-06 07:08:10"   local time; or a packed
//                                         number, or "none"; default: the
//                                         new file's modification time
//           }
//         },
//         "registry": [                   registry entries, after the files
//           { "check": {"root": "HKLM", "subkey": "...", "value": "..."},
//             "ops": [
//               {"open": {"root": "HKLM", "subkey": "..."}},
//               {"set": {"name": "Version", "type": "REG_SZ",
//                        "string": "1.2"}},
//               {"set": {"name": "Build", "type": "REG_DWORD", "dword": 7}},
//               {"set": {"name": "Blob", "type": "REG_BINARY",
//                        "hex": "00ff10"}},
//               {"set": {"name": "List", "type": "REG_MULTI_SZ",
//                        "strings": ["a", "b"]}}
//             ] }
//         ]
//       }
//     ]
//   }
//
// Every text is UTF-8 and is stored in code page 950. Unknown members are
// errors, so a misspelt flag never passes silently.
#ifndef SELFPATCH_MAKER_MANIFEST_H
#define SELFPATCH_MAKER_MANIFEST_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace maker {

struct HoleSpec {
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct FileRule {
  bool optional = false;
  bool quiet = false;
  bool has_hole = false;
  HoleSpec hole;
  bool has_source_holes = false;
  std::vector<HoleSpec> source_holes;  // per old version, oldest first
  bool stamp_given = false;
  uint32_t stamp = 0;
  bool used = false;  // set by the maker when a file takes the rule
};

struct RegistryOp {
  bool open = false;     // open key; otherwise set value
  uint32_t root = 0;     // open
  std::string subkey;    // open, code page 950
  std::string name;      // set, code page 950
  uint32_t type = 0;     // set
  std::string data;      // set, exactly as stored
};

struct RegistrySpec {
  uint32_t check_root = 0;
  std::string check_subkey;  // code page 950
  std::string check_value;   // code page 950
  std::vector<RegistryOp> ops;
};

struct GroupSpec {
  uint8_t kind = 0;
  uint32_t root = 0;        // kind 1
  std::string subkey;       // kind 1, code page 950
  std::string value_name;   // kind 1, code page 950
  bool backup_given = false;
  std::string backup;       // code page 950
  std::string folder;       // UTF-8, '/' separated, no leading or trailing '/'
  std::map<std::string, FileRule> files;  // by path below folder (UTF-8)
  std::vector<RegistrySpec> registry;
};

struct Manifest {
  bool backup_given = false;
  std::string backup;  // code page 950
  std::vector<GroupSpec> groups;
};

// Parses the manifest text; MakeError (maker/tree.h) with the place and the
// reason for anything wrong. `source` names the file in messages.
Manifest ParseManifest(const std::string& text, const std::string& source);

// The manifest of a plain patch: one group of the chosen folder.
Manifest DefaultManifest();

// "YYYY-MM-DD hh:mm:ss" (local time) as a packed stamp; false when the text
// is not such a time or lies outside 1980..2107.
bool ParseStampText(const std::string& text, uint32_t* stamp);

}  // namespace maker

#endif
