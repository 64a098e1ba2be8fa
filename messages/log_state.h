// The list-box log: its state and the list it writes into.
#ifndef SELFPATCH_MESSAGES_LOG_STATE_H
#define SELFPATCH_MESSAGES_LOG_STATE_H

#include <stdint.h>

#include "core/str.h"

// The list the log lays lines into. The Win32 shell sends list-box messages;
// tests record the calls. Lines are only added at the end or removed from it.
// Any member may be null: the log then does without that operation (the
// command-line tool has no list at all and reads lines through line_done).
struct LogList {
  void* ctx;
  void (*reset)(void* ctx);                     // LB_RESETCONTENT
  void (*add)(void* ctx, const char* line);     // LB_ADDSTRING
  void (*remove)(void* ctx, int32_t index);     // LB_DELETESTRING
  void (*set_top)(void* ctx, int32_t index);    // LB_SETTOPINDEX
  void (*set_redraw)(void* ctx, bool on);       // WM_SETREDRAW
  // Number of lines the list holds (LB_GETCOUNT). Optional. When present,
  // the log checks after every add that the list took the line; a refused
  // line (a list out of memory) is then not counted, so later replacements
  // still delete the log's own last line and never another one.
  int32_t (*count)(void* ctx);
};

enum { kLogWrapWidth = 78 };

struct LogState {
  int32_t line_count;  // lines placed; index of the next one
  Str pending;         // the line being built
  bool shown;          // the list's last line shows `pending`
  int32_t column;      // bytes placed on the current line
  Str word;            // bytes gathered, not yet placed
};

#endif
