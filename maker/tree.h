// The files of one version folder, by path relative to the folder.
#ifndef SELFPATCH_MAKER_TREE_H
#define SELFPATCH_MAKER_TREE_H

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace maker {

class MakeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TreeFile {
  std::string path;  // on this machine
  uint64_t size = 0;
  time_t mtime = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Relative path ('/' between folders, as the file system spells it) to the
// file. Symbolic links are followed; anything that is neither a folder nor
// a regular file, or cannot be read, is a MakeError naming it.
typedef std::map<std::string, TreeFile> Tree;

Tree ScanTree(const std::string& root);

// The whole file; MakeError when it cannot be read or is 2 GiB or more.
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// Packed MS-DOS stamp of a time as local time: date in the high 16 bits,
// time (2-second steps) in the low ones. Times before 1980 give 1980-01-01
// 00:00:00, after 2107 the last stamp there is.
uint32_t DosStampOf(time_t t);

}  // namespace maker

#endif
