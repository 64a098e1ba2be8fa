// Fixtures for the apply run: patched-file entries made from the bytes of
// their versions, a target folder in a scratch folder, a session whose log,
// question box and restart services a test can read and steer.
//
//   ApplyHarness h;                            // native platform table
//   h.dir.Write("app/a.dll", "old");
//   writer::PayloadBuilder b;
//   b.ChosenFolderGroup("BAK");
//   b.AddPatched(ChainEntry("a.dll", {"old", "new"}));
//   ASSERT_TRUE(h.Load(b));                    // chosen folder: <dir>/app
//   EXPECT_EQ(h.Run(), kOk);
//   EXPECT_EQ(h.dir.Read("app/a.dll"), "new");
//
// Every table the harness runs on is wrapped by a restart recorder: delayed
// moves, profile writes and restart requests are recorded (and never reach
// the system unless pass_delayed_moves is set), the version family can be
// forced, and the short-name and current-folder services can be replaced.
// Only one harness may be alive at a time.
#ifndef SELFPATCH_TESTS_SUPPORT_APPLY_FIXTURE_H
#define SELFPATCH_TESTS_SUPPORT_APPLY_FIXTURE_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/session.h"
#include "maker/writer/payload_builder.h"
#include "support/payload_fixture.h"
#include "support/recording_list.h"
#include "support/scratch_dir.h"

// The CRC register of bytes (preset 0xFFFFFFFF, not complemented), with an
// optional hole left out.
uint32_t CrcOf(const std::string& bytes, uint32_t hole_offset = 0,
               uint32_t hole_length = 0);

// A source that turns old_bytes into new_bytes: a copy of their common
// prefix, then a raw insert of the rest. name "" stands for the entry name.
writer::PatchedSource DeltaSource(const std::string& name,
                                  const std::string& old_bytes,
                                  const std::string& new_bytes);

// A patched-file entry whose sources lead through the versions, oldest
// first: source k turns versions[k] into versions[k + 1], and the last
// version is the new file. All sources carry the entry name.
writer::PatchedFile ChainEntry(const std::string& name,
                               const std::vector<std::string>& versions,
                               uint8_t flags = 0);

// The restart services and the version family of a wrapped table.
struct RestartRecorder {
  explicit RestartRecorder(const Platform* base);
  ~RestartRecorder();
  RestartRecorder(const RestartRecorder&) = delete;
  RestartRecorder& operator=(const RestartRecorder&) = delete;

  const Platform* os() const { return &table; }

  Platform table;
  const Platform* base;
  // 0: the base table's answer.
  uint32_t version = 0;
  // Delayed moves in call order; with pass_delayed_moves they also reach
  // the base table (the system's own schedule).
  std::vector<std::pair<std::string, std::string>> moves;
  bool pass_delayed_moves = false;
  struct ProfileLine {
    std::string section, key, value, file;
  };
  std::vector<ProfileLine> profile;
  // When set, profile writes also reach the base table, into this file
  // instead of the one named (a real WININIT.INI stays untouched).
  std::string profile_file;
  int restart_requests = 0;
  bool accept_restart = true;
  // short_path: a path found here gives its entry; otherwise the base
  // table's answer, unless short_paths_fail.
  std::map<std::string, std::string> short_names;
  bool short_paths_fail = false;
  // current_folder: this text when not empty, otherwise the base's answer.
  std::string current_folder;
};

// Does what the system would do with the recorded schedule at its next
// start: the delayed moves, then the WININIT.INI "rename" lines, each in
// order, a move passed over when its source is missing or its destination
// exists (no move replaces a file).
void CarryOutRestartMoves(const RestartRecorder& r);

class ApplyHarness {
 public:
  // base: the table under the restart recorder, for example a
  // FaultPlatform's.
  explicit ApplyHarness(const Platform* base = PlatformNative());
  ~ApplyHarness();

  // Loads the payload and sets the chosen folder to Target().
  bool Load(const writer::PayloadBuilder& b);
  MsgCode Run();

  Session* s() { return ps_.s(); }
  std::string Target() const { return dir.Path("app"); }
  // The log as the list box shows it, and the lines completed so far.
  const std::vector<std::string>& lines() const { return list.lines; }
  std::vector<std::string> done;

  ScratchDir dir;
  RestartRecorder restart;
  RecordingList list;
  // The restart question: asked texts and captions, and the answer.
  bool answer_yes = false;
  std::vector<std::pair<std::string, std::string>> questions;
  int pumps = 0;

 private:
  PayloadSession ps_;
};

// Everything below dir's "app" folder, files only: relative name with '/'
// to bytes.
std::map<std::string, std::string> TargetFiles(const ScratchDir& dir);
// The folders below "app" (relative names ending in '/').
std::vector<std::string> TargetFolders(const ScratchDir& dir);

// Code page 950 text of a message code as the log expands it, with the
// session's placeholders.
std::string Message(Session* s, MsgCode code);

// --- Runs with failing operations ------------------------------------------

class FaultPlatform;

// True when path ('/' separated) lies in one of a run's staging folders
// (PATCH<n>.TMP); *inside then names the file below that folder.
bool InStagingFolder(const std::string& path, std::string* inside = nullptr);
// The files outside the staging folders. What a failed run may leave in
// them (a scratch file whose deletion failed, a staged file the cleanup
// could not delete) is a documented leftover, not a user file.
std::map<std::string, std::string> WithoutStaging(
    const std::map<std::string, std::string>& files);

// A second group whose folder comes from the registry: the value "Folder"
// below kTestRegistryKey names h's "app/two", and "Settings\Version" holds
// "1". Starts from an empty test key.
void SeedRegistryFolderGroup(ApplyHarness& h);
// That group in a payload: backup folder BAK2, f.dll patched from f_old to
// f_new, then a registry script setting "Settings\Version" to "2".
void AddRegistryFolderGroup(writer::PayloadBuilder* b, const std::string& f_old,
                            const std::string& f_new);

// One test failure for each call the fault table made fail, each with note
// appended, to tell which operation a failing case broke.
void ReportFailedCalls(const FaultPlatform& fault, const std::string& note = "");

#endif
