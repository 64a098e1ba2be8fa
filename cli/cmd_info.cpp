#include <stdio.h>

#include "cli/commands.h"

// Placeholder until this command lands.
int CmdInfo(int, char**) {
  fprintf(stderr, "selfpatch info: not available in this build\n");
  return 2;
}
