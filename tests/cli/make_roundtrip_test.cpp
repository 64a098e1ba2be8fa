// selfpatch make, then selfpatch apply on a copy of an old version: the
// folder must end up as the new version, byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <utime.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli/cmd_apply.h"
#include "cli/cmd_make.h"
#include "platform/posix_hooks.h"
#include "support/cli_call.h"
#include "support/scratch_dir.h"

namespace {

int MakeQuietly(int argc, char** argv, FILE* out, FILE* err) {
  return MakeMain(argc, argv, out, err, false);
}

Outcome Make(std::vector<std::string> args) {
  return CallCli(MakeQuietly, std::move(args));
}
Outcome Apply(std::vector<std::string> args) {
  return CallCli(ApplyMain, std::move(args));
}

typedef std::map<std::string, std::string> Files;

// Writes the files below `root` of the scratch folder.
void Put(const ScratchDir& dir, const std::string& root, const Files& files) {
  for (const auto& f : files) dir.Write(root + "/" + f.first, f.second);
}

// The files below `root` (relative names), leaving out the backup folder
// the apply run fills.
Files Get(const ScratchDir& dir, const std::string& root,
          const std::string& backup = "BACKUP") {
  Files out;
  std::string prefix = root + "/";
  for (const auto& e : dir.Snapshot()) {
    if (e.first.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rel = e.first.substr(prefix.size());
    if (rel.empty() || rel.back() == '/') continue;
    if (rel.compare(0, backup.size() + 1, backup + "/") == 0) continue;
    out[rel] = e.second;
  }
  return out;
}

std::string Pseudo(size_t n, uint32_t seed) {
  std::string s(n, 0);
  for (char& c : s) {
    seed = seed * 1664525 + 1013904223;
    c = (char)(seed >> 24);
  }
  return s;
}

// A "new version" of bytes: some changed, some inserted.
std::string Edited(std::string s, uint32_t seed) {
  if (s.size() < 100) return s + "+";
  for (size_t i = seed % 50; i < s.size(); i += 331) s[i] = (char)(s[i] + 3);
  s.insert(s.size() / 2, Pseudo(40, seed));
  return s;
}

// Applies the patch to a copy of `version` and checks the result is `want`.
void ExpectApplies(const ScratchDir& dir, const std::string& patch,
                   const Files& version, const Files& want,
                   const std::string& where) {
  Put(dir, where, version);
  Outcome a = Apply({patch, dir.Path(where)});
  EXPECT_EQ(a.status, 0) << where << "\n" << a.out << a.err;
  EXPECT_EQ(Get(dir, where), want) << where << "\n" << a.out;
}

const char kTrail[] = "\xE8\xA8\xB1\xE5\x8A\x9F";  // 許功: 0x5C trail bytes

TEST(MakeRoundTrip, EveryKindOfEntry) {
  ScratchDir dir;
  std::string code = Pseudo(30000, 1);
  Files v1 = {
      {"a.txt", "first version of a"},
      {"same.txt", "never changes"},
      {"gone.txt", "removed by the patch"},
      {"sub/deep/" + std::string(kTrail) + ".dat", code},
      {"empty_to_full", ""},
      {"full_to_empty", "something"},
      {"stays_empty", ""},
  };
  Files v2 = v1;
  v2["a.txt"] = "second version of a, longer";
  v2.erase("gone.txt");
  v2["sub/deep/" + std::string(kTrail) + ".dat"] = Edited(code, 2);
  v2["empty_to_full"] = "now it has bytes";
  v2["full_to_empty"] = "";
  v2["added.bin"] = Pseudo(5000, 3);
  v2["sub/\xE6\x96\xB0\xE6\xAA\x94.txt"] = "new file in a subfolder";  // 新檔
  v2["new_empty"] = "";
  Put(dir, "v1", v1);
  Put(dir, "v2", v2);
  Outcome m = Make({"--old", dir.Path("v1"), "--new", dir.Path("v2"), "-o",
                    dir.Path("p.bin"), "--jobs", "2"});
  ASSERT_EQ(m.status, 0) << m.err;
  EXPECT_NE(m.out.find("4 patched (4 sources), 3 new, 1 removed, 0 registry, "
                       "2 unchanged"),
            std::string::npos)
      << m.out;
  ExpectApplies(dir, dir.Path("p.bin"), v1, v2, "target");
  // The removed file went to the backup folder, not away.
  EXPECT_EQ(dir.Read("target/BACKUP/gone.txt"), "removed by the patch");
}

TEST(MakeRoundTrip, ChainsOfVersions) {
  ScratchDir dir;
  std::string base = Pseudo(20000, 7);
  Files v1 = {{"app.dll", base},
              {"cfg.ini", "A"},
              {"lib.dll", "old lib"},
              {"late.txt", "x"}};
  Files v2 = {{"app.dll", Edited(base, 8)},
              {"cfg.ini", "B"},  // comes back to A in v3
              {"lib.dll", "old lib"},
              {"late.txt", "x"}};
  Files v3 = {{"app.dll", Edited(Edited(base, 8), 9)},
              {"cfg.ini", "A"},
              {"lib.dll", "new lib"},  // already what the new version has
              {"late.txt", "x"}};
  Files now = {{"app.dll", Edited(Edited(Edited(base, 8), 9), 10)},
               {"cfg.ini", "C"},
               {"lib.dll", "new lib"},
               {"late.txt", "y"}};
  Put(dir, "v1", v1);
  Put(dir, "v2", v2);
  Put(dir, "v3", v3);
  Put(dir, "now", now);
  Outcome m = Make({"--old", dir.Path("v1"), "--old", dir.Path("v2"), "--old",
                    dir.Path("v3"), "--new", dir.Path("now"), "-o",
                    dir.Path("p.bin")});
  ASSERT_EQ(m.status, 0) << m.err;
  // app.dll: 3 sources; cfg.ini: B then A (A taken where it last occurs);
  // lib.dll: only "old lib"; late.txt: one, "x" in every version.
  EXPECT_NE(m.out.find("4 patched (7 sources)"), std::string::npos) << m.out;
  int k = 0;
  for (const Files* v : {&v1, &v2, &v3, &now})
    ExpectApplies(dir, dir.Path("p.bin"), *v, now, "t" + std::to_string(k++));
}

// The three libssl3 versions of the benchmark corpus, when it is there.
TEST(MakeRoundTrip, LibsslChainFromTheCorpus) {
  const char* home = getenv("HOME");
  std::string cache = getenv("SELFPATCH_CORPUS")
                          ? getenv("SELFPATCH_CORPUS")
                          : std::string(home ? home : "") +
                                "/.cache/selfpatch-corpus";
  std::vector<std::string> versions = {"1-3.0.17-1~deb12u2",
                                        "2-3.0.20-1~deb12u2",
                                        "3-3.0.22-1~deb12u2"};
  struct stat st;
  for (const std::string& v : versions)
    if (stat((cache + "/libssl3/" + v + "/libssl.so.3").c_str(), &st) != 0)
      GTEST_SKIP() << "corpus not fetched (bench/fetch_corpus.sh)";
  ScratchDir dir;
  std::vector<Files> trees;
  for (size_t i = 0; i < versions.size(); i++) {
    FILE* f = fopen((cache + "/libssl3/" + versions[i] + "/libssl.so.3").c_str(),
                    "rb");
    ASSERT_TRUE(f);
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    trees.push_back({{"libssl.so.3", bytes}});
    Put(dir, "v" + std::to_string(i), trees.back());
  }
  Outcome m = Make({"--old", dir.Path("v0"), "--old", dir.Path("v1"), "--new",
                    dir.Path("v2"), "-o", dir.Path("p.bin")});
  ASSERT_EQ(m.status, 0) << m.err;
  ExpectApplies(dir, dir.Path("p.bin"), trees[0], trees[2], "t0");
  ExpectApplies(dir, dir.Path("p.bin"), trees[1], trees[2], "t1");
}

TEST(MakeRoundTrip, AThousandSmallFiles) {
  ScratchDir dir;
  Files v1, v2;
  for (int i = 0; i < 1000; i++) {
    std::string name = "d" + std::to_string(i % 10) + "/f" + std::to_string(i);
    std::string body = "file " + std::to_string(i) + Pseudo(50 + i % 200, i);
    if (i % 7 != 3) v1[name] = body;  // every seventh is new
    if (i % 11 == 5) continue;        // every eleventh goes away
    v2[name] = i % 3 == 0 ? Edited(body, i) : body;
  }
  Put(dir, "v1", v1);
  Put(dir, "v2", v2);
  Outcome m = Make({"--old", dir.Path("v1"), "--new", dir.Path("v2"), "-o",
                    dir.Path("p.bin")});
  ASSERT_EQ(m.status, 0) << m.err;
  ExpectApplies(dir, dir.Path("p.bin"), v1, v2, "t");
}

TEST(MakeRoundTrip, AFileOverSixteenMebibytes) {
  // The tail moved to the front: copy offsets of four bytes.
  ScratchDir dir;
  std::string old_bytes = Pseudo((17u << 20) + 5, 21);
  std::string new_bytes = old_bytes.substr(old_bytes.size() - 70000) +
                          old_bytes.substr(0, old_bytes.size() - 70000);
  new_bytes[1000000] ^= 1;
  Put(dir, "v1", {{"big.bin", old_bytes}});
  Put(dir, "v2", {{"big.bin", new_bytes}});
  Outcome m = Make({"--old", dir.Path("v1"), "--new", dir.Path("v2"), "-o",
                    dir.Path("p.bin"), "--level", "1"});
  ASSERT_EQ(m.status, 0) << m.err;
  ExpectApplies(dir, dir.Path("p.bin"), {{"big.bin", old_bytes}},
                {{"big.bin", new_bytes}}, "t");
}

// Groups of every kind, per-file flags, a CRC hole, stamps and a registry
// script, all from the manifest.
TEST(MakeRoundTrip, ManifestGroupsFlagsHolesStampsAndRegistry) {
  ScratchDir dir;
  std::string exe = Pseudo(8000, 31);
  std::string exe_new = Edited(exe, 32);
  // A serial number at 100..115 that differs on every machine.
  std::string serial_a(16, 'A'), serial_b(16, 'B');
  Files v1 = {{"app/main.exe", exe.substr(0, 100) + serial_a + exe.substr(116)},
              {"app/opt.dll", "optional old"},
              {"app/quiet.dll", "quiet old"},
              {"app/stamped.txt", "old"},
              {"reg/plugin.dll", "plugin old"},
              {"win/system.ini", "[old]"}};
  Files v2 = v1;
  v2["app/main.exe"] = exe_new.substr(0, 100) + serial_a + exe_new.substr(116);
  v2["app/opt.dll"] = "optional new";
  v2["app/quiet.dll"] = "quiet new";
  v2["app/stamped.txt"] = "new";
  v2["reg/plugin.dll"] = "plugin new";
  v2["win/system.ini"] = "[new]";
  Put(dir, "v1", v1);
  Put(dir, "v2", v2);
  dir.Write("m.json", R"({
    "backup": "OLD",
    "groups": [
      {"folder": "app", "files": {
        "main.exe": {"hole": [100, 16]},
        "opt.dll": {"optional": true},
        "quiet.dll": {"optional": true, "quiet": true},
        "stamped.txt": {"stamp": "2020-01-02 03:04:06"}},
       "registry": [{"check": {"root": "HKLM", "subkey": "SOFTWARE\\V",
                               "value": "Path"},
                     "ops": [{"open": {"root": "HKLM", "subkey": "SOFTWARE\\V"}},
                             {"set": {"name": "Version", "type": "REG_SZ",
                                      "string": "二.0"}},
                             {"set": {"name": "Build", "type": "REG_DWORD",
                                      "dword": 42}}]}]},
      {"target": "registry", "root": "HKLM", "subkey": "SOFTWARE\\V",
       "value": "Path", "folder": "reg", "backup": "BK"},
      {"target": "windows", "folder": "win"}
    ]})");
  Outcome m = Make({"--old", dir.Path("v1"), "--new", dir.Path("v2"), "-o",
                    dir.Path("p.bin"), "--manifest", dir.Path("m.json")});
  ASSERT_EQ(m.status, 0) << m.err;

  // The machine: the application folder (with the other serial number and
  // without the two optional files), the plugin folder named by the
  // registry, and the Windows folder.
  dir.Write("pc/app/main.exe", exe.substr(0, 100) + serial_b + exe.substr(116));
  dir.Write("pc/app/stamped.txt", "old");
  dir.Write("pc/plugins/plugin.dll", "plugin old");
  dir.Write("pc/windows/system.ini", "[old]");
  std::string plugins = dir.Path("pc/plugins");
  std::string escaped;
  for (char c : plugins) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  dir.Write("pc/reg.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n"
                          "\"Path\"=\"" + escaped + "\"\r\n");
  PosixSetWindowsFolder(dir.Path("pc/windows").c_str());
  Outcome a = Apply({dir.Path("p.bin"), dir.Path("pc/app"), "--registry",
                     dir.Path("pc/reg.reg")});
  PosixSetWindowsFolder(nullptr);
  EXPECT_EQ(a.status, 0) << a.out << a.err;

  // The hole kept this machine's serial number; everything else is new.
  EXPECT_EQ(dir.Read("pc/app/main.exe"),
            exe_new.substr(0, 100) + serial_b + exe_new.substr(116));
  EXPECT_EQ(dir.Read("pc/plugins/plugin.dll"), "plugin new");
  EXPECT_EQ(dir.Read("pc/windows/system.ini"), "[new]");
  EXPECT_FALSE(dir.Exists("pc/app/opt.dll"));
  EXPECT_FALSE(dir.Exists("pc/app/quiet.dll"));
  EXPECT_TRUE(dir.IsFile("pc/app/OLD/stamped.txt"));
  EXPECT_TRUE(dir.IsFile("pc/plugins/BK/plugin.dll"));
  // The optional file warns, the quiet one does not: one warning line.
  size_t warnings = 0;
  for (size_t at = 0; (at = a.out.find("\xE8\xAD\xA6\xE5\x91\x8A!", at)) !=
                      std::string::npos;
       at++)
    warnings++;  // 警告!
  EXPECT_EQ(warnings, 1u) << a.out;

  struct stat st;
  ASSERT_EQ(stat(dir.Path("pc/app/stamped.txt").c_str(), &st), 0);
  struct tm tm;
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year, 120);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_mday, 2);
  EXPECT_EQ(tm.tm_hour, 3);
  EXPECT_EQ(tm.tm_min, 4);
  EXPECT_EQ(tm.tm_sec, 6);

  std::string reg = dir.Read("pc/reg.reg");
  EXPECT_NE(reg.find("\"Version\"=\"\xA4\x47.0\""), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"Build\"=dword:0000002a"), std::string::npos) << reg;
}

