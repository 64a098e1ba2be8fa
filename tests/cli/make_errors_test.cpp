// selfpatch make refuses what it cannot turn into a working patch, with a
// message that says why, and writes nothing then.
#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "cli/cmd_make.h"
#include "support/cli_call.h"
#include "support/scratch_dir.h"

namespace {

int MakeQuietly(int argc, char** argv, FILE* out, FILE* err) {
  return MakeMain(argc, argv, out, err, false);
}

Outcome Make(std::vector<std::string> args) {
  return CallCli(MakeQuietly, std::move(args));
}

struct Case {
  const char* what;
  // Prepares the scratch folder; returns the arguments (with "@" + name
  // standing for the scratch path of name).
  std::function<std::vector<std::string>(const ScratchDir&)> setup;
  int status;
  const char* says;
};

std::vector<std::string> Plain(const ScratchDir& d,
                               std::vector<std::string> extra = {}) {
  d.Write("old/a.txt", "old");
  d.Write("new/a.txt", "new");
  std::vector<std::string> args = {"--old", "@old", "--new", "@new", "-o",
                                   "@p.bin"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(MakeErrors, EachIsRefusedWithItsReason) {
  // Two folders of 64 times 中: 257 bytes in code page 950 (and well
  // within what Linux allows a name, in UTF-8).
  std::string half;
  for (int i = 0; i < 64; i++) half += "\xE4\xB8\xAD";
  std::string long_name = half + "/" + half;
  std::vector<Case> cases = {
      {"no arguments", [](const ScratchDir&) { return std::vector<std::string>{}; },
       2, "no --old folder"},
      {"no new", [](const ScratchDir&) {
         return std::vector<std::string>{"--old", "@old", "-o", "@p"}; },
       2, "no --new folder"},
      {"no output", [](const ScratchDir& d) {
         d.MakeFolder("old");
         return std::vector<std::string>{"--old", "@old", "--new", "@old"}; },
       2, "no output"},
      {"unknown option", [](const ScratchDir& d) { return Plain(d, {"--fast"}); },
       2, "unknown argument '--fast'"},
      {"missing value", [](const ScratchDir& d) { return Plain(d, {"--stub"}); },
       2, "--stub needs one file"},
      {"level out of range", [](const ScratchDir& d) { return Plain(d, {"--level", "10"}); },
       2, "--level takes one number from 0 to 9"},
      {"level and zopfli", [](const ScratchDir& d) {
         return Plain(d, {"--level=3", "--zopfli"}); },
       2, "exclude each other"},
      {"stored and zopfli", [](const ScratchDir& d) {
         return Plain(d, {"--stored", "--zopfli"}); },
       2, "--stored excludes"},
      {"jobs zero", [](const ScratchDir& d) { return Plain(d, {"--jobs", "0"}); },
       2, "--jobs takes"},
      {"two news", [](const ScratchDir& d) { return Plain(d, {"--new", "@old"}); },
       2, "--new needs one folder"},
      {"missing old folder", [](const ScratchDir& d) {
         d.MakeFolder("new");
         return std::vector<std::string>{"--old", "@nowhere", "--new", "@new",
                                         "-o", "@p.bin"}; },
       1, "nowhere"},
      {"old is a file", [](const ScratchDir& d) {
         d.Write("file", "x");
         d.MakeFolder("new");
         return std::vector<std::string>{"--old", "@file", "--new", "@new",
                                         "-o", "@p.bin"}; },
       1, "not a folder"},
      {"output inside an input", [](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         a[5] = "@new/p.bin";
         return a; },
       1, "lies inside the input folder"},
      {"output is the stub", [](const ScratchDir& d) {
         d.Write("stub.exe", "MZ");
         std::vector<std::string> a = Plain(d, {"--stub", "@stub.exe"});
         a[5] = "@stub.exe";
         return a; },
       1, "is the input"},
      {"output folder missing", [](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         a[5] = "@no/such/p.bin";
         return a; },
       1, "does not exist"},
      {"21 versions", [](const ScratchDir& d) {
         std::vector<std::string> a;
         for (int i = 0; i < 21; i++) {
           d.Write("v" + std::to_string(i) + "/a", std::to_string(i));
           a.push_back("--old");
           a.push_back("@v" + std::to_string(i));
         }
         d.Write("new/a", "n");
         a.insert(a.end(), {"--new", "@new", "-o", "@p.bin"});
         return a; },
       1, "at most 20 old versions"},
      {"name too long", [long_name](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         d.Write("new/" + long_name, "x");
         return a; },
       1, "the applier takes at most 255"},
      {"name without Big5", [](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         d.Write("new/caf\xC3\xA9.txt", "x");
         return a; },
       1, "U+00E9"},
      {"name Windows does not allow", [](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         d.Write("new/a:b.txt", "x");
         return a; },
       1, "(:) that Windows does not allow"},
      {"names differing in case", [](const ScratchDir& d) {
         std::vector<std::string> a = Plain(d);
         d.Write("new/A.TXT", "x");
         return a; },
       1, "differ only in case"},
      {"notice without Big5", [](const ScratchDir& d) {
         d.Write("notice.txt", "line one\nline two \xC3\xA9\n");
         return Plain(d, {"--notice", "@notice.txt"}); },
       1, "notice.txt: line 2: U+00E9"},
      {"notice with the end mark", [](const ScratchDir& d) {
         d.Write("notice.txt", "50#% off");
         return Plain(d, {"--notice", "@notice.txt"}); },
       1, "\"#%\""},
      {"description too long", [](const ScratchDir& d) {
         d.Write("d.txt", std::string(600, 'x') + "\n" + std::string(600, 'y'));
         return Plain(d, {"--description", "@d.txt"}); },
       1, "at most 1000"},
      {"missing notice file", [](const ScratchDir& d) {
         return Plain(d, {"--notice", "@nothing.txt"}); },
       1, "nothing.txt"},
      {"backup name leaves the folder", [](const ScratchDir& d) {
         return Plain(d, {"--backup", "..\\up"}); },
       1, "plain relative folder name"},
      {"manifest not JSON", [](const ScratchDir& d) {
         d.Write("m.json", "{\"groups\": [\n  {\"folder\": }]}");
         return Plain(d, {"--manifest", "@m.json"}); },
       1, "m.json: line 2, column"},
      {"manifest names no file", [](const ScratchDir& d) {
         d.Write("m.json", "{\"groups\": [{\"files\": {\"b.txt\": {}}}]}");
         return Plain(d, {"--manifest", "@m.json"}); },
       1, "names b.txt, which no version holds"},
      {"file outside every group", [](const ScratchDir& d) {
         d.Write("m.json", "{\"groups\": [{\"folder\": \"app\"}]}");
         return Plain(d, {"--manifest", "@m.json"}); },
       1, "a.txt lies in no group's folder"},
      {"source holes for the wrong count", [](const ScratchDir& d) {
         d.Write("m.json", "{\"groups\": [{\"files\": {\"a.txt\": "
                           "{\"source_holes\": [[0, 1], [0, 1]]}}}]}");
         return Plain(d, {"--manifest", "@m.json"}); },
       1, "2 holes for 1 old versions"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    std::vector<std::string> args = c.setup(dir);
    for (std::string& a : args)
      if (!a.empty() && a[0] == '@') a = dir.Path(a.substr(1));
    auto before = dir.Snapshot();
    Outcome r = Make(args);
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(dir.Snapshot(), before) << c.what << ": something was written";
  }
}

TEST(MakeErrors, AnExistingOutputThatIsNoInputIsReplaced) {
  ScratchDir dir;
  dir.Write("old/a.txt", "old");
  dir.Write("new/a.txt", "new");
  dir.Write("p.bin", "an older patch");
  Outcome r = Make({"--old", dir.Path("old"), "--new", dir.Path("new"), "-o",
                    dir.Path("p.bin"), "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(dir.Read("p.bin"), "an older patch");
  // Only the patch: no temporary file left beside it.
  EXPECT_EQ(dir.Snapshot().size(), 5u);  // old/, old/a.txt, new/, new/a.txt, p.bin
}

}  // namespace
