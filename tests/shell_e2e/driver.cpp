// Drives the applier's window from outside, as a person at the screen would,
// for the end-to-end tests under Wine. Tests only.
//
//   shell_e2e_driver STEP [STEP ...]
//
// Steps run in order; the first one that fails prints why on stderr and
// ends the driver with exit code 1. Texts are the window's own code page
// 950 bytes, written to files unchanged, so the test script compares them
// byte for byte.
//
//   window             wait for the main window ("Orvenda GUI") to show
//   finished           wait until a run has ended: log not empty, Exit
//                      enabled and reading "leave"
//   lines N            wait until the log holds at least N lines
//   gone               wait until the main window no longer exists
//   hidden             fail if the main window is on the screen
//   dump FILE          write the window's state (see Dump) to FILE
//   folder TEXT        type TEXT into the folder field (replacing it)
//   click NAME         click a button (apply, browse, exit, info); fails
//                      when it is hidden or disabled. The click is
//                      handled while later steps run; "done" waits for it.
//   alt CHAR           press Alt+CHAR (WM_SYSCHAR) at the main window
//   point X Y          left click at client point (X, Y)
//   close              the window's close box
//   done               wait until the last click/alt/point/close has been
//                      handled by the window (a run it started has ended)
//   box FILE ANSWER    wait for a message box, write its caption and text
//                      (and a file dialog's file name) to FILE, then
//                      answer ok, yes, no or cancel
//   boxshown           wait for a message box, leave it open
//   nobox MS           fail if a message box shows within MS milliseconds
//   pick FILE          in the open-file dialog, type FILE and press OK
//   assoc COMMAND      make COMMAND the handler of ".htm" pages (an empty
//                      COMMAND leaves ".htm" with an empty default value)
//   sleep MS
//
//   shell_e2e_driver handler ...
// stands in for a web browser: appends its whole command line and a
// newline to the file named by SP_HANDLER_LOG.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char kClass[] = "Orvenda GUI";
const DWORD kWait = 60000;  // ms, for anything that should happen soon
// Button captions in code page 950.
const char kApplyText[] = "\xAE\x4D\x20\x20\xA5\xCE";  // 套  用
const char kLeaveText[] = "\xC2\xF7\x20\xB6\x7D";      // 離 開

[[noreturn]] void Fail(const char* what, const char* detail = "") {
  fprintf(stderr, "driver: %s %s\n", what, detail);
  exit(1);
}

// The controls keep their texts in UTF-16; asking in UTF-16 and converting
// to code page 950 here gives the bytes the program's own ANSI calls see.
// (Wine hands an ANSI LB_GETTEXT across processes back unconverted.)
std::string ToBig5(const wchar_t* w, int n) {
  if (n <= 0) return std::string();
  int size = WideCharToMultiByte(950, 0, w, n, NULL, 0, NULL, NULL);
  std::string out((size_t)size, '\0');
  WideCharToMultiByte(950, 0, w, n, &out[0], size, NULL, NULL);
  return out;
}

std::string Text(HWND w) {
  static wchar_t buf[8192];
  buf[0] = 0;
  DWORD_PTR n = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXT, sizeof buf / sizeof buf[0],
                           (LPARAM)buf, SMTO_NORMAL, 5000, &n))
    return std::string();
  buf[sizeof buf / sizeof buf[0] - 1] = 0;
  return ToBig5(buf, (int)wcslen(buf));
}

std::string ClassOf(HWND w) {
  char buf[64];
  buf[0] = 0;
  GetClassNameA(w, buf, sizeof buf);
  return buf;
}

struct Controls {
  HWND main = NULL;
  HWND exit = NULL, apply = NULL, info = NULL, browse = NULL;
  HWND folder = NULL, description = NULL, log = NULL;
};

