// The fault-injecting wrapper that other tests drive the core with: it must
// fail exactly the calls it is told to and pass every other one through.
#include "support/fault_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace {

TEST(FaultPlatform, FailsTheKthCallOnlyAndCountsEveryCall) {
  ScratchDir dir;
  FaultPlatform fault;
  const Platform* os = fault.os();
  fault.FailCall(kFaultCreateFolder, 2);
  std::vector<bool> made;
  for (const char* name : {"a", "b", "c"})
    made.push_back(os->create_folder(dir.Path(name).c_str()));
  EXPECT_EQ(made, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(dir.IsFolder("a"));
  EXPECT_FALSE(dir.Exists("b"));  // a failed call never reaches the system
  EXPECT_EQ(fault.Calls(kFaultCreateFolder), 3);
  EXPECT_EQ(fault.Calls(kFaultAnyFileOp), 3);
  EXPECT_EQ(fault.Failures(), 1);
}

TEST(FaultPlatform, FailFromAndFailPath) {
  ScratchDir dir;
  dir.Write("app.dll", "x");
  dir.Write("other.dll", "y");
  FaultPlatform fault;
  const Platform* os = fault.os();
  fault.FailPath(kFaultMoveFile, "app.dll");  // a file "in use"
  EXPECT_FALSE(os->move_file(dir.Path("app.dll").c_str(),
                             dir.Path("app.old").c_str()));
  EXPECT_TRUE(os->move_file(dir.Path("other.dll").c_str(),
                            dir.Path("other.old").c_str()));
  EXPECT_TRUE(dir.IsFile("app.dll"));

  fault.FailFrom(kFaultOpenFile, 2);
  PlatformFile f = os->open_file(dir.Path("app.dll").c_str(), kOpenForReading);
  EXPECT_NE(f, nullptr);
  os->close(f);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(os->open_file(dir.Path("app.dll").c_str(), kOpenForReading),
              nullptr);
  EXPECT_EQ(fault.Calls(kFaultClose), 1);

  fault.Reset();
  f = os->open_file(dir.Path("app.dll").c_str(), kOpenForReading);
  EXPECT_NE(f, nullptr);
  os->close(f);
  EXPECT_EQ(fault.Calls(kFaultOpenFile), 1);
  EXPECT_EQ(fault.Failures(), 0);
}

TEST(FaultPlatform, AnyFileOpCountsTheFileOperationsTogether) {
  ScratchDir dir;
  FaultPlatform fault;
  const Platform* os = fault.os();
  fault.Record(true);
  fault.FailCall(kFaultAnyFileOp, 3);
  PlatformFile f = os->open_file(dir.Path("n.bin").c_str(), kCreateNewFile);
  ASSERT_NE(f, nullptr);                               // 1
  EXPECT_TRUE(os->write(f, "abc", 3, nullptr));        // 2
  EXPECT_EQ(os->file_size(f), 3u);                     // not a file op
  EXPECT_FALSE(os->write(f, "def", 3, nullptr));       // 3: fails
  EXPECT_EQ(os->seek(f, 0), 0u);                       // not a file op
  char buf[8];
  int32_t got = 0;
  EXPECT_TRUE(os->read(f, buf, 8, &got));              // 4
  EXPECT_EQ(std::string(buf, got), "abc");
  os->close(f);
  EXPECT_EQ(fault.Calls(kFaultAnyFileOp), 4);
  EXPECT_EQ(fault.log(),
            (std::vector<std::string>{
                "open_file " + dir.Path("n.bin"), "write", "file_size",
                "write !", "seek", "read", "close"}));
}

TEST(FaultPlatform, WriteLimitActsLikeAFullDisk) {
  ScratchDir dir;
  FaultPlatform fault;
  const Platform* os = fault.os();
  fault.LimitWrites(5);
  PlatformFile f = os->open_file(dir.Path("n.bin").c_str(), kCreateNewFile);
  ASSERT_NE(f, nullptr);
  int32_t done = -1;
  EXPECT_TRUE(os->write(f, "abc", 3, &done));
  EXPECT_EQ(done, 3);
  EXPECT_FALSE(os->write(f, "defg", 4, &done));  // only "de" fits
  EXPECT_EQ(done, 2);
  EXPECT_FALSE(os->write(f, "h", 1, &done));
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(os->write(f, "", 0, &done));  // nothing asked, nothing refused
  os->close(f);
  EXPECT_EQ(dir.Read("n.bin"), "abcde");
}

TEST(FaultPlatform, FailedCallsAnswerAsWin32Does) {
  ScratchDir dir;
  dir.Write("f.bin", "x");
  FaultPlatform fault;
  const Platform* os = fault.os();
  for (int op = 0; op < kFaultAnyFileOp; op++)
    fault.FailFrom((FaultOp)op, 1);
  const std::string p = dir.Path("f.bin");
  char buf[64];
  int32_t got = 7;
  RegKey key = 0;
  uint32_t size = sizeof buf;
  EXPECT_EQ(os->open_file(p.c_str(), kOpenForReading), nullptr);
  EXPECT_EQ(os->create_temp_file(), nullptr);
  EXPECT_FALSE(os->read(nullptr, buf, 1, &got));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(os->file_size(nullptr), kInvalidSize);
  EXPECT_EQ(os->seek(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(os->tell(nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(os->get_attributes(p.c_str()), kInvalidAttributes);
  EXPECT_FALSE(os->set_attributes(p.c_str(), kAttrNormal));
  EXPECT_FALSE(os->delete_file(p.c_str()));
  EXPECT_FALSE(os->move_file(p.c_str(), dir.Path("g.bin").c_str()));
  EXPECT_FALSE(os->create_folder(dir.Path("d").c_str()));
  EXPECT_FALSE(os->remove_folder(dir.path().c_str()));
  EXPECT_EQ(os->own_path(buf, sizeof buf), 0);
  EXPECT_EQ(os->windows_folder(buf, sizeof buf), 0);
  EXPECT_EQ(os->system_folder(buf, sizeof buf), 0);
  EXPECT_EQ(os->current_folder(buf, sizeof buf), 0);
  EXPECT_EQ(os->short_path(p.c_str(), buf, sizeof buf), 0);
  EXPECT_FALSE(os->move_at_restart(p.c_str(), dir.Path("g.bin").c_str()));
  EXPECT_FALSE(os->write_profile_string("s", "k", "v", dir.Path("i.ini").c_str()));
  EXPECT_FALSE(os->request_restart());
  EXPECT_FALSE(os->reg_open(kHkeyCurrentUser, "Software", kKeyRead, &key));
  EXPECT_FALSE(os->reg_query(kHkeyCurrentUser, "x", nullptr, buf, &size));
  EXPECT_FALSE(os->reg_set(kHkeyCurrentUser, "x", kRegSz, "", 1));
  EXPECT_NE(os->command_line(), nullptr);  // never fails
  EXPECT_EQ(os->version(), fault.base()->version());
  EXPECT_EQ(dir.Snapshot(), (std::map<std::string, std::string>{{"f.bin", "x"}}));
}

}  // namespace
