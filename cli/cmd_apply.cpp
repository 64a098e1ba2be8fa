#include <stdio.h>

#include "cli/commands.h"

// Placeholder until this command lands.
int CmdApply(int, char**) {
  fprintf(stderr, "selfpatch apply: not available in this build\n");
  return 2;
}
