// selfpatch apply and selfpatch check on real folders, with patches written
// by the container writer.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/cmd_apply.h"
#include "cli/cmd_check.h"
#include "cli/reg_file.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"
#include "messages/codes.h"
#include "platform/posix_registry.h"
#include "support/cli_call.h"
#include "support/apply_fixture.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

Outcome Apply(std::vector<std::string> args) { return CallCli(ApplyMain, args); }
Outcome Check(std::vector<std::string> args) { return CallCli(CheckMain, args); }

// Writes the patch file (a stub and the container) into the scratch folder.
std::string WritePatch(const ScratchDir& dir, const writer::PayloadBuilder& b) {
  writer::ContainerOptions o;
  o.notice_length = b.notice_length();
  o.description_length = b.description_length();
  writer::Bytes file =
      writer::WritePatchFile(writer::ToBytes("MZ stub"), b.BuildBytes(), o);
  std::string path = dir.Path("patch.exe");
  std::ofstream f(path, std::ios::binary);
  f.write((const char*)file.data(), (std::streamsize)file.size());
  return path;
}

// Every name below the folder with its bytes (folders too) and its
// modification time: what "changes nothing" is held to.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).generic_string();
    auto when = fs::last_write_time(e.path()).time_since_epoch().count();
    std::string v = std::to_string(when);
    if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      v += ":" + std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      rel += "/";
    }
    out[rel] = v;
  }
  return out;
}

const std::string kV0 = "the very first version";
const std::string kV1 = "the first version of the library";
const std::string kV2 = "the second version of the library, better";
const std::string kV3 = "the third version of the library, the best one";

// UTF-8 forms of texts the applier writes in code page 950.
const std::string kDoneUtf8 = "\xe5\xae\x8c\xe7\x95\xa2";  // 完畢
const std::string kSuccessUtf8 =
    "\xe5\xa4\xaa\xe5\xa5\xbd\xe4\xba\x86!";  // 太好了!

TEST(ApplyCommand, AppliesAPatchAndPrintsTheLogInUtf8) {
  ScratchDir dir;
  dir.Write("app/lib.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("lib.dll", {kV1, kV2}));
  std::string patch = WritePatch(dir, b);

  Outcome r = Apply({patch, dir.Path("app")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.Read("app/lib.dll"), kV2);
  EXPECT_EQ(dir.Read("app/BAK/lib.dll"), kV1);
  // "目前正在做 「lib.dll」 檔案的更新 : 完畢", then the success line.
  std::string entry_line =
      "\xe7\x9b\xae\xe5\x89\x8d\xe6\xad\xa3\xe5\x9c\xa8\xe5\x81\x9a "
      "\xe3\x80\x8clib.dll\xe3\x80\x8d "
      "\xe6\xaa\x94\xe6\xa1\x88\xe7\x9a\x84\xe6\x9b\xb4\xe6\x96\xb0 : " +
      kDoneUtf8 + "\n";
  EXPECT_NE(r.out.find(entry_line), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(kSuccessUtf8), std::string::npos) << r.out;
  EXPECT_LT(r.out.find(entry_line), r.out.find(kSuccessUtf8));
}

TEST(ApplyCommand, FailureExitsWithTheCodeAndChangesNothing) {
  ScratchDir dir;
  dir.Write("app/lib.dll", "a version the patch does not know");
  dir.Write("app/other.dll", kV1);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("other.dll", {kV1, kV2}));
  b.AddPatched(ChainEntry("lib.dll", {kV1, kV2}));
  std::string patch = WritePatch(dir, b);
  auto before = Tree(dir.Path("app"));
  Outcome r = Apply({patch, dir.Path("app")});
  EXPECT_EQ(r.status, kMsgRequiredMissing);
  // Code 33's text, "錯誤! 無法建立更新檔案，...".
  EXPECT_NE(r.out.find("\xe9\x8c\xaf\xe8\xaa\xa4! \xe7\x84\xa1\xe6\xb3\x95"),
            std::string::npos)
      << r.out;
  auto after = Tree(dir.Path("app"));
  // Content and names as before (reading files may not change them).
  ASSERT_EQ(after.size(), before.size());
  for (auto& [name, v] : before) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_EQ(after[name].substr(after[name].find(':') + 1),
              v.substr(v.find(':') + 1));
  }
}

