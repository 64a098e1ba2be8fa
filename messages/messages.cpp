#include "messages/messages.h"

#include "texts_big5.h"  // generated from messages/texts.utf8

namespace {

// Indexed by message code. Code 2 was never assigned; code 10 is the result
// of a declined restart and carries the restart question's text, so it can
// be shown if a caller ever does.
const char* const kTemplates[kMsgLast + 1] = {
    "",         kTextMsg01, "",         kTextMsg03, kTextMsg04, kTextMsg05,
    kTextMsg06, kTextMsg07, kTextMsg08, kTextMsg09, kTextMsg09, kTextMsg11,
    kTextMsg12, kTextMsg13, kTextMsg14, kTextMsg15, kTextMsg16, kTextMsg17,
    kTextMsg18, kTextMsg19, kTextMsg20, kTextMsg21, kTextMsg22, kTextMsg23,
    kTextMsg24, kTextMsg25, kTextMsg26, kTextMsg27, kTextMsg28, kTextMsg29,
    kTextMsg30, kTextMsg31, kTextMsg32, kTextMsg33, kTextMsg34, kTextMsg35,
    kTextMsg36, kTextMsg37, kTextMsg38, kTextMsg39, kTextMsg40, kTextMsg41,
};

const uint32_t kIconQuestion = 0x20;  // MB_ICONQUESTION

// A folder value of "." or ".\" reads as "this current folder"; a ".\"
// prefix on a longer value is noise to the user and is dropped.
void AppendValue(Str* out, const char* v, int32_t n) {
  if (n == 0) return;
  if ((n == 1 && v[0] == '.') || (n == 2 && v[0] == '.' && v[1] == '\\')) {
    StrCat(out, kTextCurrentFolder, (int32_t)sizeof kTextCurrentFolder - 1);
    return;
  }
  if (n > 2 && v[0] == '.' && v[1] == '\\') {
    v += 2;
    n -= 2;
  }
  StrCat(out, v, n);
}

}  // namespace

const char* MessageTemplate(MsgCode code) {
  if (code < kMsgFirst || code > kMsgLast) return "";
  return kTemplates[code];
}

void ExpandTemplate(const Session* s, const char* tmpl, Str* out) {
  StrClear(out);
  for (const char* p = tmpl; *p; ++p) {
    if (*p != '%') {
      StrCatCh(out, *p);
      continue;
    }
    // The byte after '%' is used up only when it names a placeholder;
    // otherwise the '%' stands alone and that byte is read next as usual,
    // so "%%n" gives "%" and a line break.
    switch (p[1]) {
      case 'n':
        StrCatCh(out, '\r');
        break;
      case 'p':
        AppendValue(out, s->own_path.s, s->own_path.len);
        break;
      case 'm':
        AppendValue(out, s->entry.name.s, s->entry.name.len);
        break;
      case 's':
        AppendValue(out, s->target_folder.s, s->target_folder.len);
        break;
      default:
        StrCatCh(out, '%');
        continue;
    }
    ++p;
  }
}

void MessageText(const Session* s, MsgCode code, Str* out) {
  ExpandTemplate(s, MessageTemplate(code), out);
}

bool AskQuestion(Session* s, MsgCode code, const char* caption,
                 uint32_t style) {
  if (!s->hooks.ask) return false;
  Str text;
  MessageText(s, code, &text);
  return s->hooks.ask(s->hooks.ctx, text.s, caption, style | kIconQuestion);
}
