// selfpatch make --old DIR [--old DIR ...] --new DIR -o OUT [options]
//
//   --old DIR          a known old version; repeat for several, oldest first
//   --new DIR          the version the patch brings
//   -o, --output OUT   the patch file to write (never one of the inputs)
//   --stub FILE        the applier program to put in front of the container;
//                      without it OUT is the container alone
//   --backup NAME      backup folder name (default BACKUP)
//   --notice FILE      notice text (UTF-8), shown by the Info button
//   --description FILE description text (UTF-8), shown beside the log
//   --stored           keep the payload uncompressed
//   --level N          deflate level 0..9 for the payload (default 9: our
//                      own block splitting and shortest-path parse; 0..8 zlib)
//   --zopfli           deflate the payload with zopfli: smallest, slowest
//   --manifest FILE    groups, file flags, CRC holes, stamps, registry
//                      scripts (maker/manifest.h describes the format)
//   --jobs N           files encoded at once (default: one per processor)
//   --quiet            no progress and no summary
//
// Exit status: 0 written; 1 an input is unusable (the reason on stderr);
// 2 usage errors; 70 an internal error (a delta failed its own check).
#include "cli/cmd_make.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "cli/commands.h"
#include "maker/make_patch.h"

namespace {

int Usage(FILE* err, const std::string& why) {
  if (!why.empty()) fprintf(err, "selfpatch make: %s\n", why.c_str());
  fprintf(err,
          "usage: selfpatch make --old DIR [--old DIR ...] --new DIR -o OUT\n"
          "         [--stub FILE] [--backup NAME] [--notice FILE]\n"
          "         [--description FILE] [--stored] [--level N | --zopfli]\n"
          "         [--manifest FILE] [--jobs N] [--quiet]\n");
  return 2;
}

bool ParseInt(const char* s, int lo, int hi, int* v) {
  char* end;
  long n = strtol(s, &end, 10);
  if (!*s || *end || n < lo || n > hi) return false;
  *v = (int)n;
  return true;
}

}  // namespace

int MakeMain(int argc, char** argv, FILE* out, FILE* err, bool progress) {
  maker::MakeOptions o;
  bool quiet = false, level_given = false, have_new = false, have_out = false;
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    std::string value;
    bool inline_value = false;
    if (a.compare(0, 2, "--") == 0 && a.find('=') != std::string::npos) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
      inline_value = true;
    }
    auto take = [&](std::string* v) {
      if (inline_value) {
        *v = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    auto once = [&](std::string* slot) {
      if (!slot->empty()) return false;
      return take(slot) && !slot->empty();
    };
    bool flag = a == "--stored" || a == "--zopfli" || a == "--quiet";
    if (flag && inline_value) return Usage(err, a + " takes no value");
    if (a == "--old") {
      std::string d;
      if (!take(&d) || d.empty()) return Usage(err, "--old needs a folder");
      o.old_dirs.push_back(d);
    } else if (a == "--new") {
      if (have_new || !once(&o.new_dir)) return Usage(err, "--new needs one folder");
      have_new = true;
    } else if (a == "-o" || a == "--output") {
      if (have_out || !once(&o.out)) return Usage(err, "-o needs one file");
      have_out = true;
    } else if (a == "--stub") {
      if (!once(&o.stub)) return Usage(err, "--stub needs one file");
    } else if (a == "--backup") {
      if (!once(&o.backup)) return Usage(err, "--backup needs one name");
    } else if (a == "--notice") {
      if (!once(&o.notice_file)) return Usage(err, "--notice needs one file");
    } else if (a == "--description") {
      if (!once(&o.description_file))
        return Usage(err, "--description needs one file");
    } else if (a == "--manifest") {
      if (!once(&o.manifest_file)) return Usage(err, "--manifest needs one file");
    } else if (a == "--stored") {
      o.stored = true;
    } else if (a == "--zopfli") {
      o.zopfli = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--level") {
      std::string v;
      if (level_given || !take(&v) || !ParseInt(v.c_str(), 0, 9, &o.level))
        return Usage(err, "--level takes one number from 0 to 9");
      level_given = true;
    } else if (a == "--jobs") {
      std::string v;
      if (!take(&v) || !ParseInt(v.c_str(), 1, 256, &o.jobs))
        return Usage(err, "--jobs takes a number from 1 to 256");
    } else {
      return Usage(err, "unknown argument '" + std::string(argv[i]) + "'");
    }
  }
  if (o.old_dirs.empty()) return Usage(err, "no --old folder");
  if (o.new_dir.empty()) return Usage(err, "no --new folder");
  if (o.out.empty()) return Usage(err, "no output (-o)");
  if (o.zopfli && level_given)
    return Usage(err, "--level and --zopfli exclude each other");
  if (o.stored && (o.zopfli || level_given))
    return Usage(err, "--stored excludes --level and --zopfli");

  bool shown = false;
  if (progress && !quiet)
    o.progress = [&](const std::string& line) {
      fprintf(err, "\r\033[Kselfpatch make: %s", line.c_str());
      fflush(err);
      shown = true;
    };
  o.warn = [&](const std::string& line) {
    if (shown) fprintf(err, "\r\033[K");
    fprintf(err, "selfpatch make: warning: %s\n", line.c_str());
  };
  auto end_progress = [&]() {
    if (shown) fprintf(err, "\r\033[K");
    shown = false;
  };
  try {
    maker::MakeReport r = maker::MakePatch(o);
    end_progress();
    if (!quiet)
      fprintf(out,
              "%s: %zu patched (%zu sources), %zu new, %zu removed, %zu "
              "registry, %zu unchanged; payload %llu bytes, container %llu "
              "bytes, file %llu bytes\n",
              o.out.c_str(), r.patched, r.sources, r.added, r.removed,
              r.registry, r.unchanged, (unsigned long long)r.payload_size,
              (unsigned long long)r.container_size,
              (unsigned long long)r.file_size);
    return 0;
  } catch (const maker::MakeError& e) {
    end_progress();
    fprintf(err, "selfpatch make: %s\n", e.what());
    return 1;
  } catch (const std::logic_error& e) {
    end_progress();
    fprintf(err, "selfpatch make: internal error: %s\n", e.what());
    return 70;
  } catch (const std::exception& e) {
    end_progress();
    fprintf(err, "selfpatch make: %s\n", e.what());
    return 1;
  }
}

int CmdMake(int argc, char** argv) {
  return MakeMain(argc, argv, stdout, stderr, isatty(2) != 0);
}
