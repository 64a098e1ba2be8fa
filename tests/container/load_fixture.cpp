#include "container/load_fixture.h"

#include <gtest/gtest.h>

namespace {

void KeepNotice(void* ctx, const char* text) {
  Loaded* l = static_cast<Loaded*>(ctx);
  l->notice_calls++;
  l->notice = text;
}

void ShowDescription(void* ctx, const char* text) {
  Loaded* l = static_cast<Loaded*>(ctx);
  l->description_calls++;
  l->description = text;
}

}  // namespace

SessionBox::SessionBox(const Platform* os) : s_(new Session) {
  SessionInit(s_.get(), os);
}

SessionBox::~SessionBox() { SessionClose(s_.get()); }

std::string ReadWholePayload(Session* s) {
  const Platform* os = s->os;
  uint32_t here = os->tell(s->payload);
  uint32_t size = os->file_size(s->payload);
  std::string bytes(size, '\0');
  os->seek(s->payload, 0);
  int32_t done = 0;
  EXPECT_TRUE(os->read(s->payload, &bytes[0], (int32_t)size, &done));
  EXPECT_EQ(done, (int32_t)size);
  os->seek(s->payload, (int32_t)here);
  return bytes;
}

Loaded LoadPath(const std::string& path, const Platform* os,
                bool record_texts) {
  Loaded l;
  SessionBox s(os);
  StrSetZ(&s->own_path, path.c_str());
  s->own_path_set = true;
  if (record_texts) {
    s->hooks.ctx = &l;
    s->hooks.keep_notice = KeepNotice;
    s->hooks.show_description = ShowDescription;
  }
  l.code = LoadContainerWithFacts(s.get(), &l.facts);
  l.payload_open = s->payload != 0;
  if (l.payload_open) {
    l.cursor = os->tell(s->payload);
    l.payload = ReadWholePayload(s.get());
  }
  l.group_table_pos = s->group_table_pos;
  return l;
}

Loaded LoadFile(const ScratchDir& dir, const writer::Bytes& file,
                const Platform* os, bool record_texts,
                const std::string& name) {
  dir.Write(name, writer::ToString(file));
  return LoadPath(dir.Path(name), os, record_texts);
}

writer::Bytes MakeContainer(const std::string& notice,
                            const std::string& description,
                            const std::string& rest, bool deflate,
                            const std::string& stub) {
  writer::ContainerOptions o;
  o.deflate = deflate;
  o.notice_length = (uint16_t)notice.size();
  o.description_length = (uint16_t)description.size();
  return writer::WritePatchFile(writer::ToBytes(stub),
                                writer::ToBytes(notice + description + rest),
                                o);
}
