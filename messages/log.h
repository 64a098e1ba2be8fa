// The list-box log: 78-byte word wrap, the live last line, the pump.
#ifndef SELFPATCH_MESSAGES_LOG_H
#define SELFPATCH_MESSAGES_LOG_H

#include "core/session.h"

void LogMessage(Session* s, MsgCode code);
void LogError(Session* s, MsgCode code);  // same output, for failure results
void LogClear(Session* s);

#endif
