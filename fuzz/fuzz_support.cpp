#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/posix_hooks.h"
#include "platform/posix_registry.h"

const char* const kFuzzVersions[] = {
    "Orvenda library, version zero. Shared text that every version keeps: "
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789.",
    "Orvenda library, version one. Shared text that every version keeps: "
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789, with a tail of its own.",
    "Orvenda library, version two! Shared text that every version keeps: "
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789, with a longer tail of its own.",
    "Orvenda library, version three. Shared text that every version keeps:"
    " abcdefghijklmnopqrstuvwxyz 0123456789 and a new ending altogether.",
};
const int kFuzzVersionCount = 4;

const FuzzFile kFuzzFiles[] = {
    {"a.dll", kFuzzVersions[1]},
    {"b.dll", "b library: the old bytes of the second patched file"},
    {"c.txt", "an obsolete text file"},
    {"keep.txt", "the user's own file, which no patch names"},
};
const int kFuzzFileCount = 4;

const char kFuzzAppKey[] = "Software\\Orvenda\\App";
const char kFuzzSettingsKey[] = "Software\\Orvenda\\App\\Settings";
const char kFuzzMachineKey[] = "Software\\Orvenda";

namespace {

const char* const kTargets[] = {"app", "win", "sys", "reg", "tmp"};

std::string g_root;

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    DIR* d = opendir(path.c_str());
    if (d) {
      std::vector<std::string> names;
      while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
          names.push_back(e->d_name);
      }
      closedir(d);
      for (const std::string& n : names) RemoveTree(path + "/" + n);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void RemoveRoot() {
  if (!g_root.empty()) RemoveTree(g_root);
}

void WriteFile(const std::string& path, const char* data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) FuzzFail("cannot write a fixture file", path);
  fwrite(data, 1, strlen(data), f);
  fclose(f);
}

void Walk(const std::string& base, const std::string& rel,
          std::map<std::string, std::string>* out) {
  std::string here = rel.empty() ? base : base + "/" + rel;
  DIR* d = opendir(here.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
      names.push_back(e->d_name);
  closedir(d);
  for (const std::string& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    std::string p = base + "/" + r;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Walk(base, r, out);
    } else {
      FILE* f = fopen(p.c_str(), "rb");
      std::string bytes;
      if (f) {
        char buf[4096];
        size_t k;
        while ((k = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, k);
        fclose(f);
      }
      (*out)[r] = bytes;
    }
  }
}

// --- The guarding table ------------------------------------------------------

const Platform* g_base;
Platform g_guard;
int64_t g_budget = -1;

// The path as the system will take it, made absolute and with "." and ".."
// worked out by name (the applier makes no links).
std::string Normal(const char* path) {
  std::string p = path ? path : "";
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.empty() || p[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
    p = std::string(cwd) + "/" + p;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string c = p.substr(i, j - i);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.push_back(c);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& c : parts) out += "/" + c;
  return out.empty() ? "/" : out;
}

}  // namespace

std::string FuzzNormalPath(const char* path) { return Normal(path); }

namespace {

bool Inside(const char* path) {
  std::string n = Normal(path);
  for (const char* t : kTargets) {
    std::string base = g_root + "/" + t;
    if (n == base || n.compare(0, base.size() + 1, base + "/") == 0)
      return true;
  }
  return false;
}

void MustBeInside(const char* op, const char* path) {
  if (!Inside(path))
    FuzzFail("a change outside the target folders",
             std::string(op) + " " + (path ? path : "(null)"));
}

PlatformFile GOpen(const char* path, OpenMode mode) {
  if (mode != kOpenForReading) MustBeInside("open for writing", path);
  return g_base->open_file(path, mode);
}

bool GWrite(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  if (done) *done = 0;
  if (g_budget >= 0) {
    if (n > g_budget) {
      g_budget = 0;
      return false;
    }
    g_budget -= n;
  }
  return g_base->write(f, buf, n, done);
}

bool GSetAttributes(const char* path, uint32_t a) {
  MustBeInside("set attributes", path);
  return g_base->set_attributes(path, a);
}

bool GDelete(const char* path) {
  MustBeInside("delete", path);
  return g_base->delete_file(path);
}

bool GMove(const char* from, const char* to) {
  MustBeInside("move from", from);
  MustBeInside("move to", to);
  return g_base->move_file(from, to);
}

// Making the folders above a path tries every prefix, so folders that exist
// outside are asked for too; only one that would really be made counts.
bool GCreateFolder(const char* path) {
  if (!Inside(path)) {
    struct stat st;
    std::string n = Normal(path);
    if (lstat(n.c_str(), &st) != 0)
      FuzzFail("a folder made outside the target folders", path ? path : "");
  }
  return g_base->create_folder(path);
}

// Removing a folder only ever removes an empty one; the walk over the
// parents of a path reaches far above the target folders by design.
bool GRemoveFolder(const char* path) { return g_base->remove_folder(path); }

bool GMoveAtRestart(const char* from, const char* to) {
  MustBeInside("move at restart from", from);
  MustBeInside("move at restart to", to);
  return g_base->move_at_restart(from, to);
}

}  // namespace

