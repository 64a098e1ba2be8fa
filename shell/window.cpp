#include "shell/window.h"

#include <commdlg.h>
#include <stddef.h>
#include <string.h>

#include "apply/apply_run.h"
#include "core/big5.h"
#include "messages/log.h"
#include "shell/links.h"
#include "texts_big5.h"

const char kMainWindowClass[] = "Orvenda GUI";

namespace {

// Control styles, as numbers so the values the window is built with can be
// read off directly.
const DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_CENTER;
const DWORD kFieldStyle = WS_CHILD | WS_VISIBLE;
const DWORD kDescriptionStyle =
    WS_CHILD | WS_VSCROLL | ES_READONLY | ES_MULTILINE;
const DWORD kLogStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL |
                        LBS_NOSEL;
static_assert(kButtonStyle == 0x50000300, "button style");
static_assert(kFieldStyle == 0x50000000, "folder field style");
static_assert(kDescriptionStyle == 0x40200804, "description style");
static_assert(kLogStyle == 0x50304000, "log list style");

// The dialog record as Windows 95 and NT 4 know it: 76 bytes on i686.
static_assert(sizeof(void*) != 4 ||
                  offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(void*) == 76,
              "file dialog record size");

const int kDescriptionOffset = 150;  // what the description pane pushes down
const COLORREF kLinkColour = RGB(0, 0, 238);

enum {
  kNoticeSize = 1004,
  kDescriptionSize = 2004,
  kFieldTextSize = 998,   // WM_GETTEXT room, NUL included
  kFileNameSize = 501,
  kDialogFileSize = 250,  // what the dialog is told the buffer holds
};

// Everything the window owns; one instance for the program's life. The busy
// and cancel flags live in the session, where the core reads them.
struct MainWindow {
  Session* session;
  HINSTANCE instance;
  HWND hwnd;
  HWND exit_button, apply_button, info_button, browse_button;
  HWND folder_field, description, log_list;
  HFONT label_font, link_font, button_font, log_font, description_font;
  char notice[kNoticeSize];
  OPENFILENAMEA dialog;
  char file_name[kFileNameSize];
};

MainWindow g_window;

// True for a Big5 lead byte followed by a byte that can end the character.
bool IsDoubleByte(const char* p) {
  unsigned char lead = (unsigned char)p[0];
  unsigned char trail = (unsigned char)p[1];
  return lead >= 0x81 && lead <= 0xFE &&
         ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0xA1 && trail <= 0xFE));
}

// Copies at most `limit` bytes of text into dst (which holds limit + 1),
// never ending inside a double-byte character.
void CopyCut(char* dst, const char* src, int32_t len, int32_t limit) {
  int32_t n = 0;
  while (n < len) {
    int32_t step = (n + 1 < len && IsDoubleByte(src + n)) ? 2 : 1;
    if (n + step > limit) break;
    n += step;
  }
  memcpy(dst, src, (size_t)n);
  dst[n] = 0;
}

HFONT MakeFont(int height, bool underline, BYTE pitch_and_family) {
  return CreateFontA(height, 0, 0, 0, 500, FALSE, underline ? TRUE : FALSE,
                     FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY,
                     pitch_and_family, "Fixedsys");
}

HWND MakeControl(DWORD ex_style, const char* cls, const char* text,
                 DWORD style, int x, int y, int w, int h) {
  return CreateWindowExA(ex_style, cls, text, style, x, y, w, h,
                         g_window.hwnd, (HMENU)0, g_window.instance, NULL);
}

void UseFont(HWND control, HFONT font) {
  if (font) SendMessageA(control, WM_SETFONT, (WPARAM)font, 0);
}

// Shows text in a control. A leading ".\" says nothing to the user and is
// dropped; the queue is pumped so the change shows during a run.
void SetControlText(HWND control, const char* text) {
  if (text[0] == '.' && text[1] == '\\') text += 2;
  SendMessageA(control, WM_SETTEXT, 0, (LPARAM)text);
  PumpMessages();
}

void GetControlText(HWND control, Str* out) {
  char buf[kFieldTextSize];
  buf[0] = 0;
  SendMessageA(control, WM_GETTEXT, sizeof buf, (LPARAM)buf);
  buf[sizeof buf - 1] = 0;
  StrSetZ(out, buf);
}

bool DescriptionShown(void) {
  return SendMessageA(g_window.description, WM_GETTEXTLENGTH, 0, 0) > 0;
}

