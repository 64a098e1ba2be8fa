// The target-group reader: resolving each kind of group, where each body
// begins, several groups, and what it refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include "platform/posix_hooks.h"
#endif

#include "payload/target_groups.h"
#include "support/fault_platform.h"
#include "support/payload_fixture.h"
#include "support/scratch_dir.h"

using writer::PayloadBuilder;
using writer::PayloadLayout;

namespace {

std::string S(const Str& s) { return std::string(s.s, (size_t)s.len); }

class TargetGroupsTest : public testing::Test {
 protected:
  void SetUp() override { RemoveTestRegistryKey(); }
  void TearDown() override {
    RemoveTestRegistryKey();
#ifndef _WIN32
    PosixResetSettings();
#endif
  }
  Session* s() { return ps.s(); }
  MsgCode Read(const PayloadBuilder& b) {
    EXPECT_TRUE(ps.Load(b, &at));
    return ReadTargetGroups(s());
  }
  std::string Key(const std::string& sub = "") const {
    return sub.empty() ? std::string(kTestRegistryKey)
                       : std::string(kTestRegistryKey) + "\\" + sub;
  }

  ScratchDir dir;
  PayloadSession ps;
  PayloadLayout at;
};

TEST_F(TargetGroupsTest, OneChosenFolderGroupKeepsAFolderAsGiven) {
  PayloadBuilder b;
  b.SetTexts("a notice", "and a description");
  b.ChosenFolderGroup("BAK");
  ps.SetChosenFolder(".\\");
  ASSERT_EQ(Read(b), kOk);
  EXPECT_EQ(s()->groups.last, 0);
  EXPECT_EQ(S(s()->groups.folder[0]), ".\\");
  EXPECT_EQ(S(s()->target_folder), ".\\");
  EXPECT_EQ(s()->groups.body_pos[0], 8u + 17u + 2u);
  EXPECT_EQ(ps.folders_shown, std::vector<std::string>{".\\"});
}

// A chosen folder may come from the file dialog, naming a file.
TEST_F(TargetGroupsTest, ChosenFolderNamingAFileGivesItsFolder) {
  dir.Write("app/prog.exe", "MZ");
  const std::string root = dir.path();
  struct Case {
    std::string chosen;
    std::string folder;
  };
  const Case cases[] = {
      {root + "\\app\\prog.exe", root + "\\app\\"},
      {root + "/app/prog.exe", root + "/app/"},
      {root + "\\app/prog.exe", root + "\\app/"},
      {root + "\\app", root + "\\app"},                  // a folder: as is
      {root + "\\app\\", root + "\\app\\"},
      {root + "\\app\\missing.exe", root + "\\app\\missing.exe"},
  };
  for (const Case& c : cases) {
    PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    ps.SetChosenFolder(c.chosen);
    ASSERT_EQ(Read(b), kOk) << c.chosen;
    EXPECT_EQ(S(s()->groups.folder[0]), c.folder) << c.chosen;
  }
}

TEST_F(TargetGroupsTest, BareFileNameInTheCurrentFolderGivesDot) {
  dir.Write("prog.exe", "MZ");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  ps.SetChosenFolder("prog.exe");
  MsgCode rc = Read(b);
  std::string folder = S(s()->groups.folder[0]);
  std::filesystem::current_path(before);
  EXPECT_EQ(rc, kOk);
  EXPECT_EQ(folder, ".");
}

TEST_F(TargetGroupsTest, RegistryValueNamesTheFolder) {
  dir.Write("Program Files/App/app.exe", "MZ");
  const std::string exe = dir.path() + "\\Program Files\\App\\app.exe";
  const std::string nul(1, '\0');
  ASSERT_TRUE(SeedRegistryValue("App", "Path", kRegSz, "C:\\Apps\\Tool" + nul));
  ASSERT_TRUE(SeedRegistryValue("App", "Exe", kRegSz, exe + nul));
  ASSERT_TRUE(SeedRegistryValue("App", "", kRegSz, "D:\\Default" + nul));
  ASSERT_TRUE(SeedRegistryValue("App", "Expand", kRegExpandSz,
                                "E:\\x" + nul + "junk"));
  ASSERT_TRUE(SeedRegistryValue("App", "Binary", kRegBinary, "F:\\bin"));
  const std::string longest(kFolderBufferSize - 1, 'L');
  ASSERT_TRUE(SeedRegistryValue("App", "Longest", kRegSz, longest + nul));
  struct Case {
    std::string value_name;
    std::string folder;
  };
  const Case cases[] = {
      {"Path", "C:\\Apps\\Tool"},
      {"path", "C:\\Apps\\Tool"},  // value names ignore case
      {"Exe", dir.path() + "\\Program Files\\App\\"},
      {"", "D:\\Default"},        // the key's default value
      {"Expand", "E:\\x"},        // up to the first NUL, type not looked at
      {"Binary", "F:\\bin"},
      {"Longest", longest},
  };
  for (const Case& c : cases) {
    PayloadBuilder b;
    b.SetTexts("n", "");
    b.RegistryGroup(kHkeyCurrentUser, Key("App"), c.value_name, "BAK");
    ASSERT_EQ(Read(b), kOk) << c.value_name;
    EXPECT_EQ(S(s()->groups.folder[0]), c.folder) << c.value_name;
    EXPECT_EQ(ps.folders_shown.back(), c.folder);
    // The body begins after the registry fields.
    const uint32_t body =
        1 + 2 + 4 + (1 + (uint32_t)Key("App").size()) +
        (1 + (uint32_t)c.value_name.size());
    EXPECT_EQ(s()->groups.body_pos[0], body) << c.value_name;
  }
}

TEST_F(TargetGroupsTest, MissingEmptyOrOverlongRegistryValueGives40) {
  const std::string nul(1, '\0');
  ASSERT_TRUE(SeedRegistryValue("App", "Empty", kRegSz, nul));
  ASSERT_TRUE(SeedRegistryValue("App", "NoBytes", kRegSz, ""));
  ASSERT_TRUE(SeedRegistryValue("App", "NulFirst", kRegBinary,
                                nul + "C:\\after"));
  ASSERT_TRUE(SeedRegistryValue("App", "TooLong", kRegSz,
                                std::string(kFolderBufferSize, 'x') + nul));
  struct Case {
    std::string key;
    std::string value_name;
  };
  const Case cases[] = {
      {Key("App"), "Empty"},    {Key("App"), "NoBytes"},
      {Key("App"), "NulFirst"}, {Key("App"), "TooLong"},
      {Key("App"), "Missing"},  {Key("Missing"), "Path"},
  };
  for (const Case& c : cases) {
    PayloadBuilder b;
    b.RegistryGroup(kHkeyCurrentUser, c.key, c.value_name, "BAK");
    ps.folders_shown.clear();
    EXPECT_EQ(Read(b), kMsgRegistryFolder) << c.key << " " << c.value_name;
    EXPECT_EQ(s()->groups.last, -1);
    EXPECT_TRUE(ps.folders_shown.empty());
  }
}

TEST_F(TargetGroupsTest, WindowsAndSystemFoldersAreTakenUnchanged) {
#ifndef _WIN32
  // Even a path naming a file is not cut to its folder for these kinds.
  dir.Write("win/notepad.exe", "MZ");
  PosixSetWindowsFolder((dir.path() + "\\win\\notepad.exe").c_str());
  PosixSetSystemFolder((dir.path() + "\\win\\notepad.exe").c_str());
#endif
  char win[kFolderBufferSize], sys[kFolderBufferSize];
  ASSERT_GT(s()->os->windows_folder(win, sizeof win), 0);
  ASSERT_GT(s()->os->system_folder(sys, sizeof sys), 0);
  PayloadBuilder b;
  b.WindowsFolderGroup("B1");
  b.SystemFolderGroup("B2");
  ASSERT_EQ(Read(b), kOk);
  EXPECT_EQ(s()->groups.last, 1);
  EXPECT_EQ(S(s()->groups.folder[0]), win);
  EXPECT_EQ(S(s()->groups.folder[1]), sys);
  EXPECT_EQ(ps.folders_shown, (std::vector<std::string>{win, sys}));
}

// Each body directly follows its record; the reader steps over a body to
// reach the next record.
TEST_F(TargetGroupsTest, SeveralGroupsEachFollowedByItsBody) {
  const std::string nul(1, '\0');
  ASSERT_TRUE(SeedRegistryValue("", "Dir", kRegSz, "R:\\reg" + nul));
  PayloadBuilder b;
  b.SetTexts("notice", "desc");
  b.ChosenFolderGroup("BAK0");
  writer::PatchedFile p;
  p.name = "a.dll";
  p.flags = kEntryHasHoles;
  p.sources.resize(2);
  p.sources[0].streams[0] = std::string(300, 'c');
  p.sources[1].streams[3] = "insert";
  b.AddPatched(p);
  b.AddNewFile(writer::NewFile{"n.txt", std::string(1000, 'n')});
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, "k", "v"));
  b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Dir", "BAK1");
  b.AddRemoved("r.txt");
  b.WindowsFolderGroup("BAK2");  // no entries
  b.ChosenFolderGroup("BAK3");
  b.AddRemoved("x");
  ps.SetChosenFolder("C:\\chosen");
  ASSERT_EQ(Read(b), kOk);
  char win[kFolderBufferSize];
  s()->os->windows_folder(win, sizeof win);

  EXPECT_EQ(s()->groups.last, 3);
  for (int g = 0; g < 4; g++)
    EXPECT_EQ(s()->groups.body_pos[g], at.body_pos[g]) << g;
  EXPECT_EQ(S(s()->groups.folder[0]), "C:\\chosen");
  EXPECT_EQ(S(s()->groups.folder[1]), "R:\\reg");
  EXPECT_EQ(S(s()->groups.folder[2]), win);
  EXPECT_EQ(S(s()->groups.folder[3]), "C:\\chosen");
  EXPECT_EQ(ps.folders_shown,
            (std::vector<std::string>{"C:\\chosen", "R:\\reg", win,
                                      "C:\\chosen"}));
  // The last folder resolved stays the current one, as the folder field
  // shows it.
  EXPECT_EQ(S(s()->target_folder), "C:\\chosen");
  // Entries are numbered across the groups.
  const int32_t first[] = {0, 3, 4, 4};
  for (int g = 0; g < 4; g++)
    EXPECT_EQ(s()->groups.first_ordinal[g], first[g]) << g;
}