[[noreturn]] void FuzzFail(const char* what, const std::string& detail) {
  fprintf(stderr, "\n*** fuzz check failed: %s\n    %s\n", what,
          detail.c_str());
  fflush(stderr);
  abort();
}

const std::string& FuzzRoot() {
  if (!g_root.empty()) return g_root;
  const char* base = "/dev/shm";
  if (access(base, W_OK) != 0) {
    base = getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
  }
  std::string templ = std::string(base) + "/selfpatch-fuzz.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) FuzzFail("no scratch folder", templ);
  g_root = buf.data();
  atexit(RemoveRoot);
  return g_root;
}

std::string FuzzPath(const char* sub) { return FuzzRoot() + "/" + sub; }

void FuzzResetWorld() {
  const std::string& root = FuzzRoot();
  for (const char* t : kTargets) {
    std::string dir = root + "/" + t;
    RemoveTree(dir);
    if (mkdir(dir.c_str(), 0777) != 0) FuzzFail("mkdir", dir);
    if (strcmp(t, "tmp") == 0) continue;
    for (int i = 0; i < kFuzzFileCount; i++)
      WriteFile(dir + "/" + kFuzzFiles[i].name, kFuzzFiles[i].data);
  }
  PosixResetSettings();
  PosixSetWindowsFolder((root + "/win").c_str());
  PosixSetSystemFolder((root + "/sys").c_str());
  PosixSetTempFolder((root + "/tmp").c_str());
  PosixSetRestartAccepted(false);

  PosixRegClear();
  std::string folder = root + "/reg";
  PosixRegSetValue(kHkeyCurrentUser, kFuzzAppKey, "Folder", kRegSz,
                   folder.c_str(), (uint32_t)folder.size() + 1);
  // The chosen folder under another spelling: two groups, one folder.
  std::string alias = root + "//app";
  PosixRegSetValue(kHkeyCurrentUser, kFuzzAppKey, "Alias", kRegSz,
                   alias.c_str(), (uint32_t)alias.size() + 1);
  PosixRegSetValue(kHkeyCurrentUser, kFuzzSettingsKey, "Version", kRegSz, "1",
                   2);
  const uint8_t count[4] = {7, 0, 0, 0};
  PosixRegSetValue(kHkeyCurrentUser, kFuzzSettingsKey, "Count", kRegDword,
                   count, 4);
  const char install[] = "C:\\Orvenda";
  PosixRegSetValue(kHkeyLocalMachine, kFuzzMachineKey, "Install", kRegSz,
                   install, sizeof install);
  PosixRegSetValue(kHkeyLocalMachine, kFuzzMachineKey, "Empty", kRegSz, "",
                   1);
}

std::map<std::string, std::string> FuzzFilesBelow(const std::string& dir) {
  std::map<std::string, std::string> out;
  Walk(dir, "", &out);
  return out;
}

const Platform* FuzzGuardedPlatform() {
  if (!g_base) {
    g_base = PlatformNative();
    g_guard = *g_base;
    g_guard.open_file = GOpen;
    g_guard.write = GWrite;
    g_guard.set_attributes = GSetAttributes;
    g_guard.delete_file = GDelete;
    g_guard.move_file = GMove;
    g_guard.create_folder = GCreateFolder;
    g_guard.remove_folder = GRemoveFolder;
    g_guard.move_at_restart = GMoveAtRestart;
  }
  return &g_guard;
}

void FuzzSetWriteBudget(int64_t bytes) { g_budget = bytes; }

int FuzzOpenDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

Session* FuzzSession(const Platform* os) {
  static std::unique_ptr<Session> s(new Session);
  SessionInit(s.get(), os);
  return s.get();
}

bool FuzzLoadPayload(Session* s, const uint8_t* data, size_t size,
                     uint32_t group_table_pos) {
  if (size > 0x7FFFFFFF) return false;
  PlatformFile f = s->os->create_temp_file();
  if (!f) return false;
  int32_t done = 0;
  if (size > 0 && (!s->os->write(f, data, (int32_t)size, &done) ||
                   done != (int32_t)size)) {
    s->os->close(f);
    return false;
  }
  s->os->seek(f, 0);
  s->payload = f;
  s->group_table_pos = group_table_pos;
  return true;
}

namespace {

void DumpVisit(void* ctx, RegKey root, const char* key_path,
               const PosixRegValue* value) {
  std::string* out = (std::string*)ctx;
  char head[32];
  snprintf(head, sizeof head, "%08lx ", (unsigned long)root);
  *out += head;
  *out += key_path;
  if (value) {
    *out += " : ";
    *out += value->name;
    snprintf(head, sizeof head, " (%u) ", (unsigned)value->type);
    *out += head;
    out->append((const char*)value->data, value->size);
  }
  *out += '\n';
}

}  // namespace

std::string FuzzRegistryDump() {
  std::string out;
  PosixRegVisit(DumpVisit, &out);
  return out;
}
