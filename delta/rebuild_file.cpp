// The rebuild over open files: the applier's form.
//
// The old file is read with random access; the position it was left at is
// remembered so that consecutive pieces need no seek. The output is appended
// to and read back; after a read-back its position is set to its end again.
// A seek that fails counts as a failed read, since the bytes would come from
// (or the next append go to) the wrong place. A write that stores fewer bytes
// than asked is a failure too: the register already holds every byte, so a
// silently short file would pass the final comparison.
#include "delta/rebuild.h"

namespace {

bool ReadStream(void* ctx, int which, uint8_t* buf, int32_t n, int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  *got = 0;
  return f->os->read(f->stream[which], buf, n, got);
}

bool ReadOld(void* ctx, int32_t pos, uint8_t* buf, int32_t n, int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  const Platform* os = f->os;
  *got = 0;
  if (f->old_pos != pos) {
    f->old_pos = -1;
    if (os->seek(f->old_file, pos) == kInvalidSize) return false;
  }
  if (!os->read(f->old_file, buf, n, got) || *got < 0 || *got > n) {
    f->old_pos = -1;
    return false;
  }
  f->old_pos = pos + *got;
  return true;
}

bool ReadOutput(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  const Platform* os = f->os;
  *got = 0;
  bool ok = os->seek(f->output, pos) != kInvalidSize &&
            os->read(f->output, buf, n, got);
  if (os->seek(f->output, f->output_end) == kInvalidSize) ok = false;
  return ok;
}

bool Append(void* ctx, const uint8_t* buf, int32_t n) {
  FileRebuild* f = (FileRebuild*)ctx;
  int32_t done = 0;
  bool ok = f->os->write(f->output, buf, n, &done);
  if (done > 0 && done <= n) f->output_end += done;
  return ok && done == n;
}

}  // namespace

RebuildIo FileRebuildIo(FileRebuild* f, const Platform* os,
                        PlatformFile old_file, PlatformFile output,
                        const PlatformFile stream[kStreamCount],
                        void (*pump)(void*), void* pump_ctx) {
  f->os = os;
  f->old_file = old_file;
  f->output = output;
  for (int i = 0; i < kStreamCount; i++) f->stream[i] = stream[i];
  f->output_end = 0;  // newly created
  f->old_pos = -1;
  RebuildIo io;
  io.ctx = f;
  io.read_stream = ReadStream;
  io.read_old = ReadOld;
  io.read_output = ReadOutput;
  io.append_output = Append;
  io.pump = pump;
  io.pump_ctx = pump_ctx;
  return io;
}

MsgCode RebuildFiles(const Platform* os, const SourceRecord* rec,
                     int32_t new_size, PlatformFile old_file,
                     PlatformFile output,
                     const PlatformFile stream[kStreamCount],
                     void (*pump)(void*), void* pump_ctx, RebuildResult* out) {
  FileRebuild f;
  RebuildIo io =
      FileRebuildIo(&f, os, old_file, output, stream, pump, pump_ctx);
  return Rebuild(rec, new_size, &io, out);
}