// Places the folder row and the log list below the description pane, or at
// the top when there is none. The field starts after the label as wide as
// the window's default font draws it.
void Layout(bool description_shown) {
  MainWindow* w = &g_window;
  int off = description_shown ? kDescriptionOffset : 0;
  SIZE extent = {0, 0};
  HDC dc = GetDC(w->hwnd);
  if (dc) {
    GetTextExtentPointA(dc, kTextLabelFolder, sizeof kTextLabelFolder - 1,
                        &extent);
    ReleaseDC(w->hwnd, dc);
  }
  int label = (int)extent.cx;
  MoveWindow(w->folder_field, label + 25, off + 10, 475 - label, 25, TRUE);
  MoveWindow(w->browse_button, 519, off + 10, 65, 25, TRUE);
  MoveWindow(w->log_list, 9, off + 65, 575, 275 - off, TRUE);
}

void PaintText(HDC dc, int x, int y, const char* text, size_t size) {
  TextOutA(dc, x, y, text, (int)size - 1);
}

void Browse(void) {
  MainWindow* w = &g_window;
  Session* s = w->session;
  Str start;
  GetControlText(w->folder_field, &start);
  if (StrEqZ(&start, ".")) StrSetZ(&start, ".\\");
  // The dialog opens in the folder of its initial name, so a folder given
  // with its trailing backslash gets "." as that name. A name ending in 功
  // (A5 5C) ends in a character, not in a backslash.
  if (Big5EndsWith(start.s, start.len, '\\')) StrCatCh(&start, '.');
  // The dialog is told of kDialogFileSize bytes; an initial name must fit in
  // that, or the dialog would take it for an overflowing buffer.
  CopyCut(w->file_name, start.s, start.len, kDialogFileSize - 1);

  OPENFILENAMEA* d = &w->dialog;
  d->lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  d->hwndOwner = w->hwnd;
  d->hInstance = w->instance;
  d->lpstrFile = w->file_name;
  d->nMaxFile = kDialogFileSize;
  d->lpstrTitle = kTextBrowseTitle;
  d->Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST |
             OFN_FILEMUSTEXIST;
  if (GetOpenFileNameA(d)) {
    w->file_name[kFileNameSize - 1] = 0;
    StrSetZ(&s->chosen_folder, w->file_name);
    SetControlText(w->folder_field, w->file_name);
  }
  SetIdleState();
}

// --- Window hooks the core calls ------------------------------------------

void HookPump(void*) { PumpMessages(); }

void HookSetFolderText(void*, const char* text) {
  SetControlText(g_window.folder_field, text);
}

void HookKeepNotice(void*, const char* text) {
  CopyCut(g_window.notice, text, (int32_t)strlen(text), kNoticeSize - 1);
}

// Puts the maker's description in its pane. Each 0x01 or CR becomes CR CR
// LF, the multi-line edit's line break; whatever does not fit in the buffer
// is left off at a whole character or line break.
void HookShowDescription(void*, const char* text) {
  char buf[kDescriptionSize];
  const int32_t limit = kDescriptionSize - 1;
  int32_t n = 0;
  for (const char* p = text; *p;) {
    if (*p == 0x01 || *p == '\r') {
      if (n + 3 > limit) break;
      buf[n++] = '\r';
      buf[n++] = '\r';
      buf[n++] = '\n';
      ++p;
    } else if (IsDoubleByte(p)) {
      if (n + 2 > limit) break;
      buf[n++] = p[0];
      buf[n++] = p[1];
      p += 2;
    } else {
      if (n + 1 > limit) break;
      buf[n++] = *p++;
    }
  }
  buf[n] = 0;
  SendMessageA(g_window.description, WM_SETTEXT, 0, (LPARAM)buf);
  ShowWindow(g_window.description, SW_SHOWNORMAL);
  Layout(true);
}

bool HookAsk(void*, const char* text, const char* caption, uint32_t style) {
  return MessageBoxA(g_window.hwnd, text, caption, style) == IDYES;
}

// --- The log list -------------------------------------------------------------

void ListReset(void*) {
  SendMessageA(g_window.log_list, LB_RESETCONTENT, 0, 0);
}

void ListAdd(void*, const char* line) {
  SendMessageA(g_window.log_list, LB_ADDSTRING, 0, (LPARAM)line);
}

void ListRemove(void*, int32_t index) {
  SendMessageA(g_window.log_list, LB_DELETESTRING, (WPARAM)index, 0);
}

void ListSetTop(void*, int32_t index) {
  SendMessageA(g_window.log_list, LB_SETTOPINDEX, (WPARAM)index,
               (LPARAM)index);
}

