#include "shell/links.h"

#include <windows.h>

#include <string.h>

#include "core/str.h"
#include "texts_big5.h"

namespace {

// Registry values are read into a buffer of this size; one more byte stays
// NUL, so a value that fills the buffer without a terminator still ends.
enum { kValueSize = 301 };

// Reads the default value of a key below HKEY_CLASSES_ROOT.
bool ReadDefaultValue(const char* subkey, char (&value)[kValueSize + 1]) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  // Cleared first: a value stored without its NUL must not run on into
  // bytes of an earlier query.
  memset(value, 0, sizeof value);
  DWORD type = 0;
  DWORD size = kValueSize;
  LONG rc = RegQueryValueExA(key, "", NULL, &type,
                             reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// The association's command with every "%1" replaced by the address, or the
// address appended after a space when it has no "%1". Other percent
// sequences are the handler's business and stay as they are.
void BuildCommand(const char* association, const char* address, Str* out) {
  StrClear(out);
  bool placed = false;
  for (const char* p = association; *p; ++p) {
    if (p[0] == '%' && p[1] == '1') {
      StrCatZ(out, address);
      placed = true;
      ++p;
    } else {
      StrCatCh(out, *p);
    }
  }
  if (!placed) {
    StrCatCh(out, ' ');
    StrCatZ(out, address);
  }
}

bool StartBrowser(const char* address) {
  char value[kValueSize + 1];
  if (!ReadDefaultValue(".htm", value) || value[0] == 0) return false;
  Str key;
  StrSetZ(&key, value);
  StrCatZ(&key, "\\shell\\open\\command");
  if (key.overflow || !ReadDefaultValue(key.s, value)) return false;
  Str command;
  BuildCommand(value, address, &command);
  // A command cut short could start something else entirely.
  if (command.overflow) return false;
  return WinExec(command.s, SW_SHOW) > 31;
}

}  // namespace

void OpenLink(const char* address) {
  if (StartBrowser(address)) return;
  Str text;
  StrClear(&text);
  StrCat(&text, kTextBrowserFallbackHead, sizeof kTextBrowserFallbackHead - 1);
  StrCatCh(&text, '"');
  StrCatZ(&text, address);
  StrCatCh(&text, '"');
  StrCat(&text, kTextBrowserFallbackTail, sizeof kTextBrowserFallbackTail - 1);
  MessageBoxA(NULL, text.s, "Info", MB_OK);
}
