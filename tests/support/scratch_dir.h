// A fresh, empty folder for one test, removed with everything in it when the
// test ends (read-only files and write-protected folders included).
//
//   ScratchDir dir;
//   dir.Write("old/app.dll", "bytes");          // parent folders made as needed
//   std::string target = dir.Path("old");       // native separators
//   ... run the code under test on target ...
//   EXPECT_EQ(dir.Read("old/app.dll"), "new bytes");
//   auto before = dir.Snapshot();  ...  EXPECT_EQ(dir.Snapshot(), before);
//
// It lives in the system's temporary folder (TMPDIR on the host, the user's
// temporary folder under Wine) and works through the host's own calls, not
// through the platform table, so it can check what the table did. Relative
// names take '/' or '\' alike.
#ifndef SELFPATCH_TESTS_SUPPORT_SCRATCH_DIR_H
#define SELFPATCH_TESTS_SUPPORT_SCRATCH_DIR_H

#include <map>
#include <string>

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder itself, in native form, without a trailing separator.
  const std::string& path() const { return root_; }
  // The folder joined with rel; every separator in rel made native.
  std::string Path(const std::string& rel) const;

  // Writes a file, creating its parent folders; fails the test on error.
  void Write(const std::string& rel, const std::string& bytes) const;
  // The file's bytes; "" and a test failure when it cannot be read.
  std::string Read(const std::string& rel) const;
  void MakeFolder(const std::string& rel) const;

  bool Exists(const std::string& rel) const;  // file or folder
  bool IsFile(const std::string& rel) const;
  bool IsFolder(const std::string& rel) const;

  // Everything below the folder: relative names with '/', folders ending in
  // '/' with an empty value, files with their bytes. Compare two snapshots
  // to show that a folder is byte for byte as it was.
  std::map<std::string, std::string> Snapshot() const;

 private:
  std::string root_;
};

// '\' and '/' in p turned into the native separator.
std::string NativePath(const std::string& p);

#endif
