#include "shell/command_line.h"

// Placeholder until the command-line reader lands.
bool ReadCommandLine(const char* line, bool own_path_set, Str* chosen) {
  (void)line;
  StrSetZ(chosen, ".");
  return own_path_set;
}
