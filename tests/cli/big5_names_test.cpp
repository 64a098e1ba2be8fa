// selfpatch apply and info on Linux names in UTF-8: the folder and patch
// arguments reach the core in code page 950, the patch's Big5 names come
// out on disk in UTF-8, and a name without a faithful code page 950 form is
// refused before anything is touched.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cmd_apply.h"
#include "cli/cmd_info.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"
#include "messages/codes.h"
#include "support/cli_call.h"
#include "support/apply_fixture.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), (std::streamsize)bytes.size());
}

void WritePatch(const std::string& path, const writer::PayloadBuilder& b) {
  writer::ContainerOptions o;
  o.notice_length = b.notice_length();
  o.description_length = b.description_length();
  writer::Bytes file =
      writer::WritePatchFile(writer::ToBytes("MZ stub"), b.BuildBytes(), o);
  WriteFile(path, std::string(file.begin(), file.end()));
}

// Names and bytes below root as Linux holds them; folders end in '/'.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).generic_string();
    if (e.is_directory()) {
      out[rel + "/"] = "";
    } else {
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      out[rel] = s.str();
    }
  }
  return out;
}

// 許 and 功 (code page 950 B3 5C and A5 5C) in both forms; 應用 names the
// folder and 更新 the patch.
const std::string kXu = "\xB3\x5C", kXuU8 = "\xE8\xA8\xB1";
const std::string kGong = "\xA5\x5C", kGongU8 = "\xE5\x8A\x9F";
const std::string kApp = "\xE6\x87\x89\xE7\x94\xA8";
const std::string kPatch = "\xE6\x9B\xB4\xE6\x96\xB0.exe";

const std::string kV1 = "the first version of the library";
const std::string kV2 = "the second version of the library, better";

TEST(ApplyCommandBig5, ApplyOnAUtf8FolderWritesUtf8Names) {
  ScratchDir dir;
  const std::string app = dir.path() + "/" + kApp;
  WriteFile(app + "/" + kXuU8 + "/lib.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup(kGong);
  b.AddPatched(ChainEntry(kXu + "\\lib.dll", {kV1, kV2}));
  writer::NewFile nf;
  nf.name = kGong + "\\" + kXu + ".txt";
  nf.data = "new";
  b.AddNewFile(nf);
  const std::string patch = dir.path() + "/" + kPatch;
  WritePatch(patch, b);

  Outcome r = CallCli(ApplyMain, {patch, app});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Tree(app), (std::map<std::string, std::string>{
                           {kXuU8 + "/", ""},
                           {kXuU8 + "/lib.dll", kV2},
                           {kGongU8 + "/", ""},
                           {kGongU8 + "/" + kXuU8 + "/", ""},
                           {kGongU8 + "/" + kXuU8 + "/lib.dll", kV1},
                           {kGongU8 + "/" + kXuU8 + ".txt", "new"},
                       }));
  // The log names the entry as the patch does, shown in UTF-8.
  EXPECT_NE(r.out.find(kXuU8 + "\\lib.dll"), std::string::npos) << r.out;
}

TEST(ApplyCommandBig5, NamesWithoutACodePage950FormAreRefused) {
  ScratchDir dir;
  WriteFile(dir.path() + "/ok/x", "");
  WriteFile(dir.path() + "/caf\xC3\xA9/x", "");  // é reads back as 矇
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  const std::string patch = dir.path() + "/patch.exe";
  WritePatch(patch, b);
  const std::string odd_patch = dir.path() + "/caf\xC3\xA9/patch.exe";
  WritePatch(odd_patch, b);
  const auto before = Tree(dir.path());

  struct Case {
    std::vector<std::string> args;
    int (*main_fn)(int, char**, FILE*, FILE*);
  };
  const Case cases[] = {
      {{patch, dir.path() + "/caf\xC3\xA9"}, ApplyMain},
      {{odd_patch, dir.path() + "/ok"}, ApplyMain},
      {{odd_patch}, InfoMain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    Outcome r = CallCli(c.main_fn, c.args);
    EXPECT_EQ(r.status, kMsgCannotOpenSelf);
    EXPECT_NE(r.err.find("code page 950"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Tree(dir.path()), before);
}

}  // namespace
