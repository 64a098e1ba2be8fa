#include <stdio.h>

#include "cli/commands.h"

// Placeholder until this command lands.
int CmdMake(int, char**) {
  fprintf(stderr, "selfpatch make: not available in this build\n");
  return 2;
}
