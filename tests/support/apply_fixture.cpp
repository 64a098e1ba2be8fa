#include "support/apply_fixture.h"

#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <regex>

#include "apply/apply_run.h"
#include "delta/crc32.h"
#include "messages/messages.h"
#include "support/fault_platform.h"
#include "support/test_encoder.h"

uint32_t CrcOf(const std::string& bytes, uint32_t hole_offset,
               uint32_t hole_length) {
  uint32_t reg = kCrcPreset;
  uint64_t size = bytes.size();
  uint64_t hole_end = (uint64_t)hole_offset + hole_length;
  for (uint64_t i = 0; i < size; i++) {
    if (hole_length != 0 && i >= hole_offset && i < hole_end) continue;
    reg = CrcUpdate(bytes.data() + i, 1, reg);
  }
  return reg;
}

writer::PatchedSource DeltaSource(const std::string& name,
                                  const std::string& old_bytes,
                                  const std::string& new_bytes) {
  Bytes old(old_bytes.begin(), old_bytes.end());
  TestEncoder enc(old);
  size_t prefix = 0;
  while (prefix < old_bytes.size() && prefix < new_bytes.size() &&
         old_bytes[prefix] == new_bytes[prefix])
    prefix++;
  if (prefix > 0) enc.Copy(0, (int32_t)prefix);
  if (prefix < new_bytes.size())
    enc.Insert(Bytes(new_bytes.begin() + (long)prefix, new_bytes.end()));
  EncodedDelta d = enc.Finish();
  writer::PatchedSource src;
  src.name = name;
  src.record = d.record;
  src.record.old_checksum = CrcOf(old_bytes);
  src.record.old_size = (uint32_t)old_bytes.size();
  for (int i = 0; i < kStreamCount; i++)
    src.streams[i] = std::string(d.stream[i].begin(), d.stream[i].end());
  return src;
}

writer::PatchedFile ChainEntry(const std::string& name,
                               const std::vector<std::string>& versions,
                               uint8_t flags) {
  writer::PatchedFile e;
  e.name = name;
  e.flags = flags;
  const std::string& last = versions.back();
  e.new_size = (uint32_t)last.size();
  e.new_checksum = CrcOf(last);
  for (size_t k = 0; k + 1 < versions.size(); k++)
    e.sources.push_back(DeltaSource("", versions[k], versions[k + 1]));
  return e;
}

// --- Restart recorder --------------------------------------------------------

namespace {

RestartRecorder* g_recorder = nullptr;

uint32_t RecVersion(void) {
  if (g_recorder->version) return g_recorder->version;
  return g_recorder->base->version();
}

bool RecMoveAtRestart(const char* from, const char* to) {
  g_recorder->moves.emplace_back(from ? from : "", to ? to : "");
  if (g_recorder->pass_delayed_moves)
    return g_recorder->base->move_at_restart(from, to);
  return true;
}

bool RecWriteProfileString(const char* section, const char* key,
                           const char* value, const char* file) {
  RestartRecorder::ProfileLine l;
  l.section = section ? section : "";
  l.key = key ? key : "";
  l.value = value ? value : "";
  l.file = file ? file : "";
  g_recorder->profile.push_back(l);
  if (!g_recorder->profile_file.empty())
    return g_recorder->base->write_profile_string(
        section, key, value, g_recorder->profile_file.c_str());
  return true;
}

bool RecRequestRestart(void) {
  g_recorder->restart_requests++;
  return g_recorder->accept_restart;
}

int32_t RecShortPath(const char* path, char* buf, int32_t cap) {
  auto it = g_recorder->short_names.find(path);
  if (it != g_recorder->short_names.end()) {
    if ((int32_t)it->second.size() + 1 > cap) return 0;
    memcpy(buf, it->second.c_str(), it->second.size() + 1);
    return (int32_t)it->second.size();
  }
  if (g_recorder->short_paths_fail) {
    // What a failed call leaves in the buffer is not to be relied on.
    if (cap > 0) memset(buf, '#', (size_t)cap - 1), buf[cap - 1] = 0;
    return 0;
  }
  return g_recorder->base->short_path(path, buf, cap);
}

int32_t RecCurrentFolder(char* buf, int32_t cap) {
  const std::string& cur = g_recorder->current_folder;
  if (cur.empty()) return g_recorder->base->current_folder(buf, cap);
  if ((int32_t)cur.size() + 1 > cap) return 0;
  memcpy(buf, cur.c_str(), cur.size() + 1);
  return (int32_t)cur.size();
}

}  // namespace

RestartRecorder::RestartRecorder(const Platform* b) : table(*b), base(b) {
  if (g_recorder) ADD_FAILURE() << "two restart recorders alive at once";
  g_recorder = this;
  table.version = RecVersion;
  table.move_at_restart = RecMoveAtRestart;
  table.write_profile_string = RecWriteProfileString;
  table.request_restart = RecRequestRestart;
  table.short_path = RecShortPath;
  table.current_folder = RecCurrentFolder;
}