// Buttons are told apart by their captions (Exit's changes), the two edit
// fields by the multi-line style.
Controls Find(bool required = true) {
  Controls c;
  c.main = FindWindowA(kClass, NULL);
  if (!c.main) {
    if (required) Fail("no main window");
    return c;
  }
  for (HWND w = GetWindow(c.main, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    std::string cls = ClassOf(w);
    if (_stricmp(cls.c_str(), "Button") == 0) {
      std::string t = Text(w);
      if (t == kApplyText) c.apply = w;
      else if (t.find("(&I)") != std::string::npos) c.info = w;
      else if (t.find("(&B)") != std::string::npos) c.browse = w;
      else c.exit = w;
    } else if (_stricmp(cls.c_str(), "Edit") == 0) {
      if (GetWindowLongA(w, GWL_STYLE) & ES_MULTILINE) c.description = w;
      else c.folder = w;
    } else if (_stricmp(cls.c_str(), "ListBox") == 0) {
      c.log = w;
    }
  }
  if (required && !(c.exit && c.apply && c.info && c.browse && c.folder &&
                    c.description && c.log))
    Fail("a control of the main window is missing");
  return c;
}

LRESULT Send(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutA(w, msg, wp, lp, SMTO_NORMAL, 10000, &r))
    Fail("window does not answer");
  return (LRESULT)r;
}

std::vector<std::string> Lines(HWND list) {
  std::vector<std::string> out;
  LRESULT n = Send(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; i++) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, (WPARAM)i, 0, SMTO_NORMAL,
                             10000, &len) || (LRESULT)len < 0)
      Fail("cannot read a log line");
    std::vector<wchar_t> w((size_t)len + 1, 0);
    DWORD_PTR got = 0;
    SendMessageTimeoutW(list, LB_GETTEXT, (WPARAM)i, (LPARAM)w.data(),
                        SMTO_NORMAL, 10000, &got);
    w.back() = 0;
    out.push_back(ToBig5(w.data(), (int)wcslen(w.data())));
  }
  return out;
}

template <typename Pred>
void WaitFor(Pred done, const char* what, DWORD ms = kWait) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) Fail("timed out waiting for", what);
    Sleep(50);
  }
}

// --- Clicks: sent from a thread, because the window handles some of them
// (Apply, a close during a run) for as long as a run or a box lasts. ---

struct Pending {
  HWND target;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
};
HANDLE g_click = NULL;
Pending g_pending;

DWORD WINAPI SendThread(void*) {
  SendMessageA(g_pending.target, g_pending.msg, g_pending.wp, g_pending.lp);
  return 0;
}

void WaitDone(void) {
  if (!g_click) return;
  if (WaitForSingleObject(g_click, 10 * kWait) != WAIT_OBJECT_0)
    Fail("the window did not finish handling the last click");
  CloseHandle(g_click);
  g_click = NULL;
}

void Post(HWND target, UINT msg, WPARAM wp, LPARAM lp) {
  WaitDone();
  g_pending = Pending{target, msg, wp, lp};
  g_click = CreateThread(NULL, 0, SendThread, NULL, 0, NULL);
  if (!g_click) Fail("CreateThread");
  Sleep(100);  // let the window pick it up before the next step looks
}

// --- Message boxes ---------------------------------------------------------

struct BoxSearch {
  HWND found;
};

BOOL CALLBACK FindBox(HWND w, LPARAM lp) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == GetCurrentProcessId()) return TRUE;
  if (ClassOf(w) == "#32770" && IsWindowVisible(w)) {
    reinterpret_cast<BoxSearch*>(lp)->found = w;
    return FALSE;
  }
  return TRUE;
}

HWND CurrentBox(void) {
  BoxSearch s{NULL};
  EnumWindows(FindBox, (LPARAM)&s);
  return s.found;
}

// The box's message is its longest static text (the icon is a static
// without text).
// The file name field of an open-file dialog: edt1 in the old-style
// dialog, the combo box cmb13 in the Explorer-style one; NULL for a message
// box.
HWND FileNameField(HWND box) {
  HWND edit = GetDlgItem(box, 0x480);
  return edit ? edit : GetDlgItem(box, 0x47C);
}

