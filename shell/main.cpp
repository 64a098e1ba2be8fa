// The program's start and end: command line, window, container, the first
// apply run, the message loop.
//
// Exit codes: 0 after the window was closed, 1 after the usage box, 255 when
// the window class, the window or the container could not be set up.
#include <windows.h>

#include <string.h>

#include "container/container.h"
#include "messages/messages.h"
#include "platform/platform.h"
#include "shell/command_line.h"
#include "shell/window.h"
#include "texts_big5.h"

namespace {

enum { kOwnPathSize = 261, kUsageSize = 512 };
const int kWindowWidth = 600;
const int kWindowHeight = 405;

// Large (it holds fixed path buffers), so never on the stack.
Session g_session;

void RecordOwnPath(Session* s) {
  char path[kOwnPathSize];
  int32_t n = s->os->own_path(path, sizeof path);
  if (n < 0 || n >= (int32_t)sizeof path) n = 0;
  StrSet(&s->own_path, path, n);
  s->own_path_set = true;
}

// Shows how to call the program and ends it; before any window exists.
void UsageBox(Session* s) {
  Str text;
  MessageText(s, kMsgUsage, &text);
  char box[kUsageSize];
  int32_t n = text.len < kUsageSize - 1 ? text.len : kUsageSize - 1;
  memcpy(box, text.s, (size_t)n);
  box[n] = 0;
  MessageBoxA(NULL, box, kTextUsageCaption, MB_OK);
  ExitProcess(1);
}

bool RegisterMainClass(HINSTANCE instance) {
  WNDCLASSEXA wc;
  memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, "PATCHICON");
  wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
  wc.lpszClassName = kMainWindowClass;
  return RegisterClassExA(&wc) != 0;
}

// Centred in the work area of a full-screen window; a screen narrower than
// the window gives a negative position, as the division says.
HWND CreateMainWindow(HINSTANCE instance) {
  int x = (GetSystemMetrics(SM_CXFULLSCREEN) - kWindowWidth) / 2;
  int y = (GetSystemMetrics(SM_CYFULLSCREEN) - kWindowHeight) / 2;
  return CreateWindowExA(0, kMainWindowClass, kTextWindowTitle,
                         WS_CAPTION | WS_SYSMENU, x, y, kWindowWidth,
                         kWindowHeight, NULL, NULL, instance, NULL);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Session* s = &g_session;
  SessionInit(s, PlatformNative());
  HINSTANCE instance = GetModuleHandleA(NULL);

  RecordOwnPath(s);
  if (!ReadCommandLine(s->os->command_line(),
                       s->own_path_set && s->own_path.len > 0,
                       &s->chosen_folder))
    UsageBox(s);

  MainWindowAttach(s, instance);
  if (!RegisterMainClass(instance)) {
    MessageBoxA(NULL, kTextClassFailed, kTextErrorCaption, MB_ICONHAND);
    return 255;
  }
  HWND hwnd = CreateMainWindow(instance);
  MsgCode loaded = hwnd ? LoadContainer(s) : kOk;
  if (loaded != kOk) {
    Str text;
    MessageText(s, loaded, &text);
    MessageBoxA(NULL, text.s, kTextErrorCaption, MB_OK);
  }
  if (!hwnd || loaded != kOk) {
    UnregisterClassA(kMainWindowClass, instance);
    SessionClose(s);
    return 255;
  }

  ShowWindow(hwnd, SW_SHOWNORMAL);
  UpdateWindow(hwnd);
  SetIdleState();
  // Setting the idle state pumps messages, and the window is already on the
  // screen with its Exit button ("cancel") usable: a user who closed it
  // there has declined the patch, so nothing is applied.
  if (IsWindow(hwnd)) {
    ApplyAction();
    SetIdleState();
  }

  MSG msg;
  msg.wParam = 0;
  // GetMessageA gives -1 on an error; that ends the loop rather than
  // spinning on it.
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // Closing the payload stream deletes its temporary file.
  SessionClose(s);
  return (int)msg.wParam;
}

// The process starts here, not in the C runtime's start-up code: the stub
// needs no argument vector, no static constructors and no exit handlers,
// and leaving that code out keeps it small.
extern "C" void WINAPI StubStart(void) {
  ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, NULL, SW_SHOWNORMAL));
}
