// The identities of the files this run moved into backup folders.
#include <stdlib.h>

#include "apply/passes.h"
#include "fsutil/fsutil.h"

namespace {

bool IdentityAt(const Platform* os, const char* path, FileIdentity* out) {
  PlatformFile f = FsOpenForReading(os, path);
  if (!f) return false;
  bool ok = os->file_identity(f, out);
  os->close(f);
  return ok;
}

bool SameIdentity(const FileIdentity* a, const FileIdentity* b) {
  return a->volume == b->volume && a->index_high == b->index_high &&
         a->index_low == b->index_low;
}

}  // namespace

bool RunBackupsReserve(Session* s) {
  if (s->run_backup_count < s->run_backup_cap) return true;
  int32_t cap = s->run_backup_cap > 0 ? s->run_backup_cap * 2 : 64;
  if (cap > (1 << 24)) return false;
  FileIdentity* grown = (FileIdentity*)realloc(
      s->run_backups, (size_t)cap * sizeof(FileIdentity));
  if (!grown) return false;
  s->run_backups = grown;
  s->run_backup_cap = cap;
  return true;
}

void RunBackupsRemember(Session* s, const char* path) {
  if (s->run_backup_count >= s->run_backup_cap) return;
  if (IdentityAt(s->os, path, &s->run_backups[s->run_backup_count]))
    s->run_backup_count++;
}

bool RunBackupsHold(const Session* s, const char* path) {
  if (s->run_backup_count == 0) return false;
  FileIdentity id;
  if (!IdentityAt(s->os, path, &id)) return false;
  for (int32_t i = 0; i < s->run_backup_count; i++) {
    if (SameIdentity(&id, &s->run_backups[i])) return true;
  }
  return false;
}
