// selfpatch info on patches the maker wrote: groups, entries, sources,
// registry scripts and totals, as text and as JSON.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cli/cmd_info.h"
#include "cli/cmd_make.h"
#include "maker/json.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"
#include "support/cli_call.h"
#include "support/scratch_dir.h"

namespace {

int MakeQuietly(int argc, char** argv, FILE* out, FILE* err) {
  return MakeMain(argc, argv, out, err, false);
}

Outcome Call(bool make, std::vector<std::string> args) {
  return CallCli(make ? MakeQuietly : InfoMain, std::move(args));
}

// A patch of two groups: a patched file with a hole and two sources, a new
// file, a removed one, and a registry entry.
std::string MakeSample(const ScratchDir& dir) {
  std::string big(5000, 'x');
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 % 251);
  std::string big2 = big, big3 = big;
  big2[300] = 1;
  big3[4000] = 2;
  dir.Write("v1/app/a.exe", big);
  dir.Write("v2/app/a.exe", big2);
  dir.Write("v3/app/a.exe", big3);
  dir.Write("v1/app/gone.txt", "g");
  dir.Write("v2/app/gone.txt", "g");
  dir.Write("v3/app/\xE6\x96\xB0.txt", "new");  // 新
  dir.Write("v1/sys/s.dll", "s");
  dir.Write("v2/sys/s.dll", "s");
  dir.Write("v3/sys/s.dll", "s");
  dir.Write("notice.txt", "\xE7\xAC\xAC\xE4\xB8\x80\nsecond");  // 第一
  dir.Write("m.json", R"({"groups": [
    {"folder": "app", "backup": "BK",
     "files": {"a.exe": {"optional": true, "hole": [10, 4],
                         "stamp": "2022-03-04 05:06:08"}},
     "registry": [{"check": {"root": "HKLM", "subkey": "S\\V", "value": "P"},
                   "ops": [{"open": {"root": "HKCU", "subkey": "K"}},
                           {"set": {"name": "n", "type": "REG_DWORD",
                                    "dword": 9}}]}]},
    {"target": "system", "folder": "sys"}]})");
  Outcome m = Call(true, {"--old", dir.Path("v1"), "--old", dir.Path("v2"),
                          "--new", dir.Path("v3"), "-o", dir.Path("p.bin"),
                          "--manifest", dir.Path("m.json"), "--notice",
                          dir.Path("notice.txt")});
  EXPECT_EQ(m.status, 0) << m.err;
  return dir.Path("p.bin");
}

TEST(MakeInfo, ListsGroupsEntriesSourcesAndTotals) {
  ScratchDir dir;
  std::string patch = MakeSample(dir);
  Outcome r = Call(false, {patch});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {
           "notice: 11 bytes\n  \xE7\xAC\xAC\xE4\xB8\x80\n  second\n",
           "group 0: chosen folder, backup folder \"BK\", 4 entries\n",
           "  patched  a.exe: 5000 bytes, CRC ",
           ", stamp 2022-03-04 05:06:08, flags holes,optional, hole 10+4\n",
           "    source 1: (entry name), 5000 bytes, CRC ",
           "    source 2: (entry name), 5000 bytes, CRC ",
           "  removed  gone.txt\n",
           "  new      \xE6\x96\xB0.txt: 3 bytes, stamp ",
           "  registry ",
           "check HKLM\\S\\V \"P\"\n    open HKCU\\K\n    set \"n\" REG_DWORD 9\n",
           "group 1: System folder, backup folder \"BACKUP\", 0 entries\n",
           "totals: 2 groups, 1 patched (2 sources), 1 new, 1 removed, "
           "1 registry; delta streams ",
       })
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(r.out.find("problem:"), std::string::npos) << r.out;
}

