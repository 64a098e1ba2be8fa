// The applier's program-wide state, gathered in one struct.
//
// The applier is one thread and one transaction at a time; every procedure of
// the core takes the session it works on. Tests build as many sessions as
// they like, each with its own platform table and window hooks, so nothing
// in the core is a hidden global.
//
// Lifecycle: SessionInit, then the shell (or the command-line tool) records
// the own path and the chosen folder, loads the container, and runs the apply
// run as often as the user asks; SessionClose closes the payload stream and
// the executable.
#ifndef SELFPATCH_CORE_SESSION_H
#define SELFPATCH_CORE_SESSION_H

#include <stdint.h>

#include "core/str.h"
#include "messages/codes.h"
#include "messages/log_state.h"
#include "payload/payload_state.h"
#include "platform/platform.h"

// The few operations of the main window that the core calls. Any of them may
// be null; the core then does without it (the command-line tool has no
// window, tests record what they need).
struct WindowHooks {
  void* ctx;
  // Dispatches waiting window messages and returns at once (PeekMessage
  // loop). Called after every log change, by set_folder_text and by the long
  // loops of the rebuild and the staging pass.
  void (*pump)(void* ctx);
  // Shows a resolved target folder in the folder field.
  void (*set_folder_text)(void* ctx, const char* text);
  // Hands over the prepared notice and description texts.
  void (*keep_notice)(void* ctx, const char* text);
  void (*show_description)(void* ctx, const char* text);
  // A modal question box owned by the main window; true for Yes.
  bool (*ask)(void* ctx, const char* text, const char* caption,
              uint32_t style);
  // Called once for every completed log line (UTF-8 conversion is the
  // caller's business); the command-line tool prints lines through it.
  void (*line_done)(void* ctx, const char* line);
};

struct Session {
  const Platform* os;
  WindowHooks hooks;
  LogList list;

  // Run-state strings read by the "%p", "%m" and "%s" placeholders.
  Str own_path;
  bool own_path_set;
  Str chosen_folder;
  Str target_folder;  // "%s": the group being resolved or walked
  // "%m" is entry.name.

  bool cancel;  // set by the window's close question; never cleared
  bool busy;

  LogState log;

  // Container: the executable stays open for the program's life; the payload
  // stream is a delete-on-close temporary file.
  PlatformFile exe;
  PlatformFile payload;
  uint32_t group_table_pos;

  // Payload model.
  TargetGroups groups;
  CurrentEntry entry;
  Str backup_name;  // of the group being walked
  Str staging[kMaxGroups];  // filled on first use, kept for the program

  // Apply transaction.
  bool scratch_selector;  // false: next scratch file is "\BINTMP2.TMP"
  int32_t committed_count;
  // What this run staged and committed, one mark byte per entry in payload
  // order across all groups (see apply/passes.h); grown as passes go.
  uint8_t* committed_marks;
  int32_t committed_marks_cap;  // bytes
  int32_t entry_ordinal;        // running entry index within a pass
  // Which files this run has moved into backup folders (apply/passes.h).
  FileIdentity* run_backups;
  int32_t run_backup_count;
  int32_t run_backup_cap;
};

// Clears every field and installs the platform table. The session is large
// (it holds fixed path buffers); allocate it statically or on the heap.
void SessionInit(Session* s, const Platform* os);

// Closes the payload stream (deleting its file) and the executable, and
// frees what the commit marks took.
void SessionClose(Session* s);

inline void SessionPump(Session* s) {
  if (s->hooks.pump) s->hooks.pump(s->hooks.ctx);
}

#endif
