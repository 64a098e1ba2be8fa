#include "messages/log.h"

#include "messages/messages.h"

namespace {

void SetRedraw(Session* s, bool on) {
  if (s->list.set_redraw) s->list.set_redraw(s->list.ctx, on);
}

// Adds a line at the end of the list and shows it. Returns false when the
// list has a line count and did not take the line.
bool AddLine(Session* s, const char* text) {
  LogState* g = &s->log;
  if (s->list.add) s->list.add(s->list.ctx, text);
  if (s->list.set_top) s->list.set_top(s->list.ctx, g->line_count);
  if (s->list.count && s->list.count(s->list.ctx) != g->line_count + 1)
    return false;
  return true;
}

// Puts the pending line on the list, replacing its previous showing.
void ShowPending(Session* s) {
  LogState* g = &s->log;
  if (g->pending.len == 0) return;
  SetRedraw(s, false);
  if (g->shown) {
    --g->line_count;
    if (s->list.remove) s->list.remove(s->list.ctx, g->line_count);
  }
  bool added = AddLine(s, g->pending.s);
  SetRedraw(s, true);
  SessionPump(s);
  // A refused line is not counted, so the next showing adds instead of
  // deleting whatever line now sits at the end.
  if (added) ++g->line_count;
  g->shown = added;
}

void EndLine(Session* s) {
  LogState* g = &s->log;
  if (g->pending.len != 0) {
    ShowPending(s);
    if (s->hooks.line_done) s->hooks.line_done(s->hooks.ctx, g->pending.s);
    StrClear(&g->pending);
  } else {
    SetRedraw(s, false);
    bool added = AddLine(s, "");
    SetRedraw(s, true);
    if (added) ++g->line_count;
    SessionPump(s);
    if (s->hooks.line_done) s->hooks.line_done(s->hooks.ctx, "");
  }
  g->shown = false;
}

void EndWord(Session* s) {
  LogState* g = &s->log;
  ShowPending(s);
  if (g->word.len != 0) {
    if (g->column + g->word.len > kLogWrapWidth) {
      EndLine(s);
      g->column = g->word.len;
    } else {
      g->column += g->word.len;
    }
    StrCatStr(&g->pending, &g->word);
  }
  StrClear(&g->word);
  ShowPending(s);
}

void FeedByte(Session* s, char b) {
  LogState* g = &s->log;
  if (b == ' ') {
    // A space never wraps, even past the width: it stays on its line.
    EndWord(s);
    StrCatCh(&g->pending, ' ');
    ++g->column;
  } else if (b == '\r') {
    EndWord(s);
    EndLine(s);
    g->column = 0;
  } else {
    StrCatCh(&g->word, b);
  }
}

}  // namespace

void LogMessage(Session* s, MsgCode code) {
  Str text;
  MessageText(s, code, &text);
  for (int32_t i = 0; i < text.len; ++i) FeedByte(s, text.s[i]);
  EndWord(s);
}

void LogError(Session* s, MsgCode code) { LogMessage(s, code); }

void LogClear(Session* s) {
  LogState* g = &s->log;
  if (s->list.reset) s->list.reset(s->list.ctx);
  g->line_count = 0;
  StrClear(&g->pending);
  g->shown = false;
  g->column = 0;
  StrClear(&g->word);
}
