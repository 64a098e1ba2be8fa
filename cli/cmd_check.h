// selfpatch check: a dry run of a patch on a folder.
#ifndef SELFPATCH_CLI_CMD_CHECK_H
#define SELFPATCH_CLI_CMD_CHECK_H

#include <stdio.h>

// CmdCheck with its output streams named, so tests can capture them.
int CheckMain(int argc, char** argv, FILE* out, FILE* err);

#endif
