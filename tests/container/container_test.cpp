#include "container/container.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "container/load_fixture.h"
#include "container/payload_stream.h"
#include "maker/writer/container_writer.h"
#include "support/fault_platform.h"
#include "support/scratch_dir.h"

using writer::Bytes;
using writer::ContainerOptions;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = (char)(rng() & 0xFF);
  return s;
}

// Text that deflate squeezes hard: one 1024-byte piece of the region
// inflates to many output buffers.
std::string Repetitive(size_t n) {
  std::string s;
  while (s.size() < n) s += "0123456789abcdef-line " + std::to_string(s.size() % 7) + "\n";
  s.resize(n);
  return s;
}

// The native table with reads and writes measured, and one read failed or
// cut short on request (what FaultPlatform does not offer).
struct Faults {
  int reads = 0, temps = 0;
  int fail_read_at = 0;     // 1-based call number; 0 never
  bool short_read = false;  // the chosen read succeeds with one byte less
  int32_t max_read = 0, max_write = 0;
  int64_t written = 0;  // bytes the writes stored
};
Faults g_faults;
Platform g_faulty;

bool FaultyRead(PlatformFile f, void* buf, int32_t n, int32_t* done) {
  ++g_faults.reads;
  if (n > g_faults.max_read) g_faults.max_read = n;
  if (g_faults.reads == g_faults.fail_read_at) {
    if (!g_faults.short_read) {
      if (done) *done = 0;
      return false;
    }
    if (n > 0) n--;
  }
  return PlatformNative()->read(f, buf, n, done);
}

bool FaultyWrite(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  if (n > g_faults.max_write) g_faults.max_write = n;
  int32_t stored = 0;
  bool ok = PlatformNative()->write(f, buf, n, &stored);
  g_faults.written += stored;
  if (done) *done = stored;
  return ok;
}

PlatformFile FaultyTemp(void) {
  ++g_faults.temps;
  return PlatformNative()->create_temp_file();
}

const Platform* Faulty(const Faults& f) {
  g_faults = f;
  g_faulty = *PlatformNative();
  g_faulty.read = FaultyRead;
  g_faulty.write = FaultyWrite;
  g_faulty.create_temp_file = FaultyTemp;
  return &g_faulty;
}

const Platform* Native() { return PlatformNative(); }

// --- The payload comes out as it went in ----------------------------------

TEST(LoadContainer, PayloadEqualsWhatWasWritten) {
  struct Case {
    const char* what;
    std::string rest;
    bool deflate;
    std::string stub;
    uint8_t extra_flags;
    uint32_t header_magic, trailer_magic;
  };
  const uint32_t m = 0x3E7F8443u;
  const Case cases[] = {
      {"stored, nothing after the texts", "", false, "", 0, m, m},
      {"stored, one byte short of a piece", RandomBytes(1023 - 9, 1), false, "MZstub", 0, m, m},
      {"stored, exactly one piece", RandomBytes(1024 - 9, 2), false, "", 0, m, m},
      {"stored, one byte over a piece", RandomBytes(1025 - 9, 3), false, "", 0, m, m},
      {"stored, several pieces after a stub", RandomBytes(5000, 4), false, RandomBytes(3000, 5), 0, m, m},
      {"deflated random bytes", RandomBytes(5000, 6), true, "MZ", 0, m, m},
      {"deflated, inflating to many KiB per piece", Repetitive(300000), true, "", 0, m, m},
      {"deflated, empty payload", "", true, "", 0, m, m},
      {"other flag bits are ignored (stored)", RandomBytes(2000, 7), false, "", 0xFE, m, m},
      {"other flag bits are ignored (deflated)", Repetitive(4000), true, "", 0xFE, m, m},
      {"magic values are not compared", RandomBytes(100, 8), false, "", 0, 0, 0xFFFFFFFFu},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string payload = "note" + std::string("descr") + c.rest;
    ContainerOptions o;
    o.deflate = c.deflate;
    o.notice_length = 4;
    o.description_length = 5;
    o.extra_flags = c.extra_flags;
    o.header_magic = c.header_magic;
    o.trailer_magic = c.trailer_magic;
    Bytes file = writer::WritePatchFile(writer::ToBytes(c.stub),
                                        writer::ToBytes(payload), o);
    Loaded l = LoadFile(dir, file, Native());
    ASSERT_EQ(l.code, kOk);
    ASSERT_TRUE(l.payload_open);
    EXPECT_TRUE(l.payload == payload) << "payload differs, " << l.payload.size()
                                      << " bytes against " << payload.size();
    EXPECT_EQ(l.notice, "note");
    EXPECT_EQ(l.description, "descr");
    EXPECT_EQ(l.group_table_pos, 9u);
    EXPECT_EQ(l.cursor, 9u);
    EXPECT_EQ(l.facts.file_size, file.size());
    EXPECT_EQ(l.facts.container_length, file.size() - c.stub.size());
    EXPECT_EQ(l.facts.payload_length, payload.size());
    EXPECT_EQ(l.facts.flags & 1, c.deflate ? 1 : 0);
  }
}

