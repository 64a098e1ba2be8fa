// Reading the command line: a pure function of its bytes.
#ifndef SELFPATCH_SHELL_COMMAND_LINE_H
#define SELFPATCH_SHELL_COMMAND_LINE_H

#include "core/str.h"

// Sets *chosen to "." or to the one folder argument. Returns false when the
// usage box is due: "-h" anywhere, a second argument, or no own path.
bool ReadCommandLine(const char* line, bool own_path_set, Str* chosen);

#endif
