// selfpatch apply PATCH [FOLDER] [--yes] [--registry FILE.reg]
//
// Runs the whole apply run of the patch at the end of PATCH on FOLDER (the
// current folder by default), as the Windows program does, over the POSIX
// platform. Every log line is printed as soon as it is complete, in UTF-8.
// The exit status is the run's result: 0 when applied, otherwise its message
// code (7 or 10 when a file could not be moved aside and the rest was left
// for a restart). Usage errors exit with 2, a code no message has.
//
// The restart question is answered No unless --yes is given. This tool
// cannot restart the system or keep moves for a restart: the moves the run
// scheduled are printed on the error stream instead, for the user to carry
// out.
//
// Without --registry the registry is empty; with it the REGEDIT4 file is
// loaded before the run and the whole registry written back to it after.
#include "cli/cmd_apply.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "apply/apply_run.h"
#include "cli/commands.h"
#include "cli/patch_session.h"
#include "cli/reg_file.h"
#include "messages/log.h"
#include "platform/posix_hooks.h"

namespace {

struct Console {
  FILE* out;
  FILE* err;
  bool yes;
};

void OnLineDone(void* ctx, const char* line) {
  Console* c = (Console*)ctx;
  fprintf(c->out, "%s\n", Cp950ToUtf8(line).c_str());
  fflush(c->out);
}

bool OnAsk(void* ctx, const char* text, const char* caption, uint32_t) {
  Console* c = (Console*)ctx;
  fprintf(c->err, "[%s]%s\n-> %s\n", Cp950ToUtf8(caption).c_str(),
          Cp950ToUtf8(text).c_str(), c->yes ? "Yes (--yes)" : "No");
  return c->yes;
}

void ReportRestartSchedule(FILE* err) {
  int32_t moves = PosixDelayedMoveCount();
  int32_t lines = PosixProfileWriteCount();
  if (moves == 0 && lines == 0) return;
  fprintf(err,
          "selfpatch apply: moves left for a restart (not carried out by "
          "this tool):\n");
  for (int32_t i = 0; i < moves; i++) {
    const char* from;
    const char* to;
    if (PosixDelayedMove(i, &from, &to))
      fprintf(err, "  move %s -> %s\n", Cp950ToUtf8(from).c_str(),
              Cp950ToUtf8(to).c_str());
  }
  for (int32_t i = 0; i < lines; i++) {
    PosixProfileWrite w;
    if (PosixProfileWriteAt(i, &w) && w.key && w.value)
      fprintf(err, "  move %s -> %s\n", Cp950ToUtf8(w.value).c_str(),
              Cp950ToUtf8(w.key).c_str());
  }
}

}  // namespace

int ApplyMain(int argc, char** argv, FILE* out, FILE* err) {
  PatchArgs o;
  int status;
  if (!ReadPatchArgs("selfpatch apply", true, argc, argv, &o, err, &status))
    return status;
  PosixClearRecords();

  PatchSession ps;
  MsgCode rc = ps.Open("selfpatch apply", o.patch, o.folder, err);
  if (rc != kOk) return rc;
  Session* s = ps.s();
  Console console = {out, err, o.yes};
  s->hooks.ctx = &console;
  s->hooks.line_done = OnLineDone;
  s->hooks.ask = OnAsk;

  rc = ApplyRun(s);
  // As the window's Apply action does after a run that succeeded.
  if (rc == kOk) LogMessage(s, kMsgSuccess);
  // The line still open at the end (a failure text without a final break).
  const Str* pending = &s->log.pending;
  if (strspn(pending->s, " ") < (size_t)pending->len)
    OnLineDone(&console, pending->s);
  ReportRestartSchedule(err);

  if (o.registry) {
    std::string error;
    if (!SaveRegFile(o.registry, &error))
      fprintf(err, "selfpatch apply: %s\n", error.c_str());
  }
  fflush(out);
  fflush(err);
  return rc;
}

int CmdApply(int argc, char** argv) {
  return ApplyMain(argc, argv, stdout, stderr);
}
