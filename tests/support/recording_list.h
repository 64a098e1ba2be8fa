// A LogList that behaves like the window's list box and records what the log
// did to it, so tests can assert the log's lines on any platform.
//
//   RecordingList rec;
//   rec.AttachTo(&session);          // session.list now writes into rec
//   LogMessage(&session, kMsgUpdating);
//   EXPECT_EQ(rec.lines, (std::vector<std::string>{...}));
//   EXPECT_TRUE(rec.faults.empty()) << rec.FaultText();
//
// `lines` is what the list box would show. `faults` collects uses that a real
// list box would not accept or that the log promises never to make: removing
// a line that does not exist or is not the last one, a line holding a CR, a
// change of the list while redrawing is on, a top index after an add that is
// not the line just added. Texts are the raw code page 950
// bytes; Latin text in a template or a path is directly readable.
#ifndef SELFPATCH_TESTS_SUPPORT_RECORDING_LIST_H
#define SELFPATCH_TESTS_SUPPORT_RECORDING_LIST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/session.h"

struct RecordingList {
  std::vector<std::string> lines;  // the list's contents, first line first
  // Every call in order: "reset", "add <text>", "remove <i>", "top <i>",
  // "redraw 0", "redraw 1".
  std::vector<std::string> calls;
  std::vector<std::string> faults;
  int32_t top = -1;     // last top index asked for
  bool redraw = true;   // redrawing state
  int adds = 0;         // adds asked for, taken or refused
  // When >= 0, adds from this one on (counted from 0 in `adds`) are refused,
  // as a list box out of memory does; the line count stays as it was.
  int refuse_from = -1;
  bool last_add_taken = false;
  // Whether the list reports its line count to the log (LogList::count).
  bool report_count = true;

  LogList Table();              // function table bound to this recorder
  void AttachTo(Session* s);    // s->list = Table()
  std::string FaultText() const;
  void Clear();                 // forget contents and history
};

// Collects the lines handed to hooks.line_done and counts pumps. It takes
// hooks.ctx for itself; a test that needs other hooks too sets its own.
struct LineSink {
  std::vector<std::string> done;
  int pumps = 0;
  void AttachTo(Session* s);  // sets hooks.ctx, hooks.line_done, hooks.pump
};

#endif
