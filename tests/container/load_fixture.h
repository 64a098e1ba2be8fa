// Loading containers built in memory: the bytes go to a file in a scratch
// folder and LoadContainer runs on it through a platform table (the native
// one unless a test wraps it), with window hooks that record the texts.
#ifndef SELFPATCH_TESTS_CONTAINER_LOAD_FIXTURE_H
#define SELFPATCH_TESTS_CONTAINER_LOAD_FIXTURE_H

#include <memory>
#include <string>

#include "container/container.h"
#include "core/session.h"
#include "maker/writer/container_writer.h"
#include "support/scratch_dir.h"

struct Loaded {
  MsgCode code = -1;
  ContainerFacts facts{};
  int notice_calls = 0;
  std::string notice;
  int description_calls = 0;
  std::string description;
  bool payload_open = false;
  std::string payload;         // the whole payload stream, when open
  uint32_t cursor = 0;         // payload position after loading
  uint32_t group_table_pos = 0;
};

// A session on the heap (it holds large fixed buffers), closed on scope exit.
class SessionBox {
 public:
  explicit SessionBox(const Platform* os);
  ~SessionBox();
  SessionBox(const SessionBox&) = delete;
  SessionBox& operator=(const SessionBox&) = delete;
  Session* get() { return s_.get(); }
  Session* operator->() { return s_.get(); }

 private:
  std::unique_ptr<Session> s_;
};

// Every byte of the payload stream, leaving its cursor where it was.
std::string ReadWholePayload(Session* s);

// Writes `file` as dir/name and loads it. With record_texts the window
// hooks capture the notice and the description; without, they are null.
Loaded LoadFile(const ScratchDir& dir, const writer::Bytes& file,
                const Platform* os, bool record_texts = true,
                const std::string& name = "patch.exe");

// Loads path as it stands (it may not exist).
Loaded LoadPath(const std::string& path, const Platform* os,
                bool record_texts = true);

// A container of payload = notice + description + rest.
writer::Bytes MakeContainer(const std::string& notice,
                            const std::string& description,
                            const std::string& rest, bool deflate,
                            const std::string& stub = "");

#endif
