// Staging pass: works out the new version of every file entry and writes it
// into the group's staging folder, without touching any target file.
//
// A patched file carries a chain of sources, oldest first: the delta of
// source k turns the old version of source k into that of source k + 1, and
// the last delta yields the new file. The first source whose old file is
// present (in the target folder, or after a mismatch there in the backup
// folder) starts the chain; every later step runs on the output of the step
// before, through two alternating scratch files in the staging folder. Only
// the last output is verified, by size and checksum.
//
// Each rebuild reads its five delta streams from temporary files: every
// stream is copied out of the payload once, so the rebuild can read the
// five independently. Every file the pass opens is closed before it
// returns; what a failed step created stays in the staging folder for the
// cleanup pass (a scratch file stays, and its folder with it).
#include <string.h>

#include "apply/passes.h"
#include "container/payload_stream.h"
#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "fsutil/fsutil.h"
#include "messages/log.h"

namespace {

enum { kCopyPiece = 1024 };

// Moves count payload bytes from the cursor into f. A write that stores
// fewer bytes than asked fails too: the caller would otherwise take a cut
// file for a whole one.
bool PayloadToFile(Session* s, int32_t count, PlatformFile f) {
  uint8_t buf[kCopyPiece];
  while (count > 0) {
    int32_t n = count < kCopyPiece ? count : kCopyPiece;
    if (!PayloadRead(s, buf, n)) return false;
    int32_t done = 0;
    if (!s->os->write(f, buf, n, &done) || done != n) return false;
    count -= n;
  }
  return true;
}

// A fresh scratch file in the staging folder. The names alternate over the
// program's life, so a step's output never takes the name of its input.
PlatformFile ScratchFile(Session* s, const Str* staging, Str* path) {
  StrCopy(path, staging);
  StrCatZ(path, s->scratch_selector ? "\\BINTMP1.TMP" : "\\BINTMP2.TMP");
  if (path->overflow) return 0;
  const Platform* os = s->os;
  FsForceDelete(os, path->s);
  FsCreateParentFolders(os, path->s);
  PlatformFile f = FsCreateNewFile(os, path->s);
  s->scratch_selector = !s->scratch_selector;
  return f;
}

// Size first, the checksum only when the size matches.
bool FileMatches(const Platform* os, PlatformFile f, uint32_t size,
                 uint32_t checksum, uint32_t hole_offset,
                 uint32_t hole_length) {
  if (os->file_size(f) != size) return false;
  return CrcFileWithHole(os, f, hole_offset, hole_length) == checksum;
}

struct Streams {
  PlatformFile f[kStreamCount];
};

void CloseStreams(const Platform* os, Streams* st) {
  for (int i = 0; i < kStreamCount; i++) {
    if (st->f[i]) os->close(st->f[i]);
    st->f[i] = 0;
  }
}

// Copies the five streams of source k into temporary files, rewound.
MsgCode OpenStreams(Session* s, const SourceSlot* src, Streams* st) {
  const Platform* os = s->os;
  PayloadSeek(s, src->data_pos);
  for (int i = 0; i < kStreamCount; i++) {
    st->f[i] = os->create_temp_file();
    if (!st->f[i]) return kMsgTempFull;
    if (src->record.stream_len[i] > 0x7FFFFFFFu ||
        !PayloadToFile(s, (int32_t)src->record.stream_len[i], st->f[i]))
      return kMsgTempFull;
    os->seek(st->f[i], 0);
  }
  return kOk;
}

// The last output against the new file. The rebuild's register runs over
// every byte written; when the entry's checksum leaves a hole out, the
// staged file is read again with that hole left out instead.
bool OutputIsNewFile(Session* s, PlatformFile out, const RebuildResult* r) {
  const CurrentEntry* e = &s->entry;
  if ((uint32_t)r->byte_count != e->new_size) return false;
  if (e->hole_length == 0) return r->crc == e->new_checksum;
  if (s->os->file_size(out) != e->new_size) return false;
  return CrcFileWithHole(s->os, out, e->hole_offset, e->hole_length) ==
         e->new_checksum;
}

MsgCode StagePatched(Session* s, int32_t group) {
  const Platform* os = s->os;
  CurrentEntry* e = &s->entry;
  LogMessage(s, kMsgUpdating);

  Str staging, target, staged;
  StrCopy(&staging, &s->staging[group]);
  if (!TargetFilePath(s, &target) || !StagedFilePath(s, group, &staged))
    return kMsgStructure;

  // Already the new version: nothing to stage.
  PlatformFile t = FsOpenForReading(os, target.s);
  if (t) {
    bool same = FileMatches(os, t, e->new_size, e->new_checksum, e->hole_offset,
                            e->hole_length);
    os->close(t);
    if (same) {
      LogMessage(s, kMsgAlreadyUpdated);
      return kOk;
    }
  }

  int32_t count = e->source_count;
  if (count > kMaxSources) count = kMaxSources;  // the reader refuses more
  bool found = false;
  Str input, output;
  for (int32_t k = 0; k < count; k++) {
    const SourceSlot* src = &e->source[k];
    bool last = k == count - 1;
    bool trying_backup = false;
    PlatformFile in = 0;
    if (found) {
      StrCopy(&input, &output);
      in = FsOpenForReading(os, input.s);
      if (!in) return kMsgStructure;
    } else {
      if (!StrJoin2(&input, &s->target_folder, &src->name)) continue;
      for (;;) {
        in = FsOpenForReading(os, input.s);
        if (in) {
          if (FileMatches(os, in, src->record.old_size,
                          src->record.old_checksum, src->hole_offset,
                          src->hole_length))
            break;
          os->close(in);
          in = 0;
        } else if (trying_backup || e->optional) {
          // A missing optional file stays missing: the user may have
          // removed that component on purpose.
          break;
        }
        // The backup copy serves when the target folder holds another
        // version, and when a required file is missing: a run cut short
        // between moving the old file aside and moving the new one in
        // leaves exactly that, and running the patch again must finish it.
        if (trying_backup ||
            !StrJoin3(&input, &s->target_folder, &s->backup_name, &src->name))
          break;
        trying_backup = true;
      }
      if (!in) continue;
    }

    uint32_t expected;
    PlatformFile out;
    if (last) {
      expected = e->new_size;
      StrCopy(&output, &staged);
      FsCreateParentFolders(os, output.s);
      out = FsCreateNewFile(os, output.s);
    } else {
      expected = e->source[k + 1].record.old_size;
      out = ScratchFile(s, &staging, &output);
    }
    if (!out) {
      os->close(in);
      return kMsgDiskFull;
    }

    Streams st = {{0, 0, 0, 0, 0}};
    MsgCode r = OpenStreams(s, src, &st);
    RebuildResult res = {0, 0};
    if (r == kOk) {
      r = RebuildFiles(os, &src->record, (int32_t)expected, in, out, st.f,
                       s->hooks.pump, s->hooks.ctx, &res);
    }
    if (r == kOk && last && !OutputIsNewFile(s, out, &res)) r = kMsgBadChecksum;

    os->close(in);
    os->close(out);
    CloseStreams(os, &st);
    // The input of a later step is the scratch file the step before wrote.
    if (found) FsForceDelete(os, input.s);
    found = true;
    if (r != kOk) return r;
  }

  if (found) {
    MarkCurrent(s, kMarkStaged);
    LogMessage(s, kMsgDone);
    return kOk;
  }
  LogMessage(s, kMsgNoSource);
  if (!e->optional) return kMsgRequiredMissing;
  if (!(e->flags & kEntryQuiet)) LogMessage(s, kMsgOptionalMissing);
  return kOk;
}

// True when the target file already holds exactly the new file's bytes.
// The payload cursor is left anywhere; the caller seeks.
bool NewFileInPlace(Session* s, const Str* target) {
  const Platform* os = s->os;
  PlatformFile t = FsOpenForReading(os, target->s);
  if (!t) return false;
  uint32_t left = s->entry.data_length;
  bool same = os->file_size(t) == left && left <= 0x7FFFFFFFu;
  PayloadSeek(s, s->entry.data_pos);
  uint8_t want[kCopyPiece], have[kCopyPiece];
  while (same && left > 0) {
    int32_t n = left < kCopyPiece ? (int32_t)left : kCopyPiece;
    int32_t got = 0;
    same = PayloadRead(s, want, n) && os->read(t, have, n, &got) &&
           got == n && memcmp(want, have, (size_t)n) == 0;
    left -= (uint32_t)n;
  }
  os->close(t);
  return same;
}

MsgCode StageNew(Session* s, int32_t group) {
  const Platform* os = s->os;
  LogMessage(s, kMsgUpdating);
  Str staged, target;
  if (!StagedFilePath(s, group, &staged) || !TargetFilePath(s, &target))
    return kMsgStructure;
  // Applying a patch again must not move its own new file into the backup
  // folder: that would replace the backup of the user's original there.
  if (NewFileInPlace(s, &target)) {
    LogMessage(s, kMsgAlreadyUpdated);
    return kOk;
  }
  FsCreateParentFolders(os, staged.s);
  PayloadSeek(s, s->entry.data_pos);
  PlatformFile f = FsCreateNewFile(os, staged.s);
  if (!f) return kMsgDiskFull;
  bool ok = s->entry.data_length <= 0x7FFFFFFFu &&
            PayloadToFile(s, (int32_t)s->entry.data_length, f);
  os->close(f);
  if (!ok) return kMsgDiskFull;
  MarkCurrent(s, kMarkStaged);
  LogMessage(s, kMsgDone);
  return kOk;
}

}  // namespace

MsgCode StagingPass(Session* s, int32_t group, uint8_t kind) {
  SessionPump(s);
  if (group < 0 || group >= kMaxGroups) return kMsgStructure;
  // Room for the entry's mark before anything is made for it.
  if ((kind == kEntryPatched || kind == kEntryNew) && !MarksReserve(s))
    return kMsgDiskFull;
  switch (kind) {
    case kEntryPatched:
      return StagePatched(s, group);
    case kEntryNew:
      return StageNew(s, group);
    default:
      return kOk;
  }
}
