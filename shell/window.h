// The main window: controls, fonts, painting, the busy and idle states, the
// Apply action, the Browse dialog and the close question.
//
// There is one window for the program's life; its state lives in one struct
// inside window.cpp. Start-up calls MainWindowAttach before creating the
// window (so WM_CREATE finds the session and the instance), then uses the
// idle state and the Apply action directly.
#ifndef SELFPATCH_SHELL_WINDOW_H
#define SELFPATCH_SHELL_WINDOW_H

#include <windows.h>

#include "core/session.h"

extern const char kMainWindowClass[];  // "Orvenda GUI"

// Remembers the session and instance, and installs the window hooks and the
// log list on the session.
void MainWindowAttach(Session* s, HINSTANCE instance);

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

void SetIdleState(void);
void SetBusyState(void);

// Clears the log, runs the apply run on the chosen folder and reports the
// result; returns the run's result.
MsgCode ApplyAction(void);

// Dispatches every waiting message and returns; never waits.
void PumpMessages(void);

#endif
