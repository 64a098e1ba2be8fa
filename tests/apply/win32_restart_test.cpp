// The restart schedule against the Win32 calls themselves: a file held open
// by another handle cannot be moved aside, the delayed moves land in the
// system's pending renames, and the 9x family's lines land in a real
// profile file with the system's short names. Windows builds only (run
// under wine64); the portable tests cover the same paths with recorders.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "apply/apply_run.h"
#include "support/apply_fixture.h"
#include "support/fault_platform.h"

namespace {

const char kSessionManager[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

const std::string kOld = "the old version of the library";
const std::string kNew = "the new version of the library, longer";

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return (char)tolower(c); });
  return s;
}

// The pending renames as the list of their strings (source, destination,
// source, destination, ...).
std::vector<std::string> PendingRenames() {
  std::vector<std::string> out;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return out;
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type, NULL,
                       &size) == ERROR_SUCCESS &&
      size > 0) {
    std::string data(size, '\0');
    RegQueryValueExA(key, "PendingFileRenameOperations", NULL, &type,
                     (BYTE*)&data[0], &size);
    // Strings one after another, each ended by a NUL; a delete has an
    // empty destination, so empty strings are kept but for the final ones.
    size_t at = 0;
    while (at < data.size()) {
      size_t end = data.find('\0', at);
      if (end == std::string::npos) end = data.size();
      out.push_back(data.substr(at, end - at));
      at = end + 1;
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
  }
  RegCloseKey(key);
  return out;
}

void ClearPendingRenames() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS,
                    &key) != ERROR_SUCCESS)
    return;
  RegDeleteValueA(key, "PendingFileRenameOperations");
  RegCloseKey(key);
}

// Whether the pending renames hold a move from a path ending in `from` to
// one ending in `to` (the system stores them in its own path form).
bool HasRename(const std::vector<std::string>& r, const std::string& from,
               const std::string& to) {
  auto ends = [](const std::string& s, const std::string& tail) {
    std::string a = Lower(s), b = Lower(tail);
    return a.size() >= b.size() &&
           a.compare(a.size() - b.size(), b.size(), b) == 0;
  };
  for (size_t i = 0; i + 1 < r.size(); i += 2)
    if (ends(r[i], from) && ends(r[i + 1], to)) return true;
  return false;
}

TEST(Win32Restart, FileHeldOpenIsScheduledInThePendingRenames) {
  ClearPendingRenames();
  ApplyHarness h;
  h.restart.pass_delayed_moves = true;
  h.dir.Write("app/a.dll", kOld);
  h.dir.Write("app/b.dll", kOld);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddPatched(ChainEntry("a.dll", {kOld, kNew}));
  b.AddPatched(ChainEntry("b.dll", {kOld, kNew}));
  ASSERT_TRUE(h.Load(b));

  // Another program has b.dll open: readable, but not to be deleted or
  // renamed (no FILE_SHARE_DELETE).
  HANDLE held = CreateFileA(h.dir.Path("app/b.dll").c_str(), GENERIC_READ,
                            FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  MsgCode rc = h.Run();
  CloseHandle(held);
  EXPECT_EQ(rc, kMsgRestartDeclined);
  ASSERT_EQ(h.questions.size(), 1u);

  EXPECT_EQ(h.dir.Read("app/a.dll"), kNew);  // committed before b.dll
  EXPECT_EQ(h.dir.Read("app/b.dll"), kOld);
  EXPECT_EQ(h.dir.Read("app/PATCH0.TMP/b.dll"), kNew);  // left for the restart

  std::vector<std::string> pending = PendingRenames();
  EXPECT_TRUE(HasRename(pending, "app\\b.dll", "app\\BAK\\b.dll"));
  EXPECT_TRUE(HasRename(pending, "app\\PATCH0.TMP\\b.dll", "app\\b.dll"));
  EXPECT_FALSE(HasRename(pending, "app\\a.dll", "app\\BAK\\a.dll"));
  ClearPendingRenames();
}

// The 9x family's lines written by WritePrivateProfileStringA into a real
// file, with the short names the system gives.
TEST(Win32Restart, WininitLinesWithTheSystemsShortNames) {
  FaultPlatform fault;
  ApplyHarness h(fault.os());
  h.restart.version = 0xC0000A04u;  // Windows 98
  h.restart.profile_file = h.dir.Path("WININIT.INI");
  h.dir.Write("app/A Long File Name.dll", kOld);
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("Backup Folder");
  b.AddPatched(ChainEntry("A Long File Name.dll", {kOld, kNew}));
  ASSERT_TRUE(h.Load(b));
  fault.FailPath(kFaultMoveFile, "app/A Long File Name.dll");
  EXPECT_EQ(h.Run(), kMsgRestartDeclined);

  std::string target = h.Target() + "\\A Long File Name.dll";
  std::string staged = h.Target() + "\\PATCH0.TMP\\A Long File Name.dll";
  char short_target[MAX_PATH], short_staged[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(target.c_str(), short_target, MAX_PATH), 0u);
  ASSERT_GT(GetShortPathNameA(staged.c_str(), short_staged, MAX_PATH), 0u);
  EXPECT_NE(std::string(short_target), target);  // a real 8.3 form

  char value[MAX_PATH];
  std::string ini = h.restart.profile_file;
  std::string backup = h.Target() + "\\Backup Folder\\A Long File Name.dll";
  GetPrivateProfileStringA("rename", backup.c_str(), "", value, MAX_PATH,
                           ini.c_str());
  EXPECT_STREQ(value, short_target);
  GetPrivateProfileStringA("rename", target.c_str(), "", value, MAX_PATH,
                           ini.c_str());
  EXPECT_STREQ(value, short_staged);
  // The order of the lines is the order of the moves.
  std::string text = h.dir.Read("WININIT.INI");
  EXPECT_LT(text.find(backup + "="), text.find(target + "="));
}

}  // namespace

#endif
