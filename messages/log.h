// The list-box log: 78-byte word wrap, the live last line, the pump.
//
// A message is expanded and laid out byte by byte: spaces and line breaks
// (CR, from "%n") separate words; a word goes on the current line when it
// fits within kLogWrapWidth bytes, otherwise it ends the line and starts the
// next. A word is never split. The line still being built is kept visible as
// the list's last line and replaced each time it grows; a message without a
// final line break leaves its line open for the next message.
//
// Every change of the list is made with redrawing suspended and followed by
// a pump, so the window stays painted and the user can cancel during a run.
//
// hooks.line_done, when set, is called once for every line that has ended,
// with its final text and at the moment it ends: at a CR, or when a word
// wraps to the next line. An empty line is reported as "". The line still
// open after a message is not reported until it ends; a caller that wants it
// anyway (the command-line tool at exit) reads s->log.pending.
#ifndef SELFPATCH_MESSAGES_LOG_H
#define SELFPATCH_MESSAGES_LOG_H

#include "core/session.h"

void LogMessage(Session* s, MsgCode code);
void LogError(Session* s, MsgCode code);  // same output, for failure results
// Empties the list and the log state; the next message starts a fresh line.
void LogClear(Session* s);

#endif
