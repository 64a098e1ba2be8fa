#include <stdio.h>
#include <string.h>

#include "cli/commands.h"

static int Usage(FILE* out) {
  fprintf(out,
          "usage: selfpatch COMMAND ...\n"
          "  make  --old DIR [--old DIR ...] --new DIR -o OUT [options]\n"
          "  info  PATCH [--json]\n"
          "  check PATCH [FOLDER]\n"
          "  apply PATCH [FOLDER] [--yes] [--registry FILE.reg]\n");
  return out == stdout ? 0 : 2;
}

int main(int argc, char** argv) {
  if (argc < 2) return Usage(stderr);
  const char* cmd = argv[1];
  if (!strcmp(cmd, "-h") || !strcmp(cmd, "--help") || !strcmp(cmd, "help"))
    return Usage(stdout);
  if (!strcmp(cmd, "info")) return CmdInfo(argc - 2, argv + 2);
  if (!strcmp(cmd, "apply")) return CmdApply(argc - 2, argv + 2);
  if (!strcmp(cmd, "check")) return CmdCheck(argc - 2, argv + 2);
  if (!strcmp(cmd, "make")) return CmdMake(argc - 2, argv + 2);
  fprintf(stderr, "selfpatch: unknown command '%s'\n", cmd);
  return Usage(stderr);
}