std::string BoxMessage(HWND box) {
  std::string best;
  for (HWND w = GetWindow(box, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (_stricmp(ClassOf(w).c_str(), "Static") != 0) continue;
    std::string t = Text(w);
    if (t.size() > best.size()) best = t;
  }
  return best;
}

void SaveFile(const char* path, const std::string& data) {
  FILE* f = fopen(path, "wb");
  if (!f) Fail("cannot write", path);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

// --- State dump --------------------------------------------------------------
// One "key=value" line each:
//   title=TEXT
//   exit|apply|info|browse|folder|description|log=VISIBLE ENABLED X Y W H|TEXT
//     (positions in the main window's client pixels)
//   line=TEXT        every log line, in order
//   lines=N

std::string Describe(HWND main, HWND w, bool with_text) {
  RECT r;
  GetWindowRect(w, &r);
  MapWindowPoints(NULL, main, (POINT*)&r, 2);
  char head[128];
  snprintf(head, sizeof head, "%d %d %ld %ld %ld %ld|",
           IsWindowVisible(w) ? 1 : 0, IsWindowEnabled(w) ? 1 : 0, r.left,
           r.top, r.right - r.left, r.bottom - r.top);
  return std::string(head) + (with_text ? Text(w) : std::string());
}

void Dump(const char* path) {
  Controls c = Find();
  std::string out;
  out += "title=" + Text(c.main) + "\n";
  out += "exit=" + Describe(c.main, c.exit, true) + "\n";
  out += "apply=" + Describe(c.main, c.apply, true) + "\n";
  out += "info=" + Describe(c.main, c.info, true) + "\n";
  out += "browse=" + Describe(c.main, c.browse, true) + "\n";
  out += "folder=" + Describe(c.main, c.folder, true) + "\n";
  std::string d = Text(c.description);
  // The description keeps its line breaks; escape them so it stays on one
  // line of the dump.
  std::string esc;
  for (char ch : d) {
    if (ch == '\r') esc += "\\r";
    else if (ch == '\n') esc += "\\n";
    else if (ch == '\\') esc += "\\\\";
    else esc += ch;
  }
  out += "description=" + Describe(c.main, c.description, false) + esc + "\n";
  out += "log=" + Describe(c.main, c.log, false) + "\n";
  // A list box without LBS_NOINTEGRALHEIGHT shows whole lines only and
  // trims its height to a multiple of this.
  out += "item_height=" + std::to_string(Send(c.log, LB_GETITEMHEIGHT, 0, 0)) +
         "\n";
  std::vector<std::string> lines = Lines(c.log);
  for (const std::string& l : lines) out += "line=" + l + "\n";
  out += "lines=" + std::to_string(lines.size()) + "\n";
  SaveFile(path, out);
}

HWND Button(const Controls& c, const char* name) {
  if (!strcmp(name, "apply")) return c.apply;
  if (!strcmp(name, "browse")) return c.browse;
  if (!strcmp(name, "exit")) return c.exit;
  if (!strcmp(name, "info")) return c.info;
  Fail("unknown button", name);
}

void SetDefault(const char* subkey, const char* value) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey, 0, NULL, 0, KEY_ALL_ACCESS,
                      NULL, &key, NULL) != ERROR_SUCCESS)
    Fail("cannot create key", subkey);
  LONG rc = RegSetValueExA(key, "", 0, REG_SZ, (const BYTE*)value,
                           (DWORD)strlen(value) + 1);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) Fail("cannot set the default value of", subkey);
}

void SetAssociation(const char* command) {
  const char kType[] = "selfpatch.test.htm";
  if (!*command) {
    SetDefault(".htm", "");
    return;
  }
  SetDefault(".htm", kType);
  SetDefault("selfpatch.test.htm\\shell\\open\\command", command);
}

int Handler(void) {
  const char* path = getenv("SP_HANDLER_LOG");
  if (!path) return 2;
  FILE* f = fopen(path, "ab");
  if (!f) return 2;
  fprintf(f, "%s\n", GetCommandLineA());
  fclose(f);
  return 0;
}

