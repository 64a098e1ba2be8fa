// Files and folders with Big5 names, through the native table and the
// file helpers: the names the core gives in code page 950 must reach the
// file system as the same characters (UTF-8 on Linux, UTF-16 on Windows),
// and the path walks must not split a character whose trail byte is 0x5C.
//
// Under Wine the ANSI calls read names in the process's ANSI code page;
// these tests mean something there only when it is 950 (run them with
// LANG=zh_TW.UTF-8) and are skipped otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "fsutil/fsutil.h"
#include "maker/writer/payload_builder.h"
#include "support/apply_fixture.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// Code page 950 bytes and the UTF-8 of the same characters. The first
// three end in the trail byte 0x5C.
struct Name {
  const char* cp950;
  const char* utf8;
};
const Name kXu = {"\xB3\x5C", "\xE8\xA8\xB1"};    // 許
const Name kGong = {"\xA5\x5C", "\xE5\x8A\x9F"};  // 功
const Name kGai = {"\xBB\x5C", "\xE8\x93\x8B"};   // 蓋
const Name kBackup = {"\xB3\xC6\xA5\xF7", "\xE5\x82\x99\xE4\xBB\xBD"};  // 備份

#ifdef _WIN32
unsigned AnsiCodePage() { return GetACP(); }
#else
unsigned AnsiCodePage() { return 950; }  // the POSIX table converts itself
#endif

#define SKIP_UNLESS_BIG5()                                           \
  if (AnsiCodePage() != 950)                                         \
  GTEST_SKIP() << "the ANSI code page is " << AnsiCodePage()         \
               << ", not 950 (run with LANG=zh_TW.UTF-8 under Wine)"

// Everything below root as the file system names it, in UTF-8 with '/':
// folders end in '/' and map to "", files map to their bytes.
std::map<std::string, std::string> OnDisk(const std::string& root) {
  std::map<std::string, std::string> out;
  const fs::path base(root);
  for (const auto& e : fs::recursive_directory_iterator(base)) {
    std::string rel = e.path().lexically_relative(base).generic_u8string();
    if (e.is_directory()) {
      out[rel + "/"] = "";
    } else {
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      out[rel] = bytes.str();
    }
  }
  return out;
}

std::string Join(std::initializer_list<std::string> parts, char sep) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += sep;
    out += p;
  }
  return out;
}

// Writes a file through the table, making its folders the way the passes
// do.
void WriteThroughTable(const std::string& path, const std::string& bytes) {
  const Platform* os = PlatformNative();
  FsCreateParentFolders(os, path.c_str());
  PlatformFile f = FsCreateNewFile(os, path.c_str());
  ASSERT_TRUE(f) << path;
  EXPECT_TRUE(FsWriteBlock(os, f, bytes.data(), (int32_t)bytes.size()));
  os->close(f);
}

TEST(Big5Names, FilesAndFoldersKeepTheirCharacters) {
  SKIP_UNLESS_BIG5();
  ScratchDir dir;
  const Platform* os = PlatformNative();
  const std::string root = dir.path();
  dir.Write("keep", "");  // so that the walks upwards stop at the root
  const std::string file =
      Join({root, kXu.cp950, kGong.cp950, std::string(kGai.cp950) + ".txt"},
           '\\');
  WriteThroughTable(file, "data");
  EXPECT_TRUE(FsFileExists(os, file.c_str()));
  EXPECT_TRUE(FsFolderExists(os, Join({root, kXu.cp950}, '\\').c_str()));
  EXPECT_EQ(os->get_attributes(file.c_str()), (uint32_t)kAttrArchive);
  const std::string xu = kXu.utf8, gong = kGong.utf8, gai = kGai.utf8;
  EXPECT_EQ(OnDisk(root), (std::map<std::string, std::string>{
                              {"keep", ""},
                              {xu + "/", ""},
                              {xu + "/" + gong + "/", ""},
                              {xu + "/" + gong + "/" + gai + ".txt", "data"},
                          }));

  // Moved up beside its folder under a name of two characters, 蓋功.txt,
  // and read back.
  const std::string moved =
      Join({root, kXu.cp950, std::string(kGai.cp950) + kGong.cp950 + ".txt"},
           '/');
  ASSERT_TRUE(FsMoveFile(os, file.c_str(), moved.c_str()));
  PlatformFile f = FsOpenForReading(os, moved.c_str());
  ASSERT_TRUE(f);
  char buf[8] = {};
  int32_t got = 0;
  EXPECT_TRUE(FsReadBlock(os, f, buf, sizeof buf, &got));
  os->close(f);
  EXPECT_EQ(std::string(buf, (size_t)got), "data");
  EXPECT_FALSE(FsFileExists(os, file.c_str()));

  // The emptied folder 功 goes; 許 still holds the file and stays.
  FsRemoveEmptyParentFolders(os, file.c_str());
  EXPECT_EQ(OnDisk(root), (std::map<std::string, std::string>{
                              {"keep", ""},
                              {xu + "/", ""},
                              {xu + "/" + gai + gong + ".txt", "data"},
                          }));
  EXPECT_TRUE(FsForceDelete(os, moved.c_str()));
  FsRemoveEmptyParentFolders(os, moved.c_str());
  EXPECT_EQ(OnDisk(root),
            (std::map<std::string, std::string>{{"keep", ""}}));
}

// A whole apply run on names with 0x5C trail bytes: the staged file, the
// target file, the backup copies and their folders all carry the right
// names, and nothing is left behind under a name cut in half.
TEST(Big5Names, ApplyRunKeepsEveryNameWhole) {
  SKIP_UNLESS_BIG5();
  const std::string v1 = "the first version of the library";
  const std::string v2 = "the second version of the library, better";
  ApplyHarness h;
  const std::string app = h.Target();
  const std::string lib = Join({kXu.cp950, "lib.dll"}, '\\');
  const std::string added =
      Join({kGong.cp950, kGai.cp950, "new.txt"}, '\\');
  const std::string gone = std::string(kGai.cp950) + ".txt";
  WriteThroughTable(app + "\\" + lib, v1);
  WriteThroughTable(app + "\\" + gone, "obsolete");

  writer::PayloadBuilder b;
  b.ChosenFolderGroup(kBackup.cp950);
  b.AddPatched(ChainEntry(lib, {v1, v2}));
  writer::NewFile nf;
  nf.name = added;
  nf.data = "a new file";
  b.AddNewFile(nf);
  b.AddRemoved(gone);
  ASSERT_TRUE(h.Load(b));
  ASSERT_EQ(h.Run(), kOk) << testing::PrintToString(h.lines());

  const std::string xu = kXu.utf8, gong = kGong.utf8, gai = kGai.utf8,
                    bak = kBackup.utf8;
  EXPECT_EQ(OnDisk(app), (std::map<std::string, std::string>{
                             {xu + "/", ""},
                             {xu + "/lib.dll", v2},
                             {gong + "/", ""},
                             {gong + "/" + gai + "/", ""},
                             {gong + "/" + gai + "/new.txt", "a new file"},
                             {bak + "/", ""},
                             {bak + "/" + xu + "/", ""},
                             {bak + "/" + xu + "/lib.dll", v1},
                             {bak + "/" + gai + ".txt", "obsolete"},
                         }));
}

}  // namespace