void ListSetRedraw(void*, bool on) {
  SendMessageA(g_window.log_list, WM_SETREDRAW, on ? 1 : 0, 0);
}

int32_t ListCount(void*) {
  return (int32_t)SendMessageA(g_window.log_list, LB_GETCOUNT, 0, 0);
}

// --- Message handlers ------------------------------------------------------

// Fonts and controls; the description pane stays hidden until a patch
// brings a description.
void OnCreate(HWND hwnd) {
  MainWindow* w = &g_window;
  w->hwnd = hwnd;
  w->label_font = MakeFont(-15, false, VARIABLE_PITCH | FF_SWISS);
  w->link_font = MakeFont(-15, true, VARIABLE_PITCH | FF_SWISS);
  w->button_font = MakeFont(-15, false, VARIABLE_PITCH | FF_SWISS);
  w->log_font = MakeFont(-14, false, VARIABLE_PITCH | FF_MODERN);
  w->description_font = MakeFont(-14, false, FIXED_PITCH | FF_MODERN);

  w->exit_button = MakeControl(0, "BUTTON", kTextExitCancel, kButtonStyle,
                               519, 345, 65, 25);
  w->apply_button = MakeControl(0, "BUTTON", kTextApply, kButtonStyle, 449,
                                345, 65, 25);
  w->info_button = MakeControl(0, "BUTTON", kTextInfo, kButtonStyle, 10, 345,
                               65, 25);
  w->browse_button =
      MakeControl(0, "BUTTON", kTextBrowse, kButtonStyle, 0, 0, 0, 0);
  w->folder_field =
      MakeControl(WS_EX_CLIENTEDGE, "EDIT", "", kFieldStyle, 0, 0, 0, 0);
  w->description = MakeControl(WS_EX_CLIENTEDGE, "EDIT", "",
                               kDescriptionStyle, 10, 25, 575, 125);
  w->log_list =
      MakeControl(WS_EX_CLIENTEDGE, "LISTBOX", "", kLogStyle, 0, 0, 0, 0);

  UseFont(w->browse_button, w->button_font);
  UseFont(w->info_button, w->button_font);
  UseFont(w->apply_button, w->button_font);
  UseFont(w->exit_button, w->button_font);
  UseFont(w->log_list, w->log_font);
  UseFont(w->description, w->description_font);
  Layout(false);
}