TEST_F(TargetGroupsTest, TwentyGroupsAtMost) {
  for (int count : {20, 21}) {
    PayloadBuilder b;
    for (int g = 0; g < count; g++) {
      b.ChosenFolderGroup("BAK" + std::to_string(g));
      b.AddRemoved("f" + std::to_string(g));
    }
    EXPECT_EQ(Read(b), count == 20 ? kOk : kMsgBroken) << count;
    EXPECT_EQ(s()->groups.last, 19) << count;
  }
}

// The reader fails with the runner's codes for a damaged body it steps
// over, so a payload that cannot be walked is refused before any pass.
TEST_F(TargetGroupsTest, DamagedRecordsAndSteppedOverBodiesAreRefused) {
  struct Case {
    const char* what;
    MsgCode code;
    int last;  // groups resolved before the failure
    void (*build)(PayloadBuilder* b);
  };
  const Case cases[] = {
      {"group kind 4", kMsgBroken, -1,
       [](PayloadBuilder* b) { b->RawGroup(4, "", "BAK"); }},
      {"group kind 255 after a good group", kMsgBroken, 0,
       [](PayloadBuilder* b) {
         b->ChosenFolderGroup("BAK");
         b->RawGroup(255, "", "BAK");
       }},
      {"no group at all", kMsgBroken, -1, [](PayloadBuilder*) {}},
      {"registry fields cut", kMsgBroken, -1,
       [](PayloadBuilder* b) {
         b->RawGroup(kGroupRegistryValue,
                     std::string("\x01\x00\x00\x80\x05" "ab", 7), "");
         b->SetRawBody("");
       }},
      {"more-groups flag on the last group", kMsgBroken, 0,
       [](PayloadBuilder* b) {
         b->ChosenFolderGroup("BAK");
         b->SetGroupFlags(kGroupMoreGroups);
       }},
      {"entry kind 4 in a body stepped over", kMsgStructure, 0,
       [](PayloadBuilder* b) {
         b->ChosenFolderGroup("BAK");
         b->AddRawEntry(std::string(1, '\x04'));
         b->ChosenFolderGroup("BAK");
       }},
      {"entry name leaving the folder in a body stepped over", kMsgStructure,
       0,
       [](PayloadBuilder* b) {
         b->ChosenFolderGroup("BAK");
         b->AddRemoved("..\\evil.dll");
         b->ChosenFolderGroup("BAK");
       }},
      {"backup folder name leaving the folder in a body stepped over",
       kMsgBroken, 0,
       [](PayloadBuilder* b) {
         b->ChosenFolderGroup("..\\..\\BAK");
         b->ChosenFolderGroup("BAK");
       }},
  };
  for (const Case& c : cases) {
    PayloadBuilder b;
    c.build(&b);
    EXPECT_EQ(Read(b), c.code) << c.what;
    EXPECT_EQ(s()->groups.last, c.last) << c.what;
  }
}

