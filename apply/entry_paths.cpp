// Paths of the current entry and the commit marks, shared by the passes.
#include <stdlib.h>
#include <string.h>

#include "apply/passes.h"

bool StagedFilePath(const Session* s, int32_t group, Str* out) {
  StrClear(out);
  if (group < 0 || group >= kMaxGroups) return false;
  return StrJoin2(out, &s->staging[group], &s->entry.name);
}

bool TargetFilePath(const Session* s, Str* out) {
  return StrJoin2(out, &s->target_folder, &s->entry.name);
}

bool BackupFilePath(const Session* s, Str* out) {
  return StrJoin3(out, &s->target_folder, &s->backup_name, &s->entry.name);
}

namespace {

// The runner numbers the entries of every pass alike, so an entry has the
// same ordinal in the commit pass and in the passes that read its mark.
int32_t CurrentOrdinal(const Session* s) { return s->entry_ordinal; }

}  // namespace

void MarksReset(Session* s) {
  if (s->committed_marks)
    memset(s->committed_marks, 0, (size_t)s->committed_marks_cap);
  s->run_backup_count = 0;
}

bool MarksReserve(Session* s) {
  int32_t i = CurrentOrdinal(s);
  if (i < 0) return false;
  if (i < s->committed_marks_cap) return true;
  int32_t cap = s->committed_marks_cap > 0 ? s->committed_marks_cap : 256;
  while (cap <= i) {
    if (cap > (1 << 29)) return false;
    cap *= 2;
  }
  uint8_t* grown = (uint8_t*)realloc(s->committed_marks, (size_t)cap);
  if (!grown) return false;
  memset(grown + s->committed_marks_cap, 0,
         (size_t)(cap - s->committed_marks_cap));
  s->committed_marks = grown;
  s->committed_marks_cap = cap;
  return true;
}

void MarkCurrent(Session* s, uint8_t bits) {
  int32_t i = CurrentOrdinal(s);
  if (i < 0 || i >= s->committed_marks_cap) return;
  s->committed_marks[i] |= bits;
}

uint8_t CurrentMarks(const Session* s) {
  int32_t i = CurrentOrdinal(s);
  if (i < 0 || i >= s->committed_marks_cap) return 0;
  return s->committed_marks[i];
}