TEST(MakeRoundTrip, DefaultStampIsTheNewFileTime) {
  ScratchDir dir;
  Put(dir, "v1", {{"f.txt", "old"}, {"n.txt", "x"}});
  Put(dir, "v2", {{"f.txt", "new"}, {"n.txt", "x"}, {"added.txt", "a"}});
  struct utimbuf when = {1500000000, 1500000000};  // 2017, an even second
  ASSERT_EQ(utime(dir.Path("v2/f.txt").c_str(), &when), 0);
  ASSERT_EQ(utime(dir.Path("v2/added.txt").c_str(), &when), 0);
  Outcome m = Make({"--old", dir.Path("v1"), "--new", dir.Path("v2"), "-o",
                    dir.Path("p.bin")});
  ASSERT_EQ(m.status, 0) << m.err;
  Put(dir, "t", {{"f.txt", "old"}, {"n.txt", "x"}});
  ASSERT_EQ(Apply({dir.Path("p.bin"), dir.Path("t")}).status, 0);
  for (const char* f : {"t/f.txt", "t/added.txt"}) {
    struct stat st;
    ASSERT_EQ(stat(dir.Path(f).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1500000000) << f;
  }
}

TEST(MakeRoundTrip, OutputDependsOnlyOnTheInputs) {
  ScratchDir dir;
  Files v1, v2;
  for (int i = 0; i < 40; i++) {
    std::string body = Pseudo(3000 + 100 * i, i);
    v1["f" + std::to_string(i)] = body;
    v2["f" + std::to_string(i)] = Edited(body, i);
  }
  Put(dir, "v1", v1);
  Put(dir, "v2", v2);
  const std::string stub = "MZ\x90 a stub";
  dir.Write("stub.exe", stub);
  std::vector<std::string> base = {"--old", dir.Path("v1"), "--new",
                                   dir.Path("v2"), "--stub",
                                   dir.Path("stub.exe")};
  struct Variant {
    const char* name;
    std::vector<std::string> extra;
  } variants[] = {
      {"a", {"--jobs", "1"}},
      {"b", {"--jobs", "4"}},
      {"stored", {"--stored"}},
      {"fast", {"--level", "1"}},
      {"zopfli", {"--zopfli", "--jobs", "3"}},
      {"zopfli1", {"--zopfli", "--jobs", "1"}},
  };
  for (const Variant& v : variants) {
    std::vector<std::string> args = base;
    args.push_back("-o");
    args.push_back(dir.Path(std::string(v.name) + ".exe"));
    args.insert(args.end(), v.extra.begin(), v.extra.end());
    Outcome m = Make(args);
    ASSERT_EQ(m.status, 0) << v.name << m.err;
    std::string file = dir.Read(std::string(v.name) + ".exe");
    EXPECT_EQ(file.compare(0, stub.size(), stub), 0) << v.name;
    ExpectApplies(dir, dir.Path(std::string(v.name) + ".exe"), v1, v2,
                  std::string("t_") + v.name);
  }
  EXPECT_EQ(dir.Read("a.exe"), dir.Read("b.exe"));
  EXPECT_EQ(dir.Read("zopfli.exe"), dir.Read("zopfli1.exe"));
  EXPECT_LT(dir.Read("zopfli.exe").size(), dir.Read("stored.exe").size());
}

}  // namespace
