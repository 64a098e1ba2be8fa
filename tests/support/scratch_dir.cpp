#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char kSep = '\\';
#else
const char kSep = '/';
#endif

// Gives the owner write access again to everything below (and including)
// p, so that removal cannot be stopped by a read-only file or folder.
void MakeWritable(const fs::path& p) {
  std::error_code ec;
  fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
  if (fs::is_directory(fs::symlink_status(p, ec))) {
    for (fs::directory_iterator it(p, ec), end; !ec && it != end;
         it.increment(ec))
      MakeWritable(it->path());
  }
}

}  // namespace

std::string NativePath(const std::string& p) {
  std::string r = p;
  for (char& c : r)
    if (c == '/' || c == '\\') c = kSep;
  return r;
}

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = fs::current_path();
  std::random_device rd;
  for (int tries = 0; tries < 100; tries++) {
    std::ostringstream name;
    name << "selfpatch-test-" << std::hex << rd() << "-" << counter++;
    fs::path p = base / name.str();
    if (fs::create_directory(p, ec)) {
      root_ = NativePath(p.string());
      while (root_.size() > 1 && root_.back() == kSep) root_.pop_back();
      return;
    }
  }
  ADD_FAILURE() << "cannot make a scratch folder in " << base.string();
}

ScratchDir::~ScratchDir() {
  if (root_.empty()) return;
  std::error_code ec;
  MakeWritable(root_);
  fs::remove_all(root_, ec);
  if (ec) ADD_FAILURE() << "cannot remove " << root_ << ": " << ec.message();
}

std::string ScratchDir::Path(const std::string& rel) const {
  if (rel.empty()) return root_;
  return root_ + kSep + NativePath(rel);
}

void ScratchDir::Write(const std::string& rel, const std::string& bytes) const {
  fs::path p = Path(rel);
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  if (!out) ADD_FAILURE() << "cannot write " << p.string();
}

std::string ScratchDir::Read(const std::string& rel) const {
  std::ifstream in(Path(rel), std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << Path(rel);
    return "";
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void ScratchDir::MakeFolder(const std::string& rel) const {
  std::error_code ec;
  fs::create_directories(Path(rel), ec);
  if (ec) ADD_FAILURE() << "cannot make " << Path(rel) << ": " << ec.message();
}

bool ScratchDir::Exists(const std::string& rel) const {
  std::error_code ec;
  return fs::exists(Path(rel), ec);
}

bool ScratchDir::IsFile(const std::string& rel) const {
  std::error_code ec;
  return fs::is_regular_file(Path(rel), ec);
}

bool ScratchDir::IsFolder(const std::string& rel) const {
  std::error_code ec;
  return fs::is_directory(Path(rel), ec);
}

std::map<std::string, std::string> ScratchDir::Snapshot() const {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root_, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), root_, ec).generic_string();
    if (it->is_directory(ec))
      out[rel + "/"] = "";
    else
      out[rel] = Read(rel);
  }
  return out;
}
