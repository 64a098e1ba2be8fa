// Throughput of the rebuild and of CRC-32, each beside a plain copy of the
// same bytes measured in the same run.
//
//   rebuild_bench [MiB]        (default 32: the size of each new file)
//
// Two generated deltas: a copy-heavy one (long copies of the old file with
// short added trailers every few KiB, as an encoder emits for a recompiled
// binary) and an insert-heavy one (nearly every byte from the insert
// stream, half the pieces raw and half added). Each is rebuilt in memory
// (the maker's check) and through temporary files (the applier), best of
// three runs of processor time. Ratios are rebuild time over plain-copy
// time: 1.0 would mean the rebuild costs no more than moving its output.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <random>
#include <vector>

#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "support/test_encoder.h"

namespace {

// Processor time of this process (user and system), so that other work on
// a shared machine does not count; temporary files stay in the page cache,
// so their system time is the I/O cost.
double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

template <typename F>
double BestOf3(F f) {
  double best = 1e30;
  for (int i = 0; i < 3; i++) {
    double t0 = CpuSeconds();
    f();
    double s = CpuSeconds() - t0;
    if (s < best) best = s;
  }
  return best;
}

void Fill(Bytes* b, size_t n, std::mt19937_64* rng) {
  b->resize(n);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = (*rng)();
    memcpy(b->data() + i, &v, 8);
  }
  for (; i < n; i++) (*b)[i] = (uint8_t)(*rng)();
}

// Long copies of the old file, walking forward with small jumps, each with
// a 4-byte trailer that mostly repeats the old bytes (zero differences).
EncodedDelta CopyHeavy(const Bytes& old, size_t new_size, std::mt19937_64* rng) {
  TestDeltaOptions opt;
  opt.trailer_group_size = 16;
  opt.insert_block_size = 64;
  TestEncoder enc(old, opt);
  int64_t pos = 0;
  while (enc.output().size() < new_size) {
    int64_t len = 2048 + (int64_t)((*rng)() % 30000);
    if (pos + len + 4 > (int64_t)old.size()) pos = (int64_t)((*rng)() % 4096);
    Bytes trailer(old.begin() + pos + len, old.begin() + pos + len + 4);
    if ((*rng)() % 3 == 0) trailer[(*rng)() % 4] ^= 0x5A;
    if (!enc.NextCopyStartsGroup()) trailer.resize((size_t)enc.TrailerLength());
    else trailer.resize(4);
    enc.Copy((int32_t)pos, (int32_t)len, trailer);
    pos += len + 4 + (int64_t)((*rng)() % 64);
    if ((*rng)() % 8 == 0) {
      Bytes ins;
      Fill(&ins, 16 + (*rng)() % 200, rng);
      enc.Insert(ins, true);
    }
  }
  return enc.Finish();
}

// Inserts of 4..12 KiB in pieces of 255 bytes (the last up to 509), half of
// them added against the old bytes, separated by short copies.
EncodedDelta InsertHeavy(const Bytes& old, size_t new_size,
                         std::mt19937_64* rng) {
  TestDeltaOptions opt;
  opt.trailer_group_size = 1;
  opt.insert_block_size = 255;
  TestEncoder enc(old, opt);
  int64_t pos = 0;
  while (enc.output().size() < new_size) {
    int64_t len = 16 + (int64_t)((*rng)() % 48);
    if (pos + len > (int64_t)old.size()) pos = 0;
    enc.Copy((int32_t)pos, (int32_t)len);
    Bytes ins;
    Fill(&ins, 4096 + (*rng)() % 8192, rng);
    std::vector<bool> raw((size_t)enc.PieceCount((int64_t)ins.size()));
    for (size_t i = 0; i < raw.size(); i++) raw[i] = (*rng)() & 1;
    enc.InsertPieces(ins, raw);
    pos += len + (int64_t)ins.size();
  }
  return enc.Finish();
}

PlatformFile TempWith(const Platform* os, const Bytes& b) {
  PlatformFile f = os->create_temp_file();
  if (!f) {
    fprintf(stderr, "no temporary file\n");
    exit(1);
  }
  for (size_t at = 0; at < b.size();) {
    int32_t n = (int32_t)std::min<size_t>(b.size() - at, 1 << 20);
    int32_t done = 0;
    if (!os->write(f, b.data() + at, n, &done) || done != n) {
      fprintf(stderr, "write failed\n");
      exit(1);
    }
    at += (size_t)n;
  }
  return f;
}

// The plain file copy the rebuild is compared with: the same platform
// table, pieces of the given size, read then write.
void FileCopy(const Platform* os, PlatformFile from, PlatformFile to,
              int32_t piece) {
  std::vector<uint8_t> buf((size_t)piece);
  os->seek(from, 0);
  os->seek(to, 0);
  for (;;) {
    int32_t got = 0;
    if (!os->read(from, buf.data(), piece, &got) || got <= 0) break;
    int32_t done = 0;
    os->write(to, buf.data(), got, &done);
  }
}

void Report(const char* what, double bytes, double secs, double base_secs,
            const char* base) {
  printf("  %-34s %8.1f MiB/s   %6.2fx the time of %s\n", what,
         bytes / secs / (1 << 20), secs / base_secs, base);
}

