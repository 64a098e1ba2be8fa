#include "core/session.h"

#include <stdlib.h>
#include <string.h>

void SessionInit(Session* s, const Platform* os) {
  memset(s, 0, sizeof *s);
  s->os = os;
  s->groups.last = -1;
}

void SessionClose(Session* s) {
  if (s->payload) s->os->close(s->payload);
  if (s->exe) s->os->close(s->exe);
  s->payload = 0;
  s->exe = 0;
  free(s->committed_marks);
  s->committed_marks = 0;
  s->committed_marks_cap = 0;
  free(s->run_backups);
  s->run_backups = 0;
  s->run_backup_count = 0;
  s->run_backup_cap = 0;
}
