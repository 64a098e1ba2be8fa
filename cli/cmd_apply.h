// selfpatch apply: the whole apply run of a patch on a folder.
#ifndef SELFPATCH_CLI_CMD_APPLY_H
#define SELFPATCH_CLI_CMD_APPLY_H

#include <stdio.h>

// CmdApply with its output streams named, so tests can capture them.
int ApplyMain(int argc, char** argv, FILE* out, FILE* err);

#endif
