// Reading the command line: a pure function of its bytes.
#ifndef SELFPATCH_SHELL_COMMAND_LINE_H
#define SELFPATCH_SHELL_COMMAND_LINE_H

#include "core/str.h"

// The longest folder argument taken, in bytes: the longest target folder the
// applier handles (the Windows calls that report folders fill 1024-byte
// buffers). A longer argument cannot name a usable folder.
enum { kMaxFolderArgument = 1023 };

// Sets *chosen to "." or to the one folder argument. Returns false when the
// usage box is due: "-h" anywhere, a second argument, a folder argument
// longer than kMaxFolderArgument, or no own path. *chosen never holds a cut
// argument.
//
// The line is the whole command line, the program's name as its first
// token. Tokens are separated by runs of spaces (a tab is part of a token);
// a double quote switches quoting on or off and is dropped; a token still
// open inside quotes when the line ends is dropped.
bool ReadCommandLine(const char* line, bool own_path_set, Str* chosen);

#endif
