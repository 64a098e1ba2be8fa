#include "cli/cmd_info.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "maker/writer/container_writer.h"
#include "messages/codes.h"
#include "support/cli_call.h"
#include "support/scratch_dir.h"

namespace {

using namespace std::string_literals;

Outcome Info(std::vector<std::string> args) {
  return CallCli(InfoMain, std::move(args));
}

// "中文" in code page 950 and in UTF-8.
const std::string kChineseBig5 = "\xa4\xa4\xa4\xe5";
const std::string kChineseUtf8 = "\xe4\xb8\xad\xe6\x96\x87";

writer::Bytes Patch(const std::string& notice, const std::string& description,
                    bool deflate, const std::string& stub = "") {
  writer::ContainerOptions o;
  o.deflate = deflate;
  o.notice_length = (uint16_t)notice.size();
  o.description_length = (uint16_t)description.size();
  std::string payload = notice + description + std::string(3000, 'g');
  return writer::WritePatchFile(writer::ToBytes(stub), writer::ToBytes(payload),
                                o);
}

TEST(InfoCommand, DescribesAContainer) {
  ScratchDir dir;
  std::string notice = kChineseBig5 + "\0second line#%hidden"s;
  std::string description = "first\0"s + kChineseBig5;
  writer::Bytes file = Patch(notice, description, true, "MZ stub bytes");
  dir.Write("p.exe", writer::ToString(file));
  Outcome r = Info({dir.Path("p.exe")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string expected_lines[] = {
      "container: " + std::to_string(file.size() - 13) + " bytes at offset 13\n",
      "payload: " + std::to_string(notice.size() + description.size() + 3000) +
          " bytes, deflated into ",
      "notice: " + std::to_string(notice.size()) + " bytes\n  " + kChineseUtf8 +
          "\n  second line\n",
      "description: " + std::to_string(description.size()) +
          " bytes\n  first\n  " + kChineseUtf8 + "\n",
      "group table: at payload position " +
          std::to_string(notice.size() + description.size()) + "\n",
  };
  for (const std::string& line : expected_lines)
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
  EXPECT_EQ(r.out.find("hidden"), std::string::npos);
}

TEST(InfoCommand, StoredPayloadAndHiddenDescription) {
  ScratchDir dir;
  dir.Write("p.exe", writer::ToString(Patch("N", "", false)));
  Outcome r = Info({dir.Path("p.exe")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("payload: 3001 bytes, stored\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("description: 0 bytes (pane hidden)\n"),
            std::string::npos)
      << r.out;
}

// Failures exit with the message code and its text, in UTF-8, on stderr.
TEST(InfoCommand, FailuresExitWithTheMessageCode) {
  ScratchDir dir;
  dir.Write("plain.txt", std::string(200, 'x'));
  writer::ContainerOptions o;
  o.deflate = false;
  o.notice_length = 500;  // more than the payload holds
  dir.Write("short.exe",
            writer::ToString(writer::WriteContainer(writer::ToBytes("abc"), o)));
  struct Case {
    std::string file;
    int status;
    std::string text;  // part of the message, UTF-8
  };
  const Case cases[] = {
      {"missing.exe", kMsgCannotOpenSelf, "無法開啟更新程式檔案"},
      {"plain.txt", kMsgNotAPatch, "不是一個更新程式檔案"},
      {"short.exe", kMsgNoPatch, "裡面沒有更新檔案"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Outcome r = Info({dir.Path(c.file)});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir.Path(c.file)), std::string::npos) << r.err;
  }
}

TEST(InfoCommand, Usage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"a", "b"}, {"--bogus"}}) {
    Outcome r = Info(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
}

}  // namespace
