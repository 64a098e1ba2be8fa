// selfpatch make: a patch from version folders (maker/make_patch.h).
#ifndef SELFPATCH_CLI_CMD_MAKE_H
#define SELFPATCH_CLI_CMD_MAKE_H

#include <stdio.h>

// CmdMake with its output streams named, so tests can capture them.
// `progress` forces the progress lines on (true) or off (false) whatever
// err is; CmdMake shows them when stderr is a terminal.
int MakeMain(int argc, char** argv, FILE* out, FILE* err, bool progress);

#endif