// Flag bits other than more-groups mean nothing.
TEST_F(TargetGroupsTest, OtherGroupFlagBitsAreIgnored) {
  PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.SetGroupFlags(0xFD);  // every bit but more-groups
  ASSERT_EQ(Read(b), kOk);
  EXPECT_EQ(s()->groups.last, 0);
}

// What the system fails to give is refused, never taken as an empty or
// stale folder; an opened key is closed whatever the query gives.
TEST(TargetGroupsFaults, FailingSystemCallsAreRefused) {
  RemoveTestRegistryKey();
  const std::string nul(1, '\0');
  ASSERT_TRUE(SeedRegistryValue("", "Dir", kRegSz, "C:\\x" + nul));
  struct Case {
    const char* what;
    FaultOp op;
    uint8_t kind;
    MsgCode code;
    int closes;
  };
  const Case cases[] = {
      {"Windows folder", kFaultWindowsFolder, kGroupWindowsFolder,
       kMsgRegistryFolder, 0},
      {"System folder", kFaultSystemFolder, kGroupSystemFolder,
       kMsgRegistryFolder, 0},
      {"registry open", kFaultRegOpen, kGroupRegistryValue,
       kMsgRegistryFolder, 0},
      {"registry query", kFaultRegQuery, kGroupRegistryValue,
       kMsgRegistryFolder, 1},
      {"payload read", kFaultRead, kGroupChosenFolder, kMsgBroken, 0},
  };
  for (const Case& c : cases) {
    FaultPlatform fault;
    PayloadSession ps(fault.os());
    PayloadBuilder b;
    if (c.kind == kGroupRegistryValue)
      b.RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Dir", "BAK");
    else
      b.RawGroup(c.kind, "", "BAK");
    ASSERT_TRUE(ps.Load(b));
    fault.Reset();
    fault.FailCall(c.op, 1);
    EXPECT_EQ(ReadTargetGroups(ps.s()), c.code) << c.what;
    EXPECT_EQ(ps.s()->groups.last, -1) << c.what;
    EXPECT_TRUE(ps.folders_shown.empty()) << c.what;
    EXPECT_EQ(fault.Calls(kFaultRegClose), c.closes) << c.what;
  }
  RemoveTestRegistryKey();
}