const char* Arg(int argc, char** argv, int i) {
  if (i >= argc) Fail("missing argument after", argv[i - 1]);
  return argv[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && !strcmp(argv[1], "handler")) return Handler();
  for (int i = 1; i < argc; i++) {
    const char* step = argv[i];
    if (!strcmp(step, "window")) {
      WaitFor([] { HWND w = FindWindowA(kClass, NULL);
                   return w && IsWindowVisible(w); }, "the main window");
    } else if (!strcmp(step, "finished")) {
      WaitFor([] {
        Controls c = Find(false);
        if (!c.exit || !c.log) return false;
        return Send(c.log, LB_GETCOUNT, 0, 0) > 0 && IsWindowEnabled(c.exit) &&
               Text(c.exit) == kLeaveText;
      }, "the run to finish", 10 * kWait);
    } else if (!strcmp(step, "lines")) {
      LRESULT n = atoi(Arg(argc, argv, ++i));
      WaitFor([n] { Controls c = Find(false);
                    return c.log && Send(c.log, LB_GETCOUNT, 0, 0) >= n; },
              "log lines");
    } else if (!strcmp(step, "gone")) {
      WaitFor([] { return FindWindowA(kClass, NULL) == NULL; },
              "the window to close");
    } else if (!strcmp(step, "hidden")) {
      HWND w = FindWindowA(kClass, NULL);
      if (w && IsWindowVisible(w)) Fail("the main window is showing");
    } else if (!strcmp(step, "dump")) {
      Dump(Arg(argc, argv, ++i));
    } else if (!strcmp(step, "folder")) {
      Controls c = Find();
      const char* text = Arg(argc, argv, ++i);
      if (!IsWindowEnabled(c.folder)) Fail("the folder field is disabled");
      Send(c.folder, WM_SETTEXT, 0, (LPARAM)text);
    } else if (!strcmp(step, "click")) {
      Controls c = Find();
      HWND b = Button(c, Arg(argc, argv, ++i));
      if (!IsWindowVisible(b) || !IsWindowEnabled(b))
        Fail("cannot click a hidden or disabled button", argv[i]);
      Post(c.main, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), (LPARAM)b);
    } else if (!strcmp(step, "alt")) {
      Controls c = Find();
      Post(c.main, WM_SYSCHAR, (WPARAM)(unsigned char)Arg(argc, argv, ++i)[0],
           0x20000001);
    } else if (!strcmp(step, "point")) {
      Controls c = Find();
      int x = atoi(Arg(argc, argv, ++i));
      int y = atoi(Arg(argc, argv, ++i));
      Post(c.main, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    } else if (!strcmp(step, "close")) {
      Controls c = Find();
      Post(c.main, WM_CLOSE, 0, 0);
    } else if (!strcmp(step, "done")) {
      WaitDone();
    } else if (!strcmp(step, "box")) {
      const char* path = Arg(argc, argv, ++i);
      const char* answer = Arg(argc, argv, ++i);
      HWND box = NULL;
      WaitFor([&box] { box = CurrentBox(); return box != NULL; },
              "a message box");
      Sleep(200);  // let it finish laying itself out
      std::string dump = "caption=" + Text(box) + "\ntext=" + BoxMessage(box) +
                         "\n";
      HWND name = FileNameField(box);
      if (name) dump += "file=" + Text(name) + "\n";
      SaveFile(path, dump);
      int id = !strcmp(answer, "yes")      ? IDYES
               : !strcmp(answer, "no")     ? IDNO
               : !strcmp(answer, "cancel") ? IDCANCEL
                                           : IDOK;
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   (LPARAM)GetDlgItem(box, id));
      WaitFor([box] { return !IsWindow(box) || !IsWindowVisible(box); },
              "the message box to close");
    } else if (!strcmp(step, "boxshown")) {
      WaitFor([] { return CurrentBox() != NULL; }, "a message box");
    } else if (!strcmp(step, "nobox")) {
      DWORD ms = (DWORD)atoi(Arg(argc, argv, ++i));
      DWORD start = GetTickCount();
      while (GetTickCount() - start < ms) {
        HWND box = CurrentBox();
        if (box) Fail("unexpected message box:", Text(box).c_str());
        Sleep(50);
      }
    } else if (!strcmp(step, "pick")) {
      const char* file = Arg(argc, argv, ++i);
      HWND box = NULL;
      WaitFor([&box] { box = CurrentBox(); return box != NULL; },
              "the file dialog");
      Sleep(300);
      HWND edit = FileNameField(box);
      if (!edit) Fail("the file dialog has no file name field");
      Send(edit, WM_SETTEXT, 0, (LPARAM)file);
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   (LPARAM)GetDlgItem(box, IDOK));
      WaitFor([box] { return !IsWindow(box) || !IsWindowVisible(box); },
              "the file dialog to close");
    } else if (!strcmp(step, "assoc")) {
      SetAssociation(Arg(argc, argv, ++i));
    } else if (!strcmp(step, "sleep")) {
      Sleep((DWORD)atoi(Arg(argc, argv, ++i)));
    } else {
      Fail("unknown step", step);
    }
  }
  // A click still being handled (a box it opened, say) is left to the next
  // invocation; the window goes on with it when this process ends.
  fflush(stdout);
  ExitProcess(0);
}