// The region is read in 1024-byte pieces and inflate writes at most 1024
// bytes at a time, whatever the payload's size.
TEST(LoadContainer, WorksInPiecesOf1024Bytes) {
  ScratchDir dir;
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    std::string rest = RandomBytes(3000, 9) + Repetitive(100000);
    dir.Write("patch.exe", writer::ToString(MakeContainer("n", "d", rest, deflate)));
    SessionBox s(Faulty(Faults{}));
    StrSetZ(&s->own_path, dir.Path("patch.exe").c_str());
    ASSERT_EQ(LoadContainer(s.get()), kOk);
    EXPECT_EQ(g_faults.max_read, 1024);
    EXPECT_EQ(g_faults.max_write, 1024);
    EXPECT_EQ(ReadWholePayload(s.get()), "nd" + rest);
  }
}

TEST(LoadContainer, DeflateStreamMayEndBeforeItsRegion) {
  ScratchDir dir;
  std::string payload = "NOTICE" + Repetitive(20000);
  Bytes deflated = writer::RawDeflate(writer::ToBytes(payload), 9);
  // 0xFF bytes after the end would be an invalid block if inflate saw them.
  Bytes region = deflated;
  region.insert(region.end(), 3000, 0xFF);
  ContainerOptions o;
  o.notice_length = 6;
  Loaded l = LoadFile(dir, writer::WrapRegion(region, true, o), Native());
  ASSERT_EQ(l.code, kOk);
  EXPECT_TRUE(l.payload == payload);
  EXPECT_TRUE(l.facts.stream_ended);
  EXPECT_EQ(l.facts.region_used, deflated.size());
  EXPECT_EQ(l.facts.region_length, region.size());
}

// A region cut inside its deflate stream keeps what it inflated to; the
// payload's own readers then find it short.
TEST(LoadContainer, RegionEndingInsideTheDeflateStream) {
  ScratchDir dir;
  std::string payload = "NOTICE" + RandomBytes(8000, 10);
  Bytes deflated = writer::RawDeflate(writer::ToBytes(payload), 9);
  Bytes region(deflated.begin(), deflated.begin() + deflated.size() / 2);
  ContainerOptions o;
  o.notice_length = 6;
  Loaded l = LoadFile(dir, writer::WrapRegion(region, true, o), Native());
  ASSERT_EQ(l.code, kOk);
  EXPECT_FALSE(l.facts.stream_ended);
  EXPECT_GT(l.payload.size(), 6u);
  EXPECT_LT(l.payload.size(), payload.size());
  EXPECT_TRUE(payload.compare(0, l.payload.size(), l.payload) == 0);

  // Cut before the texts are complete: nothing to show, 14.
  o.notice_length = 7000;
  l = LoadFile(dir, writer::WrapRegion(region, true, o), Native());
  EXPECT_EQ(l.code, kMsgNoPatch);
}

// --- Failures --------------------------------------------------------------

Bytes LeU32(uint32_t v) {
  return Bytes{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16),
               (uint8_t)(v >> 24)};
}

// A file ending in a trailer that claims container length n.
Bytes WithTrailer(size_t body, uint32_t n) {
  Bytes b(body, 0);
  Bytes t = LeU32(n);
  b.insert(b.end(), t.begin(), t.end());
  t = LeU32(0x3E7F8443u);
  b.insert(b.end(), t.begin(), t.end());
  return b;
}