TEST(MakeInfo, JsonHoldsTheSameFacts) {
  ScratchDir dir;
  std::string patch = MakeSample(dir);
  Outcome r = Call(false, {patch, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  maker::Json j = maker::ParseJson(r.out);
  EXPECT_EQ(j.Find("notice")->text, "\xE7\xAC\xAC\xE4\xB8\x80\nsecond");
  EXPECT_EQ(j.Find("description")->kind, maker::Json::kNull);
  const maker::Json& groups = *j.Find("groups");
  ASSERT_EQ(groups.items.size(), 2u);
  const maker::Json& entries = *groups.items[0].Find("entries");
  ASSERT_EQ(entries.items.size(), 4u);
  const maker::Json& a = entries.items[0];
  EXPECT_EQ(a.Find("name")->text, "a.exe");
  EXPECT_TRUE(a.Find("optional")->b);
  EXPECT_EQ(a.Find("hole")->items[0].integer, 10);
  ASSERT_EQ(a.Find("sources")->items.size(), 2u);
  const maker::Json& src = a.Find("sources")->items[1];
  EXPECT_EQ(src.Find("size")->integer, 5000);
  EXPECT_EQ(src.Find("streams")->items.size(), 5u);
  EXPECT_EQ(entries.items[3].Find("kind")->text, "registry");
  EXPECT_EQ(entries.items[3].Find("ops")->items[1].Find("data")->text,
            "09000000");
  EXPECT_EQ(groups.items[1].Find("kind")->integer, 3);
  EXPECT_EQ(j.Find("totals")->Find("sources")->integer, 2);
  EXPECT_EQ(j.Find("problem")->kind, maker::Json::kNull);
  // The JSON form takes no other argument.
  EXPECT_EQ(Call(false, {patch, "--json", "--json"}).status, 2);
}

TEST(MakeInfo, ACutPayloadIsDescribedUpToTheCut) {
  ScratchDir dir;
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRemoved("one.txt");
  b.AddRawEntry("\x02\x09new");  // stops inside the name
  b.OmitGroupEnd();
  writer::Bytes file = writer::WriteContainer(b.BuildBytes(), {});
  dir.Write("cut.bin", std::string(file.begin(), file.end()));
  Outcome r = Call(false, {dir.Path("cut.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  removed  one.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("problem: the payload ends inside an entry name"),
            std::string::npos)
      << r.out;

  writer::PayloadBuilder k;
  k.ChosenFolderGroup("BAK");
  k.AddRawEntry("\x04");
  file = writer::WriteContainer(k.BuildBytes(), {});
  dir.Write("kind4.bin", std::string(file.begin(), file.end()));
  r = Call(false, {dir.Path("kind4.bin")});
  EXPECT_NE(r.out.find("problem: entry kind 4 at payload position 6 is not "
                       "one the applier knows"),
            std::string::npos)
      << r.out;
}

// A registry script that breaks off inside its stated length is the
// entry's damage, not the payload's end: the applier steps over the script
// by its length, so the entries after it are listed too.
TEST(MakeInfo, ADamagedScriptIsListedAndTheWalkGoesOn) {
  ScratchDir dir;
  std::string script;
  writer::AppendLe32(&script, 0x80000001u);
  script += std::string("\x03Key\x01V", 6);
  script += std::string(5, '\0');
  script += std::string("\x02\x01n", 3);  // set "n": type, length, data
  writer::AppendLe32(&script, 4);
  writer::AppendLe32(&script, 4);
  script += "\x09";  // one byte of the four
  std::string entry = "\x05";
  writer::AppendLe32(&entry, (uint32_t)script.size());
  entry += script;
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRawEntry(entry);
  b.AddRemoved("after.txt");
  writer::Bytes file = writer::WriteContainer(b.BuildBytes(), {});
  dir.Write("p.bin", std::string(file.begin(), file.end()));

  Outcome r = Call(false, {dir.Path("p.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected_lines[] = {
      "chosen folder, backup folder \"BAK\", 2 entries\n",
      "  registry " + std::to_string(script.size()) + " bytes: check HKCU\\Key \"V\"\n",
      "    damaged: the script ends inside a set-value operation; the registry "
      "pass would fail (1)\n",
      "  removed  after.txt\n",
      "1 removed, 1 registry",
  };
  for (const std::string& line : expected_lines)
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
  EXPECT_EQ(r.out.find("problem:"), std::string::npos) << r.out;

  Outcome j = Call(false, {dir.Path("p.bin"), "--json"});
  ASSERT_EQ(j.status, 0) << j.err;
  maker::Json doc = maker::ParseJson(j.out);
  const std::vector<maker::Json>& entries =
      doc.Find("groups")->items[0].Find("entries")->items;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Find("script_problem")->text,
            "the script ends inside a set-value operation");
  EXPECT_EQ(entries[0].Find("ops")->items.size(), 0u);
  EXPECT_EQ(entries[1].Find("name")->text, "after.txt");
  EXPECT_EQ(doc.Find("problem")->kind, maker::Json::kNull);
}

}  // namespace
