#include "maker/tree.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

namespace maker {

namespace {

std::string Errno(const std::string& what) {
  return what + ": " + strerror(errno);
}

void Walk(const std::string& root, const std::string& rel, Tree* out,
          int depth) {
  if (depth > 64) throw MakeError(root + "/" + rel + ": folders nested too deeply");
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) throw MakeError(Errno("cannot read folder " + dir));
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    std::string full = root + "/" + r;
    struct stat st;
    if (stat(full.c_str(), &st) != 0) throw MakeError(Errno("cannot read " + full));
    if (S_ISDIR(st.st_mode)) {
      Walk(root, r, out, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      TreeFile f;
      f.path = full;
      f.size = (uint64_t)st.st_size;
      f.mtime = st.st_mtime;
      f.dev = st.st_dev;
      f.ino = st.st_ino;
      (*out)[r] = f;
    } else {
      throw MakeError(full + ": neither a file nor a folder");
    }
  }
}

}  // namespace

Tree ScanTree(const std::string& root) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0) throw MakeError(Errno("cannot read " + root));
  if (!S_ISDIR(st.st_mode)) throw MakeError(root + ": not a folder");
  Tree t;
  Walk(root, "", &t, 0);
  return t;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) throw MakeError(Errno("cannot open " + path));
  std::vector<uint8_t> data;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    data.insert(data.end(), buf, buf + n);
    if (data.size() > 0x7FFFFFFFu) {
      fclose(f);
      throw MakeError(path + ": files of 2 GiB or more cannot be patched");
    }
  }
  bool bad = ferror(f) != 0;
  fclose(f);
  if (bad) throw MakeError(Errno("cannot read " + path));
  return data;
}

uint32_t DosStampOf(time_t t) {
  struct tm tm;
  if (!localtime_r(&t, &tm) || tm.tm_year < 80) return (1u << 5 | 1u) << 16;
  if (tm.tm_year > 80 + 127)
    return ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u);
  uint32_t date = (uint32_t)(tm.tm_year - 80) << 9 | (uint32_t)(tm.tm_mon + 1) << 5 |
                  (uint32_t)tm.tm_mday;
  uint32_t tod = (uint32_t)tm.tm_hour << 11 | (uint32_t)tm.tm_min << 5 |
                 (uint32_t)((tm.tm_sec > 59 ? 59 : tm.tm_sec) / 2);
  return date << 16 | tod;
}

}  // namespace maker