TEST(LoadContainer, FilesThatAreNoContainerGive16) {
  struct Case {
    const char* what;
    Bytes file;
  };
  Bytes zeros(500, 0);
  const Case cases[] = {
      {"empty file", Bytes{}},
      {"seven bytes", Bytes(7, 0x43)},
      {"eight bytes claiming 8", WithTrailer(0, 8)},
      {"length 0", WithTrailer(200, 0)},
      {"length 85, one short of header and trailer", WithTrailer(200, 85)},
      {"length one past the file", WithTrailer(200, 209)},
      {"length far past the file", WithTrailer(200, 0xFFFFFFF0u)},
      {"all zeros", zeros},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Loaded l = LoadFile(dir, c.file, Faulty(Faults{}));
    EXPECT_EQ(l.code, kMsgNotAPatch);
    // Refused before the payload stream is made.
    EXPECT_EQ(g_faults.temps, 0);
    EXPECT_FALSE(l.payload_open);
    EXPECT_EQ(l.notice_calls, 0);
  }
  // The smallest container, 86 bytes: header and trailer, empty payload.
  Loaded l = LoadFile(dir, WithTrailer(78, 86), Native());
  EXPECT_EQ(l.code, kOk);
  EXPECT_EQ(l.notice_calls, 1);
  EXPECT_EQ(l.notice, "");
  EXPECT_EQ(l.description_calls, 0);
}

TEST(LoadContainer, UnopenableOwnPathGives15) {
  ScratchDir dir;
  dir.MakeFolder("folder");
  for (const std::string& path :
       {dir.Path("missing.exe"), dir.Path("folder"), std::string()}) {
    SCOPED_TRACE(path);
    Loaded l = LoadPath(path, Native());
    EXPECT_EQ(l.code, kMsgCannotOpenSelf);
    EXPECT_FALSE(l.payload_open);
  }
}

