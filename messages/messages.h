// The message table, template expansion and the question box.
#ifndef SELFPATCH_MESSAGES_MESSAGES_H
#define SELFPATCH_MESSAGES_MESSAGES_H

#include <stdint.h>

#include "core/session.h"

// The Big5 template of a code, NUL-terminated; "" for 0, 2 and codes outside
// 1..41.
const char* MessageTemplate(MsgCode code);

// Expands "%n" (CR), "%p" (own path), "%m" (entry name) and "%s" (target
// folder) from the session's run-state strings.
void ExpandTemplate(const Session* s, const char* tmpl, Str* out);

// ExpandTemplate(MessageTemplate(code)).
void MessageText(const Session* s, MsgCode code, Str* out);

// Question box: text of `code`, the caption, style | MB_ICONQUESTION; true
// exactly when the user chose Yes. False when the session has no window.
bool AskQuestion(Session* s, MsgCode code, const char* caption,
                 uint32_t style);

#endif
