#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(ReadCommandLine, Cases) {
  struct Case {
    std::string line;
    bool ok;             // false: the usage box is due
    std::string folder;  // the chosen folder when ok
  } cases[] = {
      // The program's name alone, as shells pass it.
      {"patch.exe", true, "."},
      {"\"C:\\Program Files\\patch.exe\"", true, "."},
      {"\"C:\\Program Files\\patch.exe\"   ", true, "."},
      {"", true, "."},
      // One folder argument.
      {"patch.exe D:\\Game", true, "D:\\Game"},
      {"patch.exe    D:\\Game   ", true, "D:\\Game"},
      {"\"C:\\My Tools\\patch.exe\" \"D:\\My Game\"", true, "D:\\My Game"},
      {"patch.exe D:\\\"My Game\"\\Data", true, "D:\\My Game\\Data"},
      {"patch.exe \"\"D:\\Game", true, "D:\\Game"},
      {"patch.exe\tD:\\Game", true, "."},  // a tab joins; one token
      {"patch.exe D:\\A\tB", true, "D:\\A\tB"},
      {"patch.exe -H", true, "-H"},
      {"patch.exe -hx", true, "-hx"},
      {"patch.exe \"\"", true, "."},
      // A quote left open drops its token, whatever it holds.
      {"patch.exe \"D:\\My Game", true, "."},
      {"patch.exe D:\\Game \"E:\\Other", true, "D:\\Game"},
      {"patch.exe \"-h", true, "."},
      {"\"patch.exe", true, "."},
      // The usage box.
      {"patch.exe -h", false, ""},
      {"patch.exe \"-h\"", false, ""},
      {"patch.exe -\"h\"", false, ""},
      {"-h", false, ""},
      {"-h D:\\Game", false, ""},
      {"patch.exe D:\\Game -h", false, ""},
      {"patch.exe D:\\Game E:\\Other", false, ""},
      {"patch.exe \"D:\\My Game\" x", false, ""},
      {"patch.exe a b \"c", false, ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Str> chosen(new Str);
    StrSetZ(chosen.get(), "previous");
    bool ok = ReadCommandLine(c.line.c_str(), true, chosen.get());
    EXPECT_EQ(ok, c.ok) << "[" << c.line << "]";
    if (c.ok && ok) {
      EXPECT_EQ(std::string(chosen->s, (size_t)chosen->len), c.folder)
          << "[" << c.line << "]";
    }
  }
}

TEST(ReadCommandLine, NoOwnPathMeansUsage) {
  std::unique_ptr<Str> chosen(new Str);
  EXPECT_FALSE(ReadCommandLine("patch.exe", false, chosen.get()));
  EXPECT_FALSE(ReadCommandLine("patch.exe D:\\Game", false, chosen.get()));
}

// A folder argument is taken whole or not at all: a cut one would name some
// other folder.
TEST(ReadCommandLine, LongFolderArgument) {
  std::unique_ptr<Str> chosen(new Str);
  std::string longest(kMaxFolderArgument, 'd');
  ASSERT_TRUE(
      ReadCommandLine(("patch.exe " + longest).c_str(), true, chosen.get()));
  EXPECT_EQ(std::string(chosen->s, (size_t)chosen->len), longest);
  EXPECT_FALSE(chosen->overflow);

  for (size_t n : {(size_t)kMaxFolderArgument + 1, (size_t)kStrCap + 10}) {
    std::string line = "patch.exe " + std::string(n, 'd');
    EXPECT_FALSE(ReadCommandLine(line.c_str(), true, chosen.get())) << n;
  }
  // A long program name is only skipped.
  std::string name = "\"" + std::string(kStrCap + 10, 'p') + "\" D:\\Game";
  ASSERT_TRUE(ReadCommandLine(name.c_str(), true, chosen.get()));
  EXPECT_EQ(std::string(chosen->s, (size_t)chosen->len), "D:\\Game");
}

}  // namespace