void BenchDelta(const char* name, const Bytes& old, const EncodedDelta& d) {
  const Platform* os = PlatformNative();
  const double n = (double)d.expected.size();
  Bytes streams = d.Streams();
  printf("%s: old %.1f MiB, new %.1f MiB, streams %.1f MiB "
         "(command %.2f, insert %.2f, trailer %.2f)\n",
         name, old.size() / 1048576.0, n / 1048576.0,
         streams.size() / 1048576.0,
         d.stream[kCommandStream].size() / 1048576.0,
         d.stream[kInsertStream].size() / 1048576.0,
         d.stream[kTrailerStream].size() / 1048576.0);

  // Memory. The rebuild's output is new memory each time, so the plain
  // copy goes into new memory too (first touches of pages cost as much as
  // the copy itself on some machines).
  volatile uint32_t keep = 0;
  double t_memcpy = BestOf3([&] {
    uint8_t* sink = (uint8_t*)malloc(d.expected.size());
    memcpy(sink, d.expected.data(), d.expected.size());
    keep = sink[d.expected.size() / 2];
    free(sink);
  });
  double t_memcpy_crc = BestOf3([&] {
    uint8_t* sink = (uint8_t*)malloc(d.expected.size());
    memcpy(sink, d.expected.data(), d.expected.size());
    keep = CrcUpdate(sink, (int32_t)d.expected.size(), kCrcPreset);
    free(sink);
  });
  bool ok = true;
  double t_mem = BestOf3([&] {
    MemRebuild m;
    RebuildResult r;
    if (RebuildInMemory(&d.record, d.new_size, old.data(), (int32_t)old.size(),
                        streams.data(), (int32_t)streams.size(), &m,
                        &r) != kOk ||
        r.crc != d.new_checksum || m.out_len != d.new_size)
      ok = false;
    MemRebuildFree(&m);
  });
  (void)keep;
  Report("memory rebuild", n, t_mem, t_memcpy, "memcpy to new memory");
  Report("", n, t_mem, t_memcpy_crc, "memcpy to new memory + CRC");

  // Files.
  PlatformFile old_file = TempWith(os, old);
  PlatformFile st[kStreamCount];
  for (int i = 0; i < kStreamCount; i++) st[i] = TempWith(os, d.stream[i]);
  PlatformFile new_file = TempWith(os, d.expected);
  double t_copy1k = BestOf3([&] {
    PlatformFile out = os->create_temp_file();
    FileCopy(os, new_file, out, 1024);
    os->close(out);
  });
  double t_copy64k = BestOf3([&] {
    PlatformFile out = os->create_temp_file();
    FileCopy(os, new_file, out, 65536);
    os->close(out);
  });
  double t_file = BestOf3([&] {
    PlatformFile out = os->create_temp_file();
    os->seek(old_file, 0);
    for (int i = 0; i < kStreamCount; i++) os->seek(st[i], 0);
    RebuildResult r;
    if (RebuildFiles(os, &d.record, d.new_size, old_file, out, st, nullptr,
                     nullptr, &r) != kOk ||
        r.crc != d.new_checksum || r.byte_count != d.new_size ||
        os->file_size(out) != (uint32_t)d.new_size)
      ok = false;
    os->close(out);
  });
  Report("file rebuild", n, t_file, t_copy1k, "a 1 KiB-piece file copy");
  Report("", n, t_file, t_copy64k, "a 64 KiB-piece file copy");
  os->close(old_file);
  os->close(new_file);
  for (int i = 0; i < kStreamCount; i++) os->close(st[i]);
  if (!ok) {
    fprintf(stderr, "%s: the rebuild did not reproduce the new file\n", name);
    exit(1);
  }
}

void BenchCrc(size_t size, std::mt19937_64* rng) {
  const Platform* os = PlatformNative();
  Bytes data;
  Fill(&data, size, rng);
  Bytes sink(size);
  const double n = (double)size;
  printf("CRC-32 over %.1f MiB\n", n / 1048576.0);
  volatile uint32_t keep = 0;
  double t_memcpy =
      BestOf3([&] { memcpy(sink.data(), data.data(), data.size()); });
  double t_crc = BestOf3(
      [&] { keep = CrcUpdate(data.data(), (int32_t)size, kCrcPreset); });
  Report("buffer", n, t_crc, t_memcpy, "memcpy");

  PlatformFile f = TempWith(os, data);
  std::vector<uint8_t> buf(1024);
  double t_read = BestOf3([&] {
    os->seek(f, 0);
    int32_t got = 0;
    while (os->read(f, buf.data(), 1024, &got) && got > 0) {
    }
  });
  double t_file = BestOf3([&] { keep = CrcFileWithHole(os, f, 0, 0); });
  if (keep != CrcUpdate(data.data(), (int32_t)size, kCrcPreset)) {
    fprintf(stderr, "file CRC differs from buffer CRC\n");
    exit(1);
  }
  Report("file (1 KiB pieces)", n, t_file, t_read,
         "reading the file in 1 KiB pieces");
  os->close(f);
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? (size_t)atoi(argv[1]) : 32;
  if (mib < 1 || mib > 1000) {
    fprintf(stderr, "usage: rebuild_bench [MiB, 1..1000]\n");
    return 2;
  }
  const size_t size = mib << 20;
  std::mt19937_64 rng(20240601);
  Bytes old;
  Fill(&old, size, &rng);

  EncodedDelta copy_heavy = CopyHeavy(old, size, &rng);
  BenchDelta("copy-heavy delta", old, copy_heavy);
  copy_heavy = EncodedDelta();
  EncodedDelta insert_heavy = InsertHeavy(old, size, &rng);
  BenchDelta("insert-heavy delta", old, insert_heavy);
  insert_heavy = EncodedDelta();
  BenchCrc(size * 2, &rng);
  return 0;
}
