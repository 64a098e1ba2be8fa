#include "shell/command_line.h"

namespace {

struct Reader {
  Str token;      // the token being built
  int32_t index;  // 1 for the program's name
  bool usage;     // the usage box is due
};

// Handles one finished, non-empty token.
void TakeToken(Reader* r, Str* chosen) {
  const Str* t = &r->token;
  if (t->len == 2 && !t->overflow && t->s[0] == '-' && t->s[1] == 'h') {
    r->usage = true;
  } else if (r->index == 2) {
    // Cutting a longer argument would name some other folder.
    if (t->overflow || t->len > kMaxFolderArgument)
      r->usage = true;
    else
      StrCopy(chosen, t);
  } else if (r->index >= 3) {
    r->usage = true;
  }
  ++r->index;
  StrClear(&r->token);
}

}  // namespace

bool ReadCommandLine(const char* line, bool own_path_set, Str* chosen) {
  StrSetZ(chosen, ".");
  if (!line) line = "";
  Reader r;
  StrClear(&r.token);
  r.index = 1;
  r.usage = false;
  bool quoting = false;
  // The walk sees the line followed by one space, so the last token ends
  // like the others, unless the line ended inside quotes.
  for (const char* p = line;; ++p) {
    char b = *p ? *p : ' ';
    if (b == '"') {
      quoting = !quoting;
    } else if (b == ' ' && !quoting) {
      if (r.token.len != 0) TakeToken(&r, chosen);
      if (r.usage) return false;
    } else {
      StrCatCh(&r.token, b);
    }
    if (!*p) break;
  }
  return own_path_set;
}
