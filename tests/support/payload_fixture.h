// A session with a payload built in code, ready for the target-group reader
// and the entry passes.
//
//   PayloadSession ps;                      // native platform table
//   writer::PayloadBuilder b;
//   b.ChosenFolderGroup("BAK");
//   b.AddRemoved("old.txt");
//   ASSERT_TRUE(ps.Load(b));                // payload stream as loaded
//   ps.SetChosenFolder(dir.path());
//   EXPECT_EQ(ReadTargetGroups(ps.s()), kOk);
//
// Load puts the payload straight into a temporary file and sets the
// group-table position, as the container loader leaves them.
// LoadThroughContainer goes the whole way instead: it wraps the payload with
// the container writer, writes the patch file and runs LoadContainer on it.
//
// The folder-field hook records every folder shown in `folders_shown`.
#ifndef SELFPATCH_TESTS_SUPPORT_PAYLOAD_FIXTURE_H
#define SELFPATCH_TESTS_SUPPORT_PAYLOAD_FIXTURE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "core/session.h"
#include "maker/writer/payload_builder.h"

class PayloadSession {
 public:
  explicit PayloadSession(const Platform* os = PlatformNative());
  ~PayloadSession();
  PayloadSession(const PayloadSession&) = delete;
  PayloadSession& operator=(const PayloadSession&) = delete;

  Session* s() { return s_.get(); }

  // Replaces any payload loaded before. False when the temporary file
  // cannot be made or written.
  bool Load(const writer::PayloadBuilder& b,
            writer::PayloadLayout* layout = nullptr);
  bool LoadBytes(const std::string& payload, uint32_t group_table_pos);
  // Writes the patch file at exe_path (native path) and loads it; returns
  // LoadContainer's code.
  MsgCode LoadThroughContainer(const writer::PayloadBuilder& b,
                               const std::string& exe_path, bool deflate);

  void SetChosenFolder(const std::string& folder);

  std::vector<std::string> folders_shown;

 private:
  std::unique_ptr<Session> s_;
};

// Values below HKEY_CURRENT_USER\<kTestRegistryKey>: on the host in the POSIX
// table's in-memory registry, under Wine in the prefix's real registry
// (written with the host's own calls, since the core never creates keys).
extern const char kTestRegistryKey[];
// Creates subkey (below the test key; "" for the test key itself) and sets
// a value in it. False on failure.
bool SeedRegistryValue(const std::string& subkey, const std::string& name,
                       uint32_t type, const std::string& data);
// Removes the test key with everything below it.
void RemoveTestRegistryKey();

#endif
