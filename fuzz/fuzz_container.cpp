// Container loading over a whole patch file: the trailer, the header, the
// stored or deflated region, the two texts.
//
// Beyond the sanitizers, each input checks that the result is one of the
// loader's codes, that a failed load leaves no payload stream and no open
// file, and that a successful one holds exactly the region's bytes (stored)
// or what an independent one-shot inflate of the region gives (deflated),
// with the group table right after the texts.
#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "container/container.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Texts {
  bool notice_seen = false;
  bool description_seen = false;
  size_t notice_len = 0;
  size_t description_len = 0;
};

void KeepNotice(void* ctx, const char* text) {
  Texts* t = (Texts*)ctx;
  t->notice_seen = true;
  t->notice_len = strlen(text);
}

void ShowDescription(void* ctx, const char* text) {
  Texts* t = (Texts*)ctx;
  t->description_seen = true;
  t->description_len = strlen(text);
}

std::string ReadAll(Session* s) {
  std::string out;
  s->os->seek(s->payload, 0);
  char buf[4096];
  for (;;) {
    int32_t got = 0;
    if (!s->os->read(s->payload, buf, sizeof buf, &got) || got <= 0) break;
    out.append(buf, (size_t)got);
  }
  return out;
}

// The region inflated in one go; false when the stream is corrupt before it
// ends or before the region runs out.
bool InflateAll(const uint8_t* region, size_t len, std::string* out) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = (Bytef*)region;
  z.avail_in = (uInt)len;
  bool ok = true;
  for (;;) {
    unsigned char buf[4096];
    z.next_out = buf;
    z.avail_out = sizeof buf;
    int rc = inflate(&z, Z_NO_FLUSH);
    out->append((const char*)buf, sizeof buf - z.avail_out);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // region used up
    if (rc != Z_OK) {
      ok = false;
      break;
    }
  }
  inflateEnd(&z);
  return ok;
}

uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string exe_path;
  if (exe_path.empty()) {
    FuzzResetWorld();
    exe_path = FuzzPath("tmp/patch.exe");
  }
  FILE* f = fopen(exe_path.c_str(), "wb");
  if (!f) FuzzFail("cannot write the patch file", exe_path);
  if (size) fwrite(data, 1, size, f);
  fclose(f);

  const int fds = FuzzOpenDescriptors();
  Session* s = FuzzSession(FuzzGuardedPlatform());
  Texts texts;
  s->hooks.ctx = &texts;
  s->hooks.keep_notice = KeepNotice;
  s->hooks.show_description = ShowDescription;
  StrSetZ(&s->own_path, exe_path.c_str());
  s->own_path_set = true;
  // A deflate stream can grow a thousandfold; past this the temporary file
  // reports a full disk.
  FuzzSetWriteBudget(8 << 20);

  ContainerFacts facts;
  MsgCode rc = LoadContainerWithFacts(s, &facts);
  FUZZ_CHECK(rc == kOk || rc == kMsgBroken || rc == kMsgNoPatch ||
                 rc == kMsgCannotOpenSelf || rc == kMsgNotAPatch ||
                 rc == kMsgTempFull,
             std::to_string(rc));
  if (rc != kOk) {
    FUZZ_CHECK(s->payload == 0, "a failed load left its payload stream");
  } else {
    FUZZ_CHECK(s->payload != 0, "no payload stream");
    FUZZ_CHECK(s->group_table_pos ==
                   (uint32_t)facts.notice_length + facts.description_length,
               std::to_string(s->group_table_pos));
    FUZZ_CHECK(texts.notice_seen && texts.notice_len <= kContainerTextMax,
               std::to_string(texts.notice_len));
    FUZZ_CHECK(texts.description_seen == (facts.description_length > 0),
               "description pane");
    FUZZ_CHECK(texts.description_len <= kContainerTextMax,
               std::to_string(texts.description_len));

    // The loader checked N against the file size, so the region lies inside.
    const uint32_t n = Le32(data + size - 8);
    FUZZ_CHECK(n >= kContainerMinSize && n <= size, std::to_string(n));
    const uint8_t* region = data + (size - n) + kContainerHeaderSize;
    const size_t region_len = n - kContainerMinSize;
    std::string payload = ReadAll(s);
    FUZZ_CHECK(payload.size() == facts.payload_length,
               std::to_string(payload.size()));
    if (!(facts.flags & kContainerFlagDeflated)) {
      FUZZ_CHECK(payload == std::string((const char*)region, region_len),
                 "stored payload differs from the region");
    } else {
      std::string expected;
      bool ok = InflateAll(region, region_len, &expected);
      FUZZ_CHECK(ok, "a corrupt deflate stream was accepted");
      FUZZ_CHECK(payload == expected,
                 "inflated payload differs: " + std::to_string(payload.size()) +
                     " vs " + std::to_string(expected.size()));
    }
  }
  SessionClose(s);
  FuzzSetWriteBudget(-1);
  FUZZ_CHECK(FuzzOpenDescriptors() == fds, "a file handle was left open");
  return 0;
}
