#include <stdio.h>

#include "cli/commands.h"

// Placeholder until this command lands.
int CmdCheck(int, char**) {
  fprintf(stderr, "selfpatch check: not available in this build\n");
  return 2;
}