// Background, labels and links. The class has no brush, so the background
// is filled here.
void OnPaint(HWND hwnd) {
  MainWindow* w = &g_window;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (ps.fErase)
    FillRect(dc, &ps.rcPaint, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  if (w->label_font) SelectObject(dc, w->label_font);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SetBkMode(dc, TRANSPARENT);
  int off = DescriptionShown() ? kDescriptionOffset : 0;
  PaintText(dc, 15, off + 12, kTextLabelFolder, sizeof kTextLabelFolder);
  if (off)
    PaintText(dc, 15, 4, kTextLabelDescription, sizeof kTextLabelDescription);
  PaintText(dc, 15, 43 + off, kTextLabelLog, sizeof kTextLabelLog);
  PaintText(dc, 85, 347, kTextLabelLinks, sizeof kTextLabelLinks);
  if (w->link_font) SelectObject(dc, w->link_font);
  SetTextColor(dc, kLinkColour);
  PaintText(dc, 137, 347, kTextLinkPatch, sizeof kTextLinkPatch);
  PaintText(dc, 275, 347, kTextLinkCreator, sizeof kTextLinkCreator);
  EndPaint(hwnd, &ps);
}

// Buttons, told apart by their handles. Whatever starts or ends work waits
// for the idle state.
void OnCommand(HWND hwnd, HWND control) {
  MainWindow* w = &g_window;
  Session* s = w->session;
  if (!control) return;
  if (control == w->exit_button) {
    if (!s->busy) DestroyWindow(hwnd);
  } else if (control == w->browse_button) {
    if (!s->busy) Browse();
  } else if (control == w->apply_button) {
    if (!s->busy) {
      GetControlText(w->folder_field, &s->chosen_folder);
      if (s->chosen_folder.len != 0) ApplyAction();
    }
  } else if (control == w->info_button) {
    MessageBoxA(hwnd, w->notice, kTextInfoCaption, MB_OK);
  }
}

// A click on one of the painted links, in either state.
void OnLButtonDown(LPARAM lp) {
  unsigned x = LOWORD(lp);
  unsigned y = HIWORD(lp);
  if (y < 349 || y > 361) return;
  if (x >= 137 && x <= 243)
    OpenLink(SP_LINK_PATCH_PAGE);
  else if (x >= 275 && x <= 429)
    OpenLink(SP_LINK_CREATOR_PAGE);
}

// Alt+letter shortcuts, idle only; every WM_SYSCHAR stops here.
void OnSysChar(HWND hwnd, WPARAM ch) {
  MainWindow* w = &g_window;
  if (w->session->busy) return;
  HWND target = NULL;
  switch (ch) {
    case 'a': target = w->apply_button; break;
    case 'b': target = w->browse_button; break;
    case 'e': target = w->exit_button; break;
    case 'i': target = w->info_button; break;
  }
  if (target) SendMessageA(hwnd, WM_COMMAND, 0, (LPARAM)target);
}

// The window decides the cursor everywhere, controls included.
void OnSetCursor(void) {
  SetCursor(LoadCursorA(NULL, g_window.session->busy ? IDC_WAIT : IDC_ARROW));
}

// Idle: close. During a run: ask whether to stop it; the run ends at its
// next target group and the window stays.
void OnClose(HWND hwnd) {
  Session* s = g_window.session;
  if (!s->busy) {
    DestroyWindow(hwnd);
    return;
  }
  if (MessageBoxA(hwnd, kTextCloseQuestion, kTextCloseCaption,
                  MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
    s->cancel = true;
}

void OnDestroy(void) { PostQuitMessage(0); }

}  // namespace

void MainWindowAttach(Session* s, HINSTANCE instance) {
  MainWindow* w = &g_window;
  w->session = s;
  w->instance = instance;

  WindowHooks* h = &s->hooks;
  h->ctx = w;
  h->pump = HookPump;
  h->set_folder_text = HookSetFolderText;
  h->keep_notice = HookKeepNotice;
  h->show_description = HookShowDescription;
  h->ask = HookAsk;
  h->line_done = NULL;

  LogList* l = &s->list;
  l->ctx = w;
  l->reset = ListReset;
  l->add = ListAdd;
  l->remove = ListRemove;
  l->set_top = ListSetTop;
  l->set_redraw = ListSetRedraw;
  l->count = ListCount;
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: OnCreate(hwnd); return 0;
    case WM_PAINT: OnPaint(hwnd); return 0;
    case WM_COMMAND: OnCommand(hwnd, (HWND)lp); return 0;
    case WM_LBUTTONDOWN: OnLButtonDown(lp); return 0;
    case WM_SYSCHAR: OnSysChar(hwnd, wp); return 0;
    case WM_SETCURSOR: OnSetCursor(); return 1;
    case WM_CLOSE: OnClose(hwnd); return 0;
    case WM_DESTROY: OnDestroy(); return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

void PumpMessages(void) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    // The quit message belongs to the main loop; taken here it would be
    // lost and the program would wait forever with no window.
    if (msg.message == WM_QUIT) {
      PostQuitMessage((int)msg.wParam);
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void SetIdleState(void) {
  MainWindow* w = &g_window;
  w->session->busy = false;
  SetControlText(w->exit_button, kTextExitLeave);
  EnableWindow(w->exit_button, TRUE);
  Str field;
  GetControlText(w->folder_field, &field);
  EnableWindow(w->apply_button, field.len != 0);
  SetCursor(LoadCursorA(NULL, IDC_ARROW));
}

void SetBusyState(void) {
  MainWindow* w = &g_window;
  w->session->busy = true;
  SetControlText(w->exit_button, kTextExitLeave);
  EnableWindow(w->exit_button, FALSE);
  EnableWindow(w->apply_button, FALSE);
  SetCursor(LoadCursorA(NULL, IDC_WAIT));
}

MsgCode ApplyAction(void) {
  MainWindow* w = &g_window;
  Session* s = w->session;
  if (s->chosen_folder.len == 0) StrSetZ(&s->chosen_folder, ".\\");
  SetBusyState();
  LogClear(s);
  EnableWindow(w->browse_button, FALSE);
  EnableWindow(w->folder_field, FALSE);
  MsgCode r = ApplyRun(s);
  if (r == kOk) {
    LogMessage(s, kMsgSuccess);
    ShowWindow(w->apply_button, SW_HIDE);
  } else {
    EnableWindow(w->browse_button, TRUE);
    EnableWindow(w->folder_field, TRUE);
  }
  SetIdleState();
  return r;
}