// A raw deflate stream of data that has not ended: its last block is not
// final and it stops at a byte boundary (a sync flush).
Bytes UnfinishedDeflate(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(data.size() + 1024);
  z.next_in = (Bytef*)data.data();
  z.avail_in = (uInt)data.size();
  z.next_out = out.data();
  z.avail_out = (uInt)out.size();
  EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

TEST(LoadContainer, CorruptDeflateStreamGives1) {
  ScratchDir dir;
  // 0xFF opens a final block of the reserved type 3.
  Bytes late = UnfinishedDeflate(Repetitive(50000));
  late.insert(late.end(), 2000, 0xFF);
  struct Case {
    const char* what;
    Bytes region;
  };
  const Case cases[] = {
      {"bad first block", Bytes(100, 0xFF)},
      {"bad first block, several pieces", Bytes(5000, 0xFF)},
      {"bad block after 50000 good bytes", late},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Loaded l = LoadFile(dir, writer::WrapRegion(c.region, true, {}), Native());
    EXPECT_EQ(l.code, kMsgBroken);
    EXPECT_FALSE(l.payload_open);
  }
}

// A payload longer than payload positions can address is useless, and a
// small deflate stream can inflate to gigabytes: loading stops with 1 as
// soon as the payload would pass the limit, never writing past it. The
// limit is lowered here; the loader uses 2^31 - 1.
TEST(LoadContainer, PayloadPastTheLimitGives1) {
  ScratchDir dir;
  const std::string rest = Repetitive(50000);
  const std::string payload = "n" + rest;  // 50001 bytes
  const Bytes deflated = MakeContainer("n", "", rest, true);
  const Bytes stored = MakeContainer("n", "", rest, false);
  const Bytes cut = writer::WrapRegion(UnfinishedDeflate(payload), true, {});
  // 16 MiB of zeros: about 16 KiB of deflate stream.
  const Bytes bomb = writer::RawDeflate(Bytes(16u << 20, 0), 9);
  ASSERT_LT(bomb.size(), 32u << 10);
  struct Case {
    const char* what;
    Bytes file;
    uint32_t limit;
    MsgCode rc;
  };
  const Case cases[] = {
      {"deflated, one byte over", deflated, 50000, kMsgBroken},
      {"deflated, exactly the limit", deflated, 50001, kOk},
      {"deflated, limit below one piece", deflated, 100, kMsgBroken},
      {"stored, one byte over", stored, 50000, kMsgBroken},
      {"stored, exactly the limit", stored, 50001, kOk},
      {"deflate bomb", writer::WrapRegion(bomb, true, {}), 1u << 18,
       kMsgBroken},
      // A region that ends inside its deflate stream is held to the limit
      // as well.
      {"region ends inside the stream", cut, 50000, kMsgBroken},
      {"region ends inside the stream, within the limit", cut, 50001, kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir.Write("patch.exe", writer::ToString(c.file));
    const Platform* os = Faulty(Faults());
    SessionBox s(os);
    StrSetZ(&s->own_path, dir.Path("patch.exe").c_str());
    ContainerFacts facts;
    EXPECT_EQ(LoadContainerWithLimit(s.get(), &facts, c.limit), c.rc);
    EXPECT_LE(g_faults.written, (int64_t)c.limit);
    EXPECT_EQ((int64_t)facts.payload_length, g_faults.written);
    EXPECT_EQ(s->payload != 0, c.rc == kOk);
    if (c.rc == kOk) {
      EXPECT_EQ(ReadWholePayload(s.get()), payload);
    }
    // A stored region's length is known: nothing is copied.
    if (c.rc != kOk && !(facts.flags & kContainerFlagDeflated)) {
      EXPECT_EQ(g_faults.written, 0);
    }
  }
}

// Loads `file` through fault.os() with a session of its own: only the
// loader's calls reach the table.
MsgCode LoadThrough(const ScratchDir& dir, const Bytes& file,
                    FaultPlatform* fault, bool* payload_open) {
  dir.Write("patch.exe", writer::ToString(file));
  SessionBox s(fault->os());
  StrSetZ(&s->own_path, dir.Path("patch.exe").c_str());
  MsgCode rc = LoadContainer(s.get());
  *payload_open = s->payload != 0;
  return rc;
}

TEST(LoadContainer, TemporaryFileFailuresGive39) {
  ScratchDir dir;
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    Bytes file = MakeContainer("n", "d", Repetitive(6000), deflate);
    bool open = true;
    {
      FaultPlatform fault;
      fault.FailCall(kFaultCreateTempFile, 1);
      EXPECT_EQ(LoadThrough(dir, file, &fault, &open), kMsgTempFull);
      EXPECT_EQ(fault.Calls(kFaultRead), 2);  // trailer and header only
    }
    // The temporary folder fills up part way through the payload.
    for (int64_t room : {0, 1, 1023, 1024, 4000, 6000}) {
      SCOPED_TRACE(room);
      FaultPlatform fault;
      fault.LimitWrites(room);
      EXPECT_EQ(LoadThrough(dir, file, &fault, &open), kMsgTempFull);
      EXPECT_FALSE(open);
    }
    // Each write failing in turn.
    int writes;
    {
      FaultPlatform fault;
      ASSERT_EQ(LoadThrough(dir, file, &fault, &open), kOk);
      writes = fault.Calls(kFaultWrite);
      ASSERT_GE(writes, 6);
    }
    for (int k = 1; k <= writes; k++) {
      SCOPED_TRACE(k);
      FaultPlatform fault;
      fault.FailCall(kFaultWrite, k);
      EXPECT_EQ(LoadThrough(dir, file, &fault, &open), kMsgTempFull);
      EXPECT_FALSE(open);
    }
  }
}

// Every platform call the loader makes, failed in turn: the code of the
// step it belongs to, never success, and no payload stream left open.
TEST(LoadContainer, EveryFailedCallGivesACode) {
  ScratchDir dir;
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    Bytes file = MakeContainer("notice", "description", Repetitive(5000),
                               deflate, "MZ");
    std::vector<std::string> calls;
    {
      FaultPlatform fault;
      fault.Record(true);
      bool open = false;
      ASSERT_EQ(LoadThrough(dir, file, &fault, &open), kOk);
      calls = fault.log();
    }
    int count[kFaultOpCount] = {};
    bool temp_made = false;
    for (const std::string& call : calls) {
      std::string op = call.substr(0, call.find(' '));
      if (op == "close") continue;
      FaultOp which = kFaultOpCount;
      for (int o = 0; o < kFaultAnyFileOp; o++)
        if (op == FaultOpName((FaultOp)o)) which = (FaultOp)o;
      ASSERT_NE(which, kFaultOpCount) << call;
      int k = ++count[which];
      SCOPED_TRACE(call + " #" + std::to_string(k));
      MsgCode want;
      switch (which) {
        case kFaultOpenFile: want = kMsgCannotOpenSelf; break;
        case kFaultCreateTempFile: want = kMsgTempFull; break;
        case kFaultWrite: want = kMsgTempFull; break;
        case kFaultFileSize: want = kMsgNotAPatch; break;
        // Seeks of the executable; then the payload stream's rewind.
        case kFaultSeek: want = temp_made ? kMsgTempFull : kMsgNotAPatch; break;
        default: want = -1;  // reads: checked in EveryFailedReadGivesItsStepsCode
      }
      if (which == kFaultCreateTempFile) temp_made = true;
      FaultPlatform fault;
      fault.FailCall(which, k);
      bool open = true;
      MsgCode rc = LoadThrough(dir, file, &fault, &open);
      EXPECT_NE(rc, kOk);
      if (want >= 0) {
        EXPECT_EQ(rc, want);
      }
      EXPECT_FALSE(open);
    }
  }
}

