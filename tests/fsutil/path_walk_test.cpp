// The two path walks, seen through a table that records the folder calls
// and touches nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsutil/fsutil.h"

namespace {

std::vector<std::string>* g_calls;

bool RecordCreate(const char* path) {
  g_calls->push_back(std::string("create ") + path);
  return false;
}

bool RecordRemove(const char* path) {
  g_calls->push_back(std::string("remove ") + path);
  return false;
}

struct Recorder {
  Platform table = {};
  std::vector<std::string> calls;
  Recorder() {
    table.create_folder = RecordCreate;
    table.remove_folder = RecordRemove;
    g_calls = &calls;
  }
  ~Recorder() { g_calls = nullptr; }
};

struct WalkCase {
  const char* path;
  std::vector<std::string> calls;
};

TEST(FsCreateParentFolders, CreatesEachFolderBeforeTheLastSeparator) {
  const WalkCase cases[] = {
      {"C:\\A\\B\\f.dll", {"create C:", "create C:/A", "create C:/A/B"}},
      {"a/b\\c", {"create a", "create a/b"}},  // either separator
      {"C:\\A\\B\\", {"create C:", "create C:/A", "create C:/A/B"}},
      {"", {}},
      {"f.dll", {}},
      {"dir\\", {"create dir"}},
      // Leading and doubled separators give prefixes that fail harmlessly.
      {"\\A\\f", {"create /A"}},
      {"A\\\\B\\f", {"create A", "create A/", "create A//B"}},
      {"\\\\srv\\share\\d\\f",
       {"create /", "create //srv", "create //srv/share",
        "create //srv/share/d"}},
      // Big5 names whose trail byte is 0x5C (許 B3 5C, 功 A5 5C): the trail
      // byte belongs to its character and is copied as it is.
      {"C:\\\xB3\x5C\\f.dll", {"create C:", "create C:/\xB3\x5C"}},
      {"\xB3\x5C\\\xA5\x5C\\f",
       {"create \xB3\x5C", "create \xB3\x5C/\xA5\x5C"}},
      {"C:\\\xA5\x5C", {"create C:"}},  // a file named 功
      {"C:\\\xB3\x5C\\", {"create C:", "create C:/\xB3\x5C"}},
      {"\xB3\x5C\xA5\x5C", {}},  // 許功: no separator at all
      // A lead byte before a byte that cannot end it stands alone.
      {"\xA4/x", {"create \xA4"}},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.path);
    Recorder rec;
    FsCreateParentFolders(&rec.table, c.path);
    EXPECT_EQ(rec.calls, c.calls);
  }
}

TEST(FsRemoveEmptyParentFolders, TriesEveryAncestorInnermostFirst) {
  const WalkCase cases[] = {
      {"C:\\T\\PATCH0.TMP\\sub\\f.dll",
       {"remove C:\\T\\PATCH0.TMP\\sub", "remove C:\\T\\PATCH0.TMP",
        "remove C:\\T", "remove C:"}},
      {"a/b\\c/f", {"remove a\\b\\c", "remove a\\b", "remove a"}},
      {"C:\\A\\", {"remove C:\\A", "remove C:"}},  // the named folder too
      {"", {}},
      {"f.dll", {}},
      {"C:\\A\\\\B", {"remove C:\\A\\", "remove C:\\A", "remove C:"}},
      // Paths from a root keep it: their own ancestors are tried, never
      // folders of the same names below the current folder.
      {"\\\\server\\share\\dir\\f.dll",
       {"remove \\\\server\\share\\dir", "remove \\\\server\\share",
        "remove \\\\server"}},
      {"\\dir\\sub\\f.dll", {"remove \\dir\\sub", "remove \\dir"}},
      {"/tmp/x/f", {"remove \\tmp\\x", "remove \\tmp"}},
      {"\\f.dll", {}},
      {"\\\\", {}},
      {"C:\\\xB3\x5C\\\xA5\x5C\\f.dll",
       {"remove C:\\\xB3\x5C\\\xA5\x5C", "remove C:\\\xB3\x5C", "remove C:"}},
      {"T\\PATCH0.TMP\\\xBB\x5C.dll", {"remove T\\PATCH0.TMP", "remove T"}},
      {"\xB3\x5C\xA5\x5C", {}},
      {"\\\xB3\x5C\\f", {"remove \\\xB3\x5C"}},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.path);
    Recorder rec;
    FsRemoveEmptyParentFolders(&rec.table, c.path);
    EXPECT_EQ(rec.calls, c.calls);
  }
}

TEST(FsPathWalks, OverlongPathsAreNeverHandedOverCutShort) {
  std::string deep;
  while (deep.size() < 3000) deep += "folder\\";
  deep += "f.dll";
  Recorder rec;
  FsCreateParentFolders(&rec.table, deep.c_str());
  ASSERT_FALSE(rec.calls.empty());
  for (std::string call : rec.calls) {
    std::string path = call.substr(7);
    for (char& ch : path)
      if (ch == '/') ch = '\\';
    // Each call names a whole leading part of the path.
    EXPECT_EQ(deep.compare(0, path.size(), path), 0) << path;
    EXPECT_EQ(deep[path.size()], '\\') << path;
  }
  rec.calls.clear();
  FsRemoveEmptyParentFolders(&rec.table, deep.c_str());
  EXPECT_TRUE(rec.calls.empty());
}

}  // namespace
