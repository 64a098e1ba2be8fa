// `selfpatch make`: from version folders to a patch file.
//
// The old folders are the known versions, oldest first; the new folder is
// the version the patch brings. Per file of every group (the manifest's
// groups, or one group of the folder the user picks):
//   - in the new folder and different in some old version: a patched file
//     whose sources are the distinct old contents that differ from the new
//     one, chained in version order (a content that comes back later is
//     taken where it last occurs); every delta is rebuilt with the
//     applier's own rebuild and compared before anything is written;
//   - only in the new folder: a new file;
//   - in the latest old version and not in the new folder: a removed file;
//   - the same everywhere: nothing.
// Entries follow in name order within their group, then the group's
// registry entries. The output is the stub's bytes (if any) followed by the
// container; the same inputs always give the same bytes.
#ifndef SELFPATCH_MAKER_MAKE_PATCH_H
#define SELFPATCH_MAKER_MAKE_PATCH_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "maker/tree.h"

namespace maker {

struct MakeOptions {
  std::vector<std::string> old_dirs;  // oldest first, at most 20
  std::string new_dir;
  std::string out;
  std::string stub;         // empty: the container alone
  std::string backup;       // empty: the manifest's, else "BACKUP"
  std::string notice_file;  // UTF-8 texts; empty: none
  std::string description_file;
  std::string manifest_file;
  bool stored = false;  // payload region stored, not deflated
  int level = 9;        // zlib level 0..9; 9: DeflateSplitBlocks
  bool zopfli = false;  // zopfli instead of zlib
  int jobs = 0;         // encoding threads; 0: one per processor
  // Called from the calling thread with a short line about what is being
  // done ("3/17 lib/app.dll"); may be empty.
  std::function<void(const std::string&)> progress;
  // Warnings that do not stop the patch (a file missing from some old
  // version, ...); may be empty.
  std::function<void(const std::string&)> warn;
};

struct MakeReport {
  size_t patched = 0, added = 0, removed = 0, registry = 0, unchanged = 0;
  size_t sources = 0;
  uint64_t payload_size = 0;    // inflated
  uint64_t container_size = 0;  // header, region, trailer
  uint64_t file_size = 0;       // stub and container
};

// Builds the patch and writes it to options.out (through a temporary file
// beside it, renamed into place). MakeError for anything wrong with the
// inputs, with a message fit for the user; std::logic_error when a delta
// does not rebuild its file (a bug in the encoder).
MakeReport MakePatch(const MakeOptions& options);

// A path below a group folder ('/' separated, UTF-8) as the payload names
// it: code page 950, '\' between folders, at most 255 bytes. MakeError
// otherwise, and for characters Windows does not allow in names
// (\ : * ? " < > | and control characters).
std::string PayloadName(const std::string& rel);

// A notice or description file's UTF-8 text as the applier shows it: code
// page 950, line breaks as NUL bytes (the applier's line break in both
// texts), a leading byte order mark and trailing line breaks dropped.
// MakeError names the file and line of a character code page 950 lacks, a
// notice holding "#%" (the applier would end the text there), and a text
// longer than the applier's 1000 bytes.
std::string PayloadText(const std::string& utf8, const std::string& source,
                        bool notice);

}  // namespace maker

#endif
