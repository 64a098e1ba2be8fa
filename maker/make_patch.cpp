#include "maker/make_patch.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "delta/crc32.h"
#include "delta/rebuild.h"
#include "maker/cp950.h"
#include "maker/delta_encoder.h"
#include "maker/manifest.h"
#include "maker/raw_deflate.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"
#include "payload/entry_pass.h"
#include "payload/payload_state.h"

namespace maker {

namespace {

enum { kMaxVersions = 20, kMaxText = 1000 };
const char kDefaultBackup[] = "BACKUP";

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

uint32_t Crc(const std::vector<uint8_t>& d, HoleSpec hole) {
  if (hole.length == 0)
    return CrcUpdate(d.data(), (int32_t)d.size(), kCrcPreset);
  uint64_t a = std::min<uint64_t>(hole.offset, d.size());
  uint64_t b = std::min<uint64_t>((uint64_t)hole.offset + hole.length, d.size());
  uint32_t r = CrcUpdate(d.data(), (int32_t)a, kCrcPreset);
  return CrcUpdate(d.data() + b, (int32_t)(d.size() - b), r);
}

// ---------------------------------------------------------------------------
// Which group a file belongs to: the group with the longest folder that
// holds it.

struct Placed {
  int group = -1;
  std::string rel;  // below the group's folder
};

Placed PlaceFile(const Manifest& m, const std::string& path) {
  Placed best;
  size_t best_len = 0;
  for (size_t g = 0; g < m.groups.size(); g++) {
    const std::string& f = m.groups[g].folder;
    bool inside = f.empty() ||
                  (path.size() > f.size() && path.compare(0, f.size(), f) == 0 &&
                   path[f.size()] == '/');
    if (!inside) continue;
    if (best.group < 0 || f.size() > best_len) {
      best.group = (int)g;
      best_len = f.size();
      best.rel = f.empty() ? path : path.substr(f.size() + 1);
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// One file of the new version, with its old versions.

struct FileJob {
  int group;
  std::string rel;                     // below the group folder
  std::string path;                    // below the version folders
  const TreeFile* now = nullptr;       // in the new folder
  std::vector<const TreeFile*> olds;   // per old version; null if absent
  FileRule rule;
};

enum class Outcome { kUnchanged, kPatched, kNew };

struct FileResult {
  Outcome outcome = Outcome::kUnchanged;
  writer::PatchedFile patched;
  writer::NewFile added;
  std::string error;  // a MakeError's text
  std::string bug;    // a logic_error's text
};

HoleSpec SourceHole(const FileJob& job, size_t version) {
  if (job.rule.has_source_holes) return job.rule.source_holes[version];
  return job.rule.has_hole ? job.rule.hole : HoleSpec();
}

// The delta from `from` to `to`, checked by the applier's own rebuild. The
// bytes in `to_hole` may come out as the user's own (copied from
// `from_hole`), so they are left out of the comparison, as the applier
// leaves them out of its checksum.
writer::PatchedSource Step(const std::vector<uint8_t>& from,
                           const std::vector<uint8_t>& to, HoleSpec from_hole,
                           HoleSpec to_hole, const DeltaOptions& base,
                           const std::string& path) {
  DeltaOptions o = base;
  o.old_hole_offset = from_hole.offset;
  o.old_hole_length = from_hole.length;
  o.new_hole_offset = to_hole.offset;
  o.new_hole_length = to_hole.length;
  EncodedDelta d = EncodeDelta(from.data(), (uint32_t)from.size(), to.data(),
                               (uint32_t)to.size(), o);
  std::vector<uint8_t> streams = JoinStreams(d);
  MemRebuild m;
  RebuildResult rr;
  MsgCode code = RebuildInMemory(
      &d.record, (int32_t)to.size(), from.data(), (int32_t)from.size(),
      streams.data(), (int32_t)streams.size(), &m, &rr);
  bool same = code == 0 && m.out_len == (int32_t)to.size() &&
              rr.byte_count == (int32_t)to.size();
  if (same) {
    std::vector<uint8_t> out(m.out, m.out + m.out_len);
    same = Crc(out, to_hole) == Crc(to, to_hole) &&
           (to_hole.length ||
            rr.crc == CrcUpdate(to.data(), (int32_t)to.size(), kCrcPreset));
    for (size_t i = 0; same && i < to.size(); i++)
      if (out[i] != to[i] &&
          (i < to_hole.offset || i - to_hole.offset >= to_hole.length))
        same = false;
  }
  MemRebuildFree(&m);
  if (!same)
    throw std::logic_error("the delta made for " + path +
                           " does not rebuild it (rebuild result " +
                           std::to_string(code) + "); this is a bug");
  writer::PatchedSource src;
  src.name = "";
  src.record = d.record;
  src.record.old_checksum = Crc(from, from_hole);
  src.record.old_size = (uint32_t)from.size();
  src.hole = writer::HolePair{from_hole.offset, from_hole.length};
  size_t at = 0;
  for (int i = 0; i < kStreamCount; i++) {
    src.streams[i].assign(streams.begin() + at,
                          streams.begin() + at + d.record.stream_len[i]);
    at += d.record.stream_len[i];
  }
  return src;
}

FileResult RunJob(const FileJob& job, const DeltaOptions& dopt) {
  FileResult r;
  std::vector<uint8_t> now = ReadFileBytes(job.now->path);
  uint32_t stamp = job.rule.stamp_given ? job.rule.stamp
                                        : DosStampOf(job.now->mtime);
  bool any_old = false;
  for (const TreeFile* f : job.olds) any_old = any_old || f;
  if (!any_old) {
    r.outcome = Outcome::kNew;
    r.added.data.assign(now.begin(), now.end());
    r.added.stamp = stamp;
    return r;
  }
  // The distinct old contents that differ from the new one, each where it
  // last occurs, in version order.
  std::vector<std::vector<uint8_t>> contents;
  std::vector<size_t> version_of;
  for (size_t v = 0; v < job.olds.size(); v++) {
    if (!job.olds[v]) continue;
    std::vector<uint8_t> c = ReadFileBytes(job.olds[v]->path);
    if (c == now) continue;
    for (size_t k = 0; k < contents.size(); k++)
      if (contents[k] == c) {
        contents.erase(contents.begin() + k);
        version_of.erase(version_of.begin() + k);
        break;
      }
    contents.push_back(std::move(c));
    version_of.push_back(v);
  }
  if (contents.empty()) return r;  // unchanged

  r.outcome = Outcome::kPatched;
  writer::PatchedFile& p = r.patched;
  HoleSpec entry_hole = job.rule.has_hole ? job.rule.hole : HoleSpec();
  p.new_checksum = Crc(now, entry_hole);
  p.new_size = (uint32_t)now.size();
  p.new_stamp = stamp;
  p.flags = (uint8_t)((job.rule.has_hole || job.rule.has_source_holes
                           ? kEntryHasHoles
                           : 0) |
                      (job.rule.optional ? kEntryOptional : 0) |
                      (job.rule.quiet ? kEntryQuiet : 0));
  p.hole = writer::HolePair{entry_hole.offset, entry_hole.length};
  for (size_t k = 0; k < contents.size(); k++) {
    const std::vector<uint8_t>& to = k + 1 < contents.size() ? contents[k + 1]
                                                             : now;
    HoleSpec to_hole = k + 1 < contents.size()
                           ? SourceHole(job, version_of[k + 1])
                           : entry_hole;
    p.sources.push_back(Step(contents[k], to, SourceHole(job, version_of[k]),
                             to_hole, dopt, job.path));
  }
  return r;
}

// ---------------------------------------------------------------------------
// Inputs that the output must never replace.

std::string AbsolutePath(const std::string& p) {
  char buf[PATH_MAX];
  if (realpath(p.c_str(), buf)) return buf;
  // The output need not exist yet: resolve its folder instead.
  std::string dir = ".", base = p;
  size_t slash = p.rfind('/');
  if (slash != std::string::npos) {
    dir = slash == 0 ? "/" : p.substr(0, slash);
    base = p.substr(slash + 1);
  }
  if (!realpath(dir.c_str(), buf))
    throw MakeError("cannot write " + p + ": its folder " + dir +
                    " does not exist");
  std::string r = buf;
  return r == "/" ? "/" + base : r + "/" + base;
}

void CheckOutput(const MakeOptions& o, const std::vector<const Tree*>& trees) {
  std::string out = AbsolutePath(o.out);
  std::vector<std::string> dirs = o.old_dirs;
  dirs.push_back(o.new_dir);
  for (const std::string& d : dirs) {
    std::string a = AbsolutePath(d);
    if (out == a || out.compare(0, a.size() + 1, a + "/") == 0)
      throw MakeError("the output " + o.out + " lies inside the input folder " +
                      d + "; write it elsewhere");
  }
  struct stat so;
  if (stat(o.out.c_str(), &so) != 0) return;
  if (S_ISDIR(so.st_mode)) throw MakeError(o.out + " is a folder");
  for (const std::string& f : {o.stub, o.notice_file, o.description_file,
                               o.manifest_file}) {
    struct stat sf;
    if (!f.empty() && stat(f.c_str(), &sf) == 0 && sf.st_dev == so.st_dev &&
        sf.st_ino == so.st_ino)
      throw MakeError("the output " + o.out + " is the input " + f +
                      "; write it elsewhere");
  }
  for (const Tree* t : trees)
    for (const auto& e : *t)
      if (e.second.dev == so.st_dev && e.second.ino == so.st_ino)
        throw MakeError("the output " + o.out + " is the input " +
                        e.second.path + "; write it elsewhere");
}

void WriteOutput(const std::string& out, const std::vector<uint8_t>& stub,
                 const std::vector<uint8_t>& container) {
  std::string tmp = out + ".tmp" + std::to_string((long)getpid());
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) throw MakeError("cannot write " + tmp + ": " + strerror(errno));
  bool ok = fwrite(stub.data(), 1, stub.size(), f) == stub.size() &&
            fwrite(container.data(), 1, container.size(), f) ==
                container.size();
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(tmp.c_str(), out.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    throw MakeError("cannot write " + out + ": " + strerror(e));
  }
}

int JobCount(int asked, size_t work) {
  int n = asked > 0 ? asked : (int)std::thread::hardware_concurrency();
  if (n < 1) n = 1;
  if ((size_t)n > work) n = (int)std::max<size_t>(work, 1);
  return n;
}

// Runs f(i) for i in [0, n) on `threads` threads; deterministic as long as
// f(i) only writes its own slot.
template <typename F>
void Parallel(size_t n, int threads, F f) {
  std::atomic<size_t> next(0);
  auto worker = [&]() {
    for (size_t i; (i = next++) < n;) f(i);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; t++) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
}

}  // namespace

std::string PayloadName(const std::string& rel) {
  // Characters Windows does not allow in a name; a '\\' would even become a
  // folder separator in the payload.
  for (unsigned char c : rel)
    if (c < 0x20 || strchr("\\:*?\"<>|", c))
      throw MakeError("the name " + rel + " holds a character (" +
                      (c < 0x20 ? std::string("a control character")
                                : std::string(1, (char)c)) +
                      ") that Windows does not allow in a name");
  std::string name;
  try {
    name = Utf8ToCp950(rel);
  } catch (const TextError& e) {
    std::string why = e.what();
    if (why.compare(0, 8, "line 1: ") == 0) why.erase(0, 8);
    throw MakeError("the name " + rel + " cannot be stored: " + why);
  }
  for (char& c : name)
    if (c == '/') c = '\\';
  if (name.size() > 255)
    throw MakeError("the name " + rel + " needs " + std::to_string(name.size()) +
                    " bytes in code page 950; the applier takes at most 255");
  if (!PayloadNameStaysInside(name.c_str(), (int32_t)name.size()))
    throw MakeError("the name " + rel + " is not one the applier accepts");
  return name;
}

std::string PayloadText(const std::string& utf8, const std::string& source,
                        bool notice) {
  std::string t = utf8;
  if (t.compare(0, 3, "\xEF\xBB\xBF") == 0) t.erase(0, 3);
  std::string unix_lines;
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') continue;
    unix_lines.push_back(t[i] == '\r' ? '\n' : t[i]);
  }
  while (!unix_lines.empty() && unix_lines.back() == '\n') unix_lines.pop_back();
  std::string b;
  try {
    b = Utf8ToCp950(unix_lines);
  } catch (const TextError& e) {
    throw MakeError(source + ": " + e.what());
  }
  if (b.find('\0') != std::string::npos)
    throw MakeError(source + ": holds a NUL character");
  if (notice) {
    size_t at = b.find("#%");
    if (at != std::string::npos) {
      int line = 1 + (int)std::count(b.begin(), b.begin() + at, '\n');
      throw MakeError(source + ": line " + std::to_string(line) +
                      ": \"#%\" would end the notice there");
    }
  }
  if (b.size() > kMaxText)
    throw MakeError(source + ": " + std::to_string(b.size()) +
                    " bytes in code page 950; the applier shows at most " +
                    std::to_string((int)kMaxText));
  for (char& c : b)
    if (c == '\n') c = '\0';
  return b;
}

MakeReport MakePatch(const MakeOptions& o) {
  if (o.old_dirs.empty()) throw MakeError("no old version given (--old)");
  if (o.old_dirs.size() > kMaxVersions)
    throw MakeError("at most " + std::to_string((int)kMaxVersions) +
                    " old versions; " + std::to_string(o.old_dirs.size()) +
                    " given");
  if (o.new_dir.empty()) throw MakeError("no new version given (--new)");
  if (o.out.empty()) throw MakeError("no output given (-o)");
  if (o.level < 0 || o.level > 9) throw MakeError("--level takes 0 to 9");
  auto say = [&](const std::string& s) {
    if (o.progress) o.progress(s);
  };

  // Inputs.
  say("reading the version folders");
  std::vector<Tree> olds;
  for (const std::string& d : o.old_dirs) olds.push_back(ScanTree(d));
  Tree now = ScanTree(o.new_dir);
  std::vector<const Tree*> all_trees;
  for (const Tree& t : olds) all_trees.push_back(&t);
  all_trees.push_back(&now);
  CheckOutput(o, all_trees);

  Manifest man = o.manifest_file.empty()
                     ? DefaultManifest()
                     : ParseManifest(ReadText(o.manifest_file), o.manifest_file);
  std::string backup_default = kDefaultBackup;
  if (man.backup_given) backup_default = man.backup;
  if (!o.backup.empty()) {
    try {
      backup_default = Utf8ToCp950(o.backup);
    } catch (const TextError& e) {
      throw MakeError(std::string("--backup: ") + e.what());
    }
    if (backup_default.size() > 255)
      throw MakeError("--backup: longer than 255 bytes in code page 950");
  }
  for (const GroupSpec& g : man.groups) {
    const std::string& b = g.backup_given ? g.backup : backup_default;
    if (!PayloadNameStaysInside(b.c_str(), (int32_t)b.size()))
      throw MakeError("the backup folder name \"" + b +
                      "\" must be a plain relative folder name");
    for (const auto& f : g.files)
      if (f.second.has_source_holes &&
          f.second.source_holes.size() != o.old_dirs.size())
        throw MakeError("the manifest's source_holes for " + f.first + " list " +
                        std::to_string(f.second.source_holes.size()) +
                        " holes for " + std::to_string(o.old_dirs.size()) +
                        " old versions");
  }
  std::string notice, description;
  if (!o.notice_file.empty())
    notice = PayloadText(ReadText(o.notice_file), o.notice_file, true);
  if (!o.description_file.empty())
    description =
        PayloadText(ReadText(o.description_file), o.description_file, false);
  std::vector<uint8_t> stub;
  if (!o.stub.empty()) stub = ReadFileBytes(o.stub);

  // Every path of every version, placed in its group.
  std::set<std::string> paths;
  for (const Tree* t : all_trees)
    for (const auto& e : *t) paths.insert(e.first);
  std::vector<std::vector<FileJob>> per_group(man.groups.size());
  std::vector<std::vector<std::string>> removed(man.groups.size());
  // Windows folds case: two names that differ only in it are one file.
  std::map<std::string, std::string> folded;
  for (const std::string& p : paths) {
    std::string f = p;
    for (char& c : f) c = (char)tolower((unsigned char)c);
    auto ins = folded.emplace(f, p);
    if (!ins.second)
      throw MakeError("the names " + ins.first->second + " and " + p +
                      " differ only in case; on Windows they are one file");
  }
  for (const std::string& p : paths) {
    Placed pl = PlaceFile(man, p);
    if (pl.group < 0)
      throw MakeError(p + " lies in no group's folder of the manifest");
    GroupSpec& g = man.groups[pl.group];
    auto in_now = now.find(p);
    auto rule = g.files.find(pl.rel);
    if (in_now == now.end()) {
      if (olds.back().count(p)) removed[pl.group].push_back(pl.rel);
      if (rule != g.files.end()) rule->second.used = true;
      continue;
    }
    FileJob job;
    job.group = pl.group;
    job.rel = pl.rel;
    job.path = p;
    job.now = &in_now->second;
    size_t missing = 0, present = 0;
    for (const Tree& t : olds) {
      auto f = t.find(p);
      job.olds.push_back(f == t.end() ? nullptr : &f->second);
      (f == t.end() ? missing : present)++;
    }
    if (missing && present && o.warn)
      o.warn(p + " is missing from " + std::to_string(missing) +
             " of the old versions; users of those get no copy of it");
    if (rule != g.files.end()) {
      job.rule = rule->second;
      rule->second.used = true;
    }
    per_group[pl.group].push_back(job);
  }
  for (const GroupSpec& g : man.groups)
    for (const auto& f : g.files)
      if (!f.second.used)
        throw MakeError("the manifest names " +
                        (g.folder.empty() ? f.first : g.folder + "/" + f.first) +
                        ", which no version holds");

  // Names first, so a bad one stops the run before any encoding.
  std::vector<FileJob*> jobs;
  for (auto& g : per_group)
    for (FileJob& j : g) {
      PayloadName(j.rel);
      jobs.push_back(&j);
    }
  for (auto& g : removed)
    for (const std::string& r : g) PayloadName(r);

  // Encoding, in parallel; results land in their own slots.
  say("encoding " + std::to_string(jobs.size()) + " files");
  DeltaOptions dopt;
  dopt.search_level = o.stored ? 6 : std::min(6, std::max(o.level, 1));
  dopt.zopfli_judge = o.zopfli && !o.stored;
  // Who asks for zopfli asks for the smallest patch: search wide too.
  if (dopt.zopfli_judge) dopt.effort = 2;
  std::vector<FileResult> results(jobs.size());
  std::mutex progress_mu;
  std::atomic<size_t> done(0);
  // Threads beyond one per file judge a file's candidates side by side.
  int file_threads = JobCount(o.jobs, jobs.size());
  dopt.threads = std::max(1, JobCount(o.jobs, 1 << 20) / file_threads);
  Parallel(jobs.size(), file_threads, [&](size_t i) {
    try {
      results[i] = RunJob(*jobs[i], dopt);
    } catch (const MakeError& e) {
      results[i].error = e.what();
    } catch (const std::logic_error& e) {
      results[i].bug = e.what();
    } catch (const std::exception& e) {
      results[i].error = jobs[i]->path + ": " + e.what();
    }
    size_t n = ++done;
    std::lock_guard<std::mutex> lock(progress_mu);
    say(std::to_string(n) + "/" + std::to_string(jobs.size()) + " " +
        jobs[i]->path);
  });
  for (const FileResult& r : results) {
    if (!r.bug.empty()) throw std::logic_error(r.bug);
    if (!r.error.empty()) throw MakeError(r.error);
  }

  // The payload.
  MakeReport rep;
  writer::PayloadBuilder b;
  b.SetTexts(notice, description);
  size_t ji = 0;
  for (size_t gi = 0; gi < man.groups.size(); gi++) {
    const GroupSpec& g = man.groups[gi];
    const std::string& backup = g.backup_given ? g.backup : backup_default;
    switch (g.kind) {
      case kGroupChosenFolder: b.ChosenFolderGroup(backup); break;
      case kGroupRegistryValue:
        b.RegistryGroup(g.root, g.subkey, g.value_name, backup);
        break;
      case kGroupWindowsFolder: b.WindowsFolderGroup(backup); break;
      default: b.SystemFolderGroup(backup); break;
    }
    // Files and removals merged in name order.
    std::map<std::string, int> order;  // rel -> 0 removed, 1 job
    for (const std::string& r : removed[gi]) order[r] = 0;
    std::map<std::string, size_t> job_at;
    for (size_t k = 0; k < per_group[gi].size(); k++, ji++) {
      order[per_group[gi][k].rel] = 1;
      job_at[per_group[gi][k].rel] = ji;
    }
    for (const auto& e : order) {
      std::string name = PayloadName(e.first);
      if (e.second == 0) {
        b.AddRemoved(name);
        rep.removed++;
        continue;
      }
      FileResult& r = results[job_at[e.first]];
      if (r.outcome == Outcome::kUnchanged) {
        rep.unchanged++;
      } else if (r.outcome == Outcome::kNew) {
        r.added.name = name;
        b.AddNewFile(r.added);
        rep.added++;
      } else {
        r.patched.name = name;
        rep.sources += r.patched.sources.size();
        b.AddPatched(r.patched);
        rep.patched++;
      }
      r = FileResult();  // the entry holds the bytes now
    }
    for (const RegistrySpec& rs : g.registry) {
      writer::RegistryScript s(rs.check_root, rs.check_subkey, rs.check_value);
      for (const RegistryOp& op : rs.ops) {
        if (op.open)
          s.OpenKey(op.root, op.subkey);
        else
          s.SetValue(op.name, op.type, op.data);
      }
      b.AddRegistry(s);
      rep.registry++;
    }
  }
  std::vector<uint8_t> payload = b.BuildBytes();
  rep.payload_size = payload.size();
  if (payload.size() > 0xFFFFFFF0ull)
    throw MakeError("the payload would be 4 GiB or more");

  // The container.
  writer::ContainerOptions co;
  co.notice_length = b.notice_length();
  co.description_length = b.description_length();
  writer::Bytes container;
  if (o.stored) {
    container = writer::WrapRegion(payload, false, co);
  } else {
    say(o.zopfli ? "deflating with zopfli" : "deflating");
    // Level 9, the default: adaptive blocks over a quick optimal parse,
    // about 6% smaller than zlib on the delta streams for about 1.5
    // seconds of one processor per MiB.
    const int threads = JobCount(o.jobs, 1 << 20);
    std::vector<uint8_t> region =
        o.zopfli ? DeflateZopfliParts(payload.data(), payload.size(), 15,
                                      threads, 1 << 17)
        : o.level == 9
            ? DeflateSplitBlocks(payload.data(), payload.size(), threads)
            : DeflateZlib(payload.data(), payload.size(), o.level);
    container = writer::WrapRegion(region, true, co);
  }
  rep.container_size = container.size();
  rep.file_size = stub.size() + container.size();
  WriteOutput(o.out, stub, container);
  return rep;
}

}  // namespace maker