// Which paths name files is decided by a table that knows a few names, so
// that Big5 names are cut the same way whatever code page the system runs.
const std::vector<std::string>* g_known_files;

PlatformFile OpenKnownFile(const char* path, OpenMode mode) {
  if (mode != kOpenForReading) return 0;
  for (const std::string& f : *g_known_files)
    if (f == path) return (PlatformFile)1;
  return 0;
}

void CloseKnownFile(PlatformFile) {}

// Big5 names whose trail byte is 0x5C (許 B3 5C, 功 A5 5C, 蓋 BB 5C): the
// folder part ends at the last separator that is a character of its own.
TEST(NormaliseTargetFolder, CutsAtTheLastSeparatorNotAtATrailByte) {
  const std::vector<std::string> files = {
      "C:\\App\\\xA5\x5C",       // a file named 功
      "C:\\\xB3\x5C\\app.exe",   // in a folder named 許
      "D:/\xB3\x5C/\xBB\x5C",
      "\xBB\x5C",                 // 蓋 in the current folder
      "\xB3\x5C\xA5\x5C.exe",
  };
  struct Case {
    std::string path;
    std::string folder;
  };
  const Case cases[] = {
      {files[0], "C:\\App\\"},
      {files[1], "C:\\\xB3\x5C\\"},
      {files[2], "D:/\xB3\x5C/"},
      {files[3], "."},
      {files[4], "."},
      // Folders (not files) stay as they are, trail byte and all.
      {"C:\\App\\\xB3\x5C", "C:\\App\\\xB3\x5C"},
  };
  g_known_files = &files;
  Platform table = {};
  table.open_file = OpenKnownFile;
  table.close = CloseKnownFile;
  static Session s;
  SessionInit(&s, &table);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.path));
    Str path, out;
    StrSet(&path, c.path.data(), (int32_t)c.path.size());
    NormaliseTargetFolder(&s, &path, &out);
    EXPECT_EQ(S(out), c.folder);
  }
  g_known_files = nullptr;
}

}  // namespace
