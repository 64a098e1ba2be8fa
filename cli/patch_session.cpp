#include "cli/patch_session.h"

#include <errno.h>
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "cli/reg_file.h"
#include "container/container.h"
#include "messages/messages.h"
#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"

namespace {

bool ParseArgs(bool takes_yes, int argc, char** argv, PatchArgs* o) {
  int positional = 0;
  for (int i = 0; i < argc; i++) {
    const char* a = argv[i];
    if (takes_yes && !strcmp(a, "--yes")) {
      o->yes = true;
    } else if (!strcmp(a, "--registry")) {
      if (++i >= argc) return false;
      o->registry = argv[i];
    } else if (a[0] == '-' && a[1] == '-') {
      return false;
    } else if (positional == 0) {
      o->patch = a;
      positional++;
    } else if (positional == 1) {
      o->folder = a;
      positional++;
    } else {
      return false;
    }
  }
  return o->patch != nullptr;
}

}  // namespace

bool ReadPatchArgs(const char* cmd, bool takes_yes, int argc, char** argv,
                   PatchArgs* o, FILE* err, int* status) {
  *status = 2;
  if (!ParseArgs(takes_yes, argc, argv, o)) {
    fprintf(err, "usage: %s PATCH [FOLDER]%s [--registry FILE.reg]\n", cmd,
            takes_yes ? " [--yes]" : "");
    return false;
  }
  if (!IsFolder(o->folder)) {
    fprintf(err, "%s: %s: no such folder\n", cmd, o->folder);
    return false;
  }
  // The registry is what the file holds, or nothing.
  PosixRegClear();
  if (o->registry) {
    std::string error;
    if (!LoadRegFile(o->registry, &error)) {
      fprintf(err, "%s: %s\n", cmd, error.c_str());
      return false;
    }
  }
  *status = 0;
  return true;
}

std::string Cp950ToUtf8(const std::string& text) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "CP950");
  if (cd == (iconv_t)-1) {
    // No converter: the ASCII part is still worth showing.
    for (char c : text) out.push_back((unsigned char)c < 0x80 ? c : '?');
    return out;
  }
  std::string in = text;
  char* src = &in[0];
  size_t left = in.size();
  char buf[1024];
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, (size_t)(dst - buf));
    if (r == (size_t)-1 && errno != E2BIG) {
      out += "\xEF\xBF\xBD";  // U+FFFD for the byte that did not convert
      src++;
      left--;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  for (char& c : out)
    if (c == '\r') c = '\n';
  return out;
}

std::string Cp950ToUtf8(const char* text) {
  return Cp950ToUtf8(std::string(text ? text : ""));
}

std::string MessageUtf8(const Session* s, MsgCode code) {
  Str text;
  MessageText(s, code, &text);
  std::string u = Cp950ToUtf8(std::string(text.s, (size_t)text.len));
  for (char& c : u)
    if (c == '\n') c = ' ';
  size_t a = u.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  size_t b = u.find_last_not_of(' ');
  return u.substr(a, b - a + 1);
}

PatchSession::PatchSession() {
  // The session holds fixed path buffers: too big for the stack.
  s_ = (Session*)calloc(1, sizeof(Session));
  if (!s_) abort();
  SessionInit(s_, PlatformNative());
}

PatchSession::~PatchSession() {
  SessionClose(s_);
  free(s_);
}

MsgCode PatchSession::Open(const char* cmd, const char* patch,
                           const char* folder, FILE* err) {
  s_->own_path_set = true;
  const char* bad = !SetCorePath(&s_->own_path, patch)        ? patch
                    : !SetCorePath(&s_->chosen_folder, folder) ? folder
                                                               : nullptr;
  if (bad) {
    fprintf(err, "%s: %s: path too long, or not a name in code page 950\n",
            cmd, bad);
    return kMsgCannotOpenSelf;
  }
  MsgCode rc = LoadContainer(s_);
  if (rc != kOk) fprintf(err, "%s: %s\n", cmd, MessageUtf8(s_, rc).c_str());
  return rc;
}

bool SetCorePath(Str* dst, const char* host) {
  char buf[kStrCap];
  int32_t n = PosixPathForCore(host, buf, (int32_t)sizeof buf);
  if (n < 0) {
    StrClear(dst);
    return false;
  }
  StrSet(dst, buf, n);
  return !dst->overflow;
}

bool IsFolder(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}