RestartRecorder::~RestartRecorder() { g_recorder = nullptr; }

void CarryOutRestartMoves(const RestartRecorder& r) {
  namespace fs = std::filesystem;
  auto move = [](const std::string& from, const std::string& to) {
    fs::path f = NativePath(from), t = NativePath(to);
    std::error_code ec;
    if (!fs::is_regular_file(f, ec) || fs::exists(t, ec)) return;
    fs::rename(f, t, ec);
  };
  for (const auto& m : r.moves) move(m.first, m.second);
  for (const auto& l : r.profile)
    if (l.section == "rename") move(l.value, l.key);
}

// --- Harness
// -------------------------------------------------------------------

namespace {

void OnPump(void* ctx) { static_cast<ApplyHarness*>(ctx)->pumps++; }

bool OnAsk(void* ctx, const char* text, const char* caption, uint32_t) {
  ApplyHarness* h = static_cast<ApplyHarness*>(ctx);
  h->questions.emplace_back(text, caption);
  return h->answer_yes;
}

void OnLineDone(void* ctx, const char* line) {
  static_cast<ApplyHarness*>(ctx)->done.push_back(line);
}

}  // namespace

ApplyHarness::ApplyHarness(const Platform* base)
    : restart(base), ps_(restart.os()) {
  Session* s = ps_.s();
  list.AttachTo(s);
  s->hooks.ctx = this;
  s->hooks.pump = OnPump;
  s->hooks.set_folder_text = nullptr;
  s->hooks.ask = OnAsk;
  s->hooks.line_done = OnLineDone;
  dir.MakeFolder("app");
}

ApplyHarness::~ApplyHarness() {}

bool ApplyHarness::Load(const writer::PayloadBuilder& b) {
  ps_.SetChosenFolder(Target());
  return ps_.Load(b);
}

MsgCode ApplyHarness::Run() { return ApplyRun(ps_.s()); }

std::map<std::string, std::string> TargetFiles(const ScratchDir& dir) {
  std::map<std::string, std::string> out;
  for (const auto& kv : dir.Snapshot()) {
    const std::string& name = kv.first;
    if (name.compare(0, 4, "app/") != 0 || name.back() == '/') continue;
    out[name.substr(4)] = kv.second;
  }
  return out;
}

std::vector<std::string> TargetFolders(const ScratchDir& dir) {
  std::vector<std::string> out;
  for (const auto& kv : dir.Snapshot()) {
    const std::string& name = kv.first;
    if (name.compare(0, 4, "app/") != 0 || name.back() != '/' || name == "app/")
      continue;
    out.push_back(name.substr(4));
  }
  return out;
}

std::string Message(Session* s, MsgCode code) {
  Str text;
  MessageText(s, code, &text);
  return std::string(text.s, (size_t)text.len);
}

// --- Runs with failing operations ------------------------------------------

bool InStagingFolder(const std::string& path, std::string* inside) {
  static const std::regex staged("(.*/)?PATCH[0-9]+\\.TMP/(.*)");
  std::smatch m;
  if (!std::regex_match(path, m, staged)) return false;
  if (inside) *inside = m[2].str();
  return true;
}

std::map<std::string, std::string> WithoutStaging(
    const std::map<std::string, std::string>& files) {
  std::map<std::string, std::string> out;
  for (const auto& f : files)
    if (!InStagingFolder(f.first)) out.insert(f);
  return out;
}

void SeedRegistryFolderGroup(ApplyHarness& h) {
  RemoveTestRegistryKey();
  ASSERT_TRUE(
      SeedRegistryValue("", "Folder", kRegSz, h.dir.Path("app/two") + '\0'));
  ASSERT_TRUE(SeedRegistryValue("Settings", "Version", kRegSz,
                                std::string("1") + '\0'));
}

void AddRegistryFolderGroup(writer::PayloadBuilder* b, const std::string& f_old,
                            const std::string& f_new) {
  b->RegistryGroup(kHkeyCurrentUser, kTestRegistryKey, "Folder", "BAK2");
  b->AddPatched(ChainEntry("f.dll", {f_old, f_new}));
  b->AddRegistry(
      writer::RegistryScript(kHkeyCurrentUser, kTestRegistryKey, "Folder")
          .OpenKey(kHkeyCurrentUser,
                   std::string(kTestRegistryKey) + "\\Settings")
          .SetString("Version", "2"));
}

void ReportFailedCalls(const FaultPlatform& fault, const std::string& note) {
  for (const std::string& l : fault.log())
    if (l.size() > 2 && l.compare(l.size() - 2, 2, " !") == 0)
      ADD_FAILURE() << "failed call: " << l << note;
}