// Fails (or cuts short) each read in turn. The reads come in a fixed order:
// trailer, header, the region's pieces, then the notice and the
// description from the payload stream.
TEST(LoadContainer, EveryFailedReadGivesItsStepsCode) {
  ScratchDir dir;
  for (bool deflate : {false, true}) {
    for (bool short_read : {false, true}) {
      SCOPED_TRACE(std::string(deflate ? "deflated" : "stored") +
                   (short_read ? ", short reads" : ", failed reads"));
      Bytes file = MakeContainer("notice", "description",
                                 RandomBytes(3000, 11), deflate);
      Loaded whole = LoadFile(dir, file, Faulty(Faults{}));
      ASSERT_EQ(whole.code, kOk);
      // The fixture's own read of the whole payload is not the loader's.
      int reads = g_faults.reads - 1;
      ASSERT_GE(reads, 7);
      for (int k = 1; k <= reads; k++) {
        SCOPED_TRACE(k);
        Faults f;
        f.fail_read_at = k;
        f.short_read = short_read;
        Loaded l = LoadFile(dir, file, Faulty(f));
        MsgCode want = k <= 2 ? kMsgNotAPatch
                     : k <= reads - 2 ? kMsgBroken
                     : kMsgNoPatch;
        EXPECT_EQ(l.code, want);
        EXPECT_FALSE(l.payload_open);
      }
    }
  }
}

TEST(LoadContainer, TextsLongerThanThePayloadGive14) {
  ScratchDir dir;
  struct Case {
    uint16_t notice, description;
  };
  // The payload holds 20 bytes.
  const Case cases[] = {{21, 0}, {20, 1}, {0, 21}, {1000, 0}, {1500, 0}, {65535, 65535}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.notice) + "+" + std::to_string(c.description));
    for (bool deflate : {false, true}) {
      ContainerOptions o;
      o.deflate = deflate;
      o.notice_length = c.notice;
      o.description_length = c.description;
      Loaded l = LoadFile(
          dir, writer::WriteContainer(writer::ToBytes(std::string(20, 'a')), o),
          Native());
      EXPECT_EQ(l.code, kMsgNoPatch);
      EXPECT_FALSE(l.payload_open);
      EXPECT_EQ(l.notice_calls, 0);
    }
  }
}

// --- The texts ---------------------------------------------------------------

TEST(LoadContainer, NoticePreparation) {
  struct Case {
    std::string stored, shown;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"keep#%drop", "keep"},
      {"#%all dropped", ""},
      {"ends in #", "ends in #"},
      {"#", "#"},
      {"%# is no pair", "%# is no pair"},
      {"##%", "#"},
      {"a#b%c", "a#b%c"},
      {"line\0line\0"s, "line\nline\n"},
      {"a\0b#%c\0d"s, "a\nb"},
      {"\0\0"s, "\n\n"},
      {"\xa4\xa4\xa4\xe5#%\xa4\xa4"s, "\xa4\xa4\xa4\xe5"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    Loaded l = LoadFile(dir, MakeContainer(c.stored, "", "TABLE", true), Native());
    ASSERT_EQ(l.code, kOk);
    EXPECT_EQ(l.notice_calls, 1);
    EXPECT_EQ(l.notice, c.shown);
    EXPECT_EQ(l.group_table_pos, c.stored.size());
    EXPECT_EQ(l.payload.substr(l.group_table_pos), "TABLE");
  }
}