TEST(ApplyCommand, UsageAndLoadErrors) {
  ScratchDir dir;
  dir.Write("not-a-patch", std::string(200, 'x'));
  dir.MakeFolder("app");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{}, 2},
      {{"--yes"}, 2},
      {{dir.Path("not-a-patch"), dir.Path("app"), "extra"}, 2},
      {{dir.Path("not-a-patch"), dir.Path("no-such-folder")}, 2},
      {{dir.Path("not-a-patch"), "--registry"}, 2},
      {{dir.Path("not-a-patch"), dir.Path("app")}, kMsgNotAPatch},
      {{dir.Path("missing.exe"), dir.Path("app")}, kMsgCannotOpenSelf},
  };
  for (const Case& c : cases) {
    Outcome r = Apply(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
}

// A registry group and a registry script, with the registry taken from a
// REGEDIT4 file and written back to it.
TEST(ApplyCommand, RegistryFromAndBackToARegFile) {
  ScratchDir dir;
  dir.Write("Program Files/App/app.dll", kV1);
  std::string folder = dir.Path("Program Files/App");
  std::string escaped;
  for (char c : folder) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  dir.Write("reg.reg",
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n"
            "\"InstallPath\"=\"" +
                escaped +
                "\"\r\n"
                "\"Version\"=\"1.0\"\r\n");
  writer::PayloadBuilder b;
  b.RegistryGroup(kHkeyLocalMachine, "SOFTWARE\\Vendor\\App", "InstallPath",
                  "BAK");
  b.AddPatched(ChainEntry("app.dll", {kV1, kV2}));
  b.AddRegistry(writer::RegistryScript(kHkeyLocalMachine,
                                       "SOFTWARE\\Vendor\\App", "InstallPath")
                    .OpenKey(kHkeyLocalMachine, "SOFTWARE\\Vendor\\App")
                    .SetString("Version", "2.0")
                    .SetDword("Patched", 1));
  std::string patch = WritePatch(dir, b);
  dir.MakeFolder("elsewhere");

  Outcome r =
      Apply({patch, dir.Path("elsewhere"), "--registry", dir.Path("reg.reg")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(dir.Read("Program Files/App/app.dll"), kV2);
  std::string reg = dir.Read("reg.reg");
  EXPECT_NE(reg.find("\"Version\"=\"2.0\"\r\n"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Patched\"=dword:00000001\r\n"), std::string::npos);
  EXPECT_NE(reg.find("\"InstallPath\"=\"" + escaped + "\"\r\n"),
            std::string::npos);

  // Without the file the registry is empty: the group cannot be resolved.
  dir.Write("Program Files/App/app.dll", kV1);
  r = Apply({patch, dir.Path("elsewhere")});
  EXPECT_EQ(r.status, kMsgRegistryFolder);
  EXPECT_EQ(dir.Read("Program Files/App/app.dll"), kV1);
}

TEST(ApplyCommand, MalformedRegFileIsRefusedBeforeAnything) {
  ScratchDir dir;
  dir.Write("app/lib.dll", kV1);
  dir.Write("bad.reg", "REGEDIT4\n[HKEY_NOWHERE\\x]\n");
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("lib.dll", {kV1, kV2}));
  std::string patch = WritePatch(dir, b);
  Outcome r =
      Apply({patch, dir.Path("app"), "--registry", dir.Path("bad.reg")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  EXPECT_EQ(dir.Read("app/lib.dll"), kV1);
}

// The dry run: one line per entry, the code the run would end with, and not
// a single change in the folder.
TEST(CheckCommand, ReportsEveryEntryAndChangesNothing) {
  ScratchDir dir;
  dir.Write("app/done.dll", kV3);      // already updated
  dir.Write("app/mid.dll", kV1);       // middle of three
  dir.Write("app/bk.dll", "unknown");  // source in the backup
  dir.Write("app/BAK/bk.dll", kV1);
  dir.Write("app/opt.dll", "unknown");  // optional, no match
  dir.Write("app/gone.txt", "obsolete");
  dir.Write("app/sub/new.txt", "will be replaced");
  dir.Write("app/BAK/sub/new.txt", "an old backup");
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("done.dll", {kV1, kV3}));
  b.AddPatched(ChainEntry("mid.dll", {kV0, kV1, kV2, kV3}));
  b.AddPatched(ChainEntry("bk.dll", {kV1, kV3}));
  b.AddPatched(ChainEntry("opt.dll", {kV1, kV3}, kEntryOptional));
  writer::NewFile nf;
  nf.name = "sub\\new.txt";
  nf.data = "new";
  b.AddNewFile(nf);
  b.AddRemoved("gone.txt");
  b.AddRemoved("never-there.txt");
  std::string patch = WritePatch(dir, b);

  auto before = Tree(dir.path());
  Outcome r = Check({patch, dir.Path("app")});
  EXPECT_EQ(Tree(dir.path()), before);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const char* want[] = {
      "done.dll: already updated",
      "mid.dll: source 2 of 3 (mid.dll) matches in the folder; would rebuild "
      "in 2 steps; the present file goes to the backup folder\n",
      "bk.dll: source 1 of 1 (bk.dll) matches in the backup folder",
      "opt.dll: no matching source; optional: skipped with a warning",
      "sub\\new.txt: would create it (3 bytes); the present file goes to the "
      "backup folder, replacing the backup kept there",
      "gone.txt: would move it to the backup folder",
      "never-there.txt: already gone",
      "result: the run would apply the patch (7 entries)",
  };
  for (const char* w : want)
    EXPECT_NE(r.out.find(w), std::string::npos) << w << "\n" << r.out;
}

TEST(CheckCommand, PredictsTheFailureCode) {
  struct Case {
    const char* what;
    bool with_file;
    uint8_t flags;
    bool registry;
    int status;
  };
  const Case cases[] = {
      {"required file without a source", false, 0, false, kMsgRequiredMissing},
      {"quiet optional file", false, kEntryOptional | kEntryQuiet, false, 0},
      {"registry value missing", true, 0, true, kMsgRegistryFolder},
      // Staging would fail first, before the registry pass.
      {"both", false, 0, true, kMsgRequiredMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    if (c.with_file) dir.Write("app/x.dll", kV1);
    dir.MakeFolder("app");
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    if (c.registry)
      b.AddRegistry(
          writer::RegistryScript(kHkeyLocalMachine, "SOFTWARE\\Nobody", "Path")
              .SetString("x", "y"));
    b.AddPatched(ChainEntry("x.dll", {kV1, kV2}, c.flags));
    std::string patch = WritePatch(dir, b);
    auto before = Tree(dir.path());
    Outcome r = Check({patch, dir.Path("app")});
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(Tree(dir.path()), before);
  }
}

// What check predicts for a registry script is what apply then does: the
// script runs with the check key open for reading only, so a value set
// before any key is opened fails like a key that is missing.
TEST(CheckCommand, PredictsTheRegistryPass) {
  const char* kKey = "SOFTWARE\\Vendor\\App";
  struct Case {
    const char* what;
    writer::RegistryScript script;
    int status;
  };
  const Case cases[] = {
      {"a value set in the check key",
       writer::RegistryScript(kHkeyLocalMachine, kKey, "Path")
           .SetString("Version", "2"),
       kMsgRegistryAccess},
      {"a key opened, then a value set",
       writer::RegistryScript(kHkeyLocalMachine, kKey, "Path")
           .OpenKey(kHkeyLocalMachine, kKey)
           .SetString("Version", "2"),
       0},
      {"a missing key",
       writer::RegistryScript(kHkeyLocalMachine, kKey, "Path")
           .OpenKey(kHkeyLocalMachine, "SOFTWARE\\Nobody")
           .SetString("Version", "2"),
       kMsgRegistryAccess},
      {"a missing check value",
       writer::RegistryScript(kHkeyLocalMachine, kKey, "Nothing")
           .OpenKey(kHkeyLocalMachine, kKey)
           .SetString("Version", "2"),
       kMsgRegistryFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    dir.MakeFolder("app");
    dir.Write("reg.reg",
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n"
              "\"Path\"=\"C:\\\\App\"\r\n");
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddRegistry(c.script);
    std::string patch = WritePatch(dir, b);
    Outcome checked =
        Check({patch, dir.Path("app"), "--registry", dir.Path("reg.reg")});
    EXPECT_EQ(checked.status, c.status) << checked.out << checked.err;
    Outcome applied =
        Apply({patch, dir.Path("app"), "--registry", dir.Path("reg.reg")});
    EXPECT_EQ(applied.status, c.status) << applied.out << applied.err;
  }
}

}  // namespace
