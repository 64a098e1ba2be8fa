// The rebuild over open files: the applier's form.
//
// The old file is read with random access; the position it was left at is
// remembered so that consecutive pieces need no seek, and small reads come
// from a read-ahead block (the old file does not change during a rebuild,
// so what it holds stays true). Small appends are
// gathered into blocks of up to 1024 bytes, so an insert of 255-byte pieces
// costs a quarter of the writes; the output as the rebuild sees it is the
// file followed by the gathered bytes, and a read-back takes each part from
// where it is, leaving the file positioned at its end.
// A seek that fails counts as a failed read, since the bytes would come from
// (or the next append go to) the wrong place. A write that stores fewer bytes
// than asked is a failure too: the register already holds every byte, so a
// silently short file would pass the final comparison.
#include "delta/rebuild.h"

#include <string.h>

namespace {

bool ReadStream(void* ctx, int which, uint8_t* buf, int32_t n, int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  *got = 0;
  return f->os->read(f->stream[which], buf, n, got);
}

bool ReadOldFile(FileRebuild* f, int32_t pos, uint8_t* buf, int32_t n,
                 int32_t* got) {
  const Platform* os = f->os;
  *got = 0;
  if (f->old_pos != pos) {
    f->old_pos = -1;
    if (os->seek(f->old_file, pos) == kInvalidSize) return false;
  }
  if (!os->read(f->old_file, buf, n, got) || *got < 0 || *got > n) {
    f->old_pos = -1;
    *got = 0;
    return false;
  }
  f->old_pos = pos + *got;
  return true;
}

// Copies read whole 1024-byte pieces straight into their buffer; the small
// reads of differences walk forward through the old file and are served
// from the read-ahead.
bool ReadOld(void* ctx, int32_t pos, uint8_t* buf, int32_t n, int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  if (n >= kFileRebuildGather) return ReadOldFile(f, pos, buf, n, got);
  bool hit = pos >= f->ahead_pos &&
             (int64_t)pos + n <= (int64_t)f->ahead_pos + f->ahead_len;
  if (!hit) {
    f->ahead_len = 0;
    int32_t filled = 0;
    if (!ReadOldFile(f, pos, f->ahead, kFileRebuildGather, &filled)) {
      *got = 0;
      return false;
    }
    f->ahead_pos = pos;
    f->ahead_len = filled;
  }
  int32_t k = f->ahead_pos + f->ahead_len - pos;
  if (k > n) k = n;
  memcpy(buf, f->ahead + (pos - f->ahead_pos), (size_t)k);
  *got = k;
  return true;
}

bool ReadOutput(void* ctx, int32_t pos, uint8_t* buf, int32_t n,
                int32_t* got) {
  FileRebuild* f = (FileRebuild*)ctx;
  const Platform* os = f->os;
  *got = 0;
  int32_t in_file = pos < f->output_end ? f->output_end - pos : 0;
  if (in_file > n) in_file = n;
  if (in_file > 0) {
    int32_t done = 0;
    bool ok = os->seek(f->output, pos) != kInvalidSize &&
              os->read(f->output, buf, in_file, &done);
    if (os->seek(f->output, f->output_end) == kInvalidSize) ok = false;
    if (!ok) return false;
    if (done != in_file) {  // the file lacks bytes it should have
      *got = done < 0 ? 0 : done;
      return true;
    }
  }
  int32_t at = pos + in_file - f->output_end;  // into the gathered bytes
  int32_t rest = n - in_file;
  if (rest > f->pending_len - at) rest = f->pending_len - at;
  if (rest > 0) memcpy(buf + in_file, f->pending + at, (size_t)rest);
  *got = in_file + (rest > 0 ? rest : 0);
  return true;
}

bool WriteOut(FileRebuild* f, const uint8_t* buf, int32_t n) {
  int32_t done = 0;
  bool ok = f->os->write(f->output, buf, n, &done);
  if (done > 0 && done <= n) f->output_end += done;
  return ok && done == n;
}

bool Flush(void* ctx) {
  FileRebuild* f = (FileRebuild*)ctx;
  int32_t n = f->pending_len;
  f->pending_len = 0;
  return n == 0 || WriteOut(f, f->pending, n);
}

bool Append(void* ctx, const uint8_t* buf, int32_t n) {
  FileRebuild* f = (FileRebuild*)ctx;
  if (n <= 0) return true;
  if (n > kFileRebuildGather - f->pending_len && !Flush(f)) return false;
  if (n >= kFileRebuildGather) return WriteOut(f, buf, n);
  memcpy(f->pending + f->pending_len, buf, (size_t)n);
  f->pending_len += n;
  return f->pending_len < kFileRebuildGather || Flush(f);
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
  f->pending_len = 0;
  f->ahead_pos = 0;
  f->ahead_len = 0;
  RebuildIo io;
  io.ctx = f;
  io.read_stream = ReadStream;
  io.read_old = ReadOld;
  io.read_output = ReadOutput;
  io.append_output = Append;
  io.finish = Flush;
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