TEST(LoadContainer, DescriptionPreparation) {
  struct Case {
    std::string stored, shown;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"one line", "one line"},
      {"a\0b\0\0c"s, "a\x01" "b\x01\x01" "c"},
      {"\0"s, "\x01"},
      {"#% is not special here", "#% is not special here"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    Loaded l = LoadFile(dir, MakeContainer("N", c.stored, "T", false), Native());
    ASSERT_EQ(l.code, kOk);
    EXPECT_EQ(l.description_calls, 1);
    EXPECT_EQ(l.description, c.shown);
    EXPECT_EQ(l.group_table_pos, 1 + c.stored.size());
  }
  // Empty: the pane is never shown; the notice is still kept.
  Loaded l = LoadFile(dir, MakeContainer("N", "", "T", false), Native());
  ASSERT_EQ(l.code, kOk);
  EXPECT_EQ(l.description_calls, 0);
  EXPECT_EQ(l.notice_calls, 1);
  EXPECT_EQ(l.notice, "N");
}

// Texts over 1000 bytes keep their first 1000; the cursor and the
// group-table position still move past all the stored bytes.
TEST(LoadContainer, LongTextsAreCutNotOverflowed) {
  struct Case {
    size_t notice, description;
  };
  const Case cases[] = {{1000, 1000}, {1001, 0}, {1500, 2500}, {65535, 65535}};
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.notice) + "+" + std::to_string(c.description));
    std::string notice = RandomBytes(c.notice, 12);
    std::string description = RandomBytes(c.description, 13);
    // No NULs, no '#%' pairs: the kept text is exactly the stored prefix.
    for (char& ch : notice) ch = (char)('A' + (uint8_t)ch % 26);
    for (char& ch : description) ch = (char)('a' + (uint8_t)ch % 26);
    Loaded l = LoadFile(dir, MakeContainer(notice, description, "TABLE", true),
                        Native());
    ASSERT_EQ(l.code, kOk);
    EXPECT_EQ(l.notice, notice.substr(0, 1000));
    EXPECT_EQ(l.description, description.substr(0, 1000));
    EXPECT_EQ(l.group_table_pos, c.notice + c.description);
    EXPECT_EQ(l.cursor, l.group_table_pos);
    EXPECT_EQ(l.payload.substr(l.group_table_pos), "TABLE");
  }
  // A "#%" pair split by the cut is no pair: the kept '#' stays.
  std::string notice = std::string(999, 'x') + "#%tail";
  Loaded l = LoadFile(dir, MakeContainer(notice, "", "", false), Native());
  ASSERT_EQ(l.code, kOk);
  EXPECT_EQ(l.notice, std::string(999, 'x') + "#");
}

// --- Corrupt input -------------------------------------------------------------

// Every truncation and every flipped byte of a small patch file gives a
// message code or success, never a crash; success always leaves a usable
// payload stream with the cursor at the group table.
TEST(LoadContainer, CorruptInputSweep) {
  ScratchDir dir;
  for (bool deflate : {false, true}) {
    SCOPED_TRACE(deflate ? "deflated" : "stored");
    using namespace std::string_literals;
    Bytes file = MakeContainer("Notice\0two#%x"s, "Desc\0"s,
                               Repetitive(100) + RandomBytes(20, 14), deflate,
                               "MZ-stub");
    auto check = [&](const Bytes& f) {
      Loaded l = LoadFile(dir, f, Native(), true);
      EXPECT_TRUE(l.code == kOk || l.code == kMsgNotAPatch ||
                  l.code == kMsgBroken || l.code == kMsgNoPatch)
          << l.code;
      EXPECT_EQ(l.payload_open, l.code == kOk);
      if (l.code == kOk) {
        EXPECT_EQ(l.group_table_pos,
                  (uint32_t)l.facts.notice_length + l.facts.description_length);
        EXPECT_EQ(l.cursor, l.group_table_pos);
        EXPECT_LE(l.notice.size(), 1000u);
        EXPECT_LE(l.description.size(), 1000u);
      }
      return l.code;
    };
    for (size_t n = 0; n < file.size(); n++) {
      SCOPED_TRACE("cut to " + std::to_string(n));
      check(Bytes(file.begin(), file.begin() + n));
    }
    for (size_t i = 0; i < file.size(); i++) {
      SCOPED_TRACE("flipped byte " + std::to_string(i));
      for (uint8_t mask : {0xFF, 0x01}) {
        Bytes f = file;
        f[i] ^= mask;
        check(f);
      }
    }
  }
}

}  // namespace
