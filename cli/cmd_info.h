// selfpatch info: what a patch container holds, for people (and tests).
#ifndef SELFPATCH_CLI_CMD_INFO_H
#define SELFPATCH_CLI_CMD_INFO_H

#include <stdio.h>

// CmdInfo with its output streams named, so tests can capture them.
int InfoMain(int argc, char** argv, FILE* out, FILE* err);

#endif
