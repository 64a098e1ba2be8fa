#include "support/fault_platform.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

FaultPlatform* g_active;

const Platform* B() { return g_active->base(); }

bool IsFileOp(FaultOp op) {
  switch (op) {
    case kFaultOpenFile:
    case kFaultCreateTempFile:
    case kFaultRead:
    case kFaultWrite:
    case kFaultSetAttributes:
    case kFaultDeleteFile:
    case kFaultMoveFile:
    case kFaultCreateFolder:
    case kFaultRemoveFolder:
      return true;
    default:
      return false;
  }
}

std::string Slashed(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c == '\\') c = '/';
  return r;
}

bool Fails(FaultOp op, const char* path = nullptr) {
  return g_active->Fails(op, path);
}

PlatformFile OpenFile(const char* path, OpenMode mode) {
  return Fails(kFaultOpenFile, path) ? nullptr : B()->open_file(path, mode);
}

PlatformFile CreateTempFile(void) {
  return Fails(kFaultCreateTempFile) ? nullptr : B()->create_temp_file();
}

bool Read(PlatformFile f, void* buf, int32_t n, int32_t* done) {
  if (Fails(kFaultRead)) {
    if (done) *done = 0;
    return false;
  }
  return B()->read(f, buf, n, done);
}

bool Write(PlatformFile f, const void* buf, int32_t n, int32_t* done) {
  if (done) *done = 0;
  if (Fails(kFaultWrite)) return false;
  // Under a write limit, the write that crosses it puts what fits and
  // fails, like a disk that fills up.
  int32_t allowed = g_active->WriteAllowance(n);
  int32_t put = 0;
  bool ok = true;
  if (allowed > 0 || n == 0) ok = B()->write(f, buf, allowed, &put);
  g_active->Wrote(put);
  if (done) *done = put;
  if (allowed != n) {
    g_active->NoteFailure();
    return false;
  }
  return ok;
}

uint32_t FileSize(PlatformFile f) {
  return Fails(kFaultFileSize) ? kInvalidSize : B()->file_size(f);
}

uint32_t Seek(PlatformFile f, int32_t pos) {
  return Fails(kFaultSeek) ? 0xFFFFFFFFu : B()->seek(f, pos);
}

uint32_t Tell(PlatformFile f) {
  return Fails(kFaultTell) ? 0xFFFFFFFFu : B()->tell(f);
}

void Close(PlatformFile f) {
  Fails(kFaultClose);
  B()->close(f);
}

void SetFileStamp(PlatformFile f, uint32_t stamp) {
  if (!Fails(kFaultSetFileStamp)) B()->set_file_stamp(f, stamp);
}

uint32_t GetAttributes(const char* path) {
  return Fails(kFaultGetAttributes, path) ? kInvalidAttributes
                                          : B()->get_attributes(path);
}

bool SetAttributes(const char* path, uint32_t a) {
  return !Fails(kFaultSetAttributes, path) && B()->set_attributes(path, a);
}

bool DeleteFile(const char* path) {
  return !Fails(kFaultDeleteFile, path) && B()->delete_file(path);
}

bool MoveFile(const char* from, const char* to) {
  return !Fails(kFaultMoveFile, from) && B()->move_file(from, to);
}

bool CreateFolder(const char* path) {
  return !Fails(kFaultCreateFolder, path) && B()->create_folder(path);
}

bool RemoveFolder(const char* path) {
  return !Fails(kFaultRemoveFolder, path) && B()->remove_folder(path);
}

int32_t OwnPath(char* buf, int32_t cap) {
  return Fails(kFaultOwnPath) ? 0 : B()->own_path(buf, cap);
}

int32_t WindowsFolder(char* buf, int32_t cap) {
  return Fails(kFaultWindowsFolder) ? 0 : B()->windows_folder(buf, cap);
}

int32_t SystemFolder(char* buf, int32_t cap) {
  return Fails(kFaultSystemFolder) ? 0 : B()->system_folder(buf, cap);
}

int32_t CurrentFolder(char* buf, int32_t cap) {
  return Fails(kFaultCurrentFolder) ? 0 : B()->current_folder(buf, cap);
}

int32_t ShortPath(const char* path, char* buf, int32_t cap) {
  return Fails(kFaultShortPath, path) ? 0 : B()->short_path(path, buf, cap);
}

const char* CommandLine(void) {
  g_active->Fails(kFaultCommandLine, nullptr);
  return B()->command_line();
}

uint32_t Version(void) {
  g_active->Fails(kFaultVersion, nullptr);
  return B()->version();
}

bool MoveAtRestart(const char* from, const char* to) {
  return !Fails(kFaultMoveAtRestart, from) && B()->move_at_restart(from, to);
}

bool WriteProfileString(const char* section, const char* key,
                        const char* value, const char* file) {
  return !Fails(kFaultWriteProfileString, file) &&
         B()->write_profile_string(section, key, value, file);
}

bool RequestRestart(void) {
  return !Fails(kFaultRequestRestart) && B()->request_restart();
}

bool RegOpen(RegKey root, const char* subkey, uint32_t access, RegKey* out) {
  return !Fails(kFaultRegOpen, subkey) &&
         B()->reg_open(root, subkey, access, out);
}

bool RegQuery(RegKey key, const char* name, uint32_t* type, void* data,
              uint32_t* size) {
  return !Fails(kFaultRegQuery, name) &&
         B()->reg_query(key, name, type, data, size);
}

bool RegSet(RegKey key, const char* name, uint32_t type, const void* data,
            uint32_t size) {
  return !Fails(kFaultRegSet, name) &&
         B()->reg_set(key, name, type, data, size);
}

void RegClose(RegKey key) {
  Fails(kFaultRegClose);
  B()->reg_close(key);
}

const char* const kNames[kFaultOpCount] = {
    "open_file",      "create_temp_file", "read",
    "write",          "file_size",        "seek",
    "tell",           "close",            "set_file_stamp",
    "get_attributes", "set_attributes",   "delete_file",
    "move_file",      "create_folder",    "remove_folder",
    "own_path",       "windows_folder",   "system_folder",
    "current_folder", "short_path",       "command_line",
    "version",        "move_at_restart",  "write_profile_string",
    "request_restart", "reg_open",        "reg_query",
    "reg_set",        "reg_close",        "any_file_op",
};

}  // namespace

const char* FaultOpName(FaultOp op) {
  return op >= 0 && op < kFaultOpCount ? kNames[op] : "?";
}

FaultPlatform::FaultPlatform(const Platform* base) : base_(base) {
  if (g_active) ADD_FAILURE() << "only one FaultPlatform may be alive";
  g_active = this;
  // Fields added to the table later pass straight through until they get a
  // wrapper here.
  table_ = *base;
  table_.open_file = OpenFile;
  table_.create_temp_file = CreateTempFile;
  table_.read = Read;
  table_.write = Write;
  table_.file_size = FileSize;
  table_.seek = Seek;
  table_.tell = Tell;
  table_.close = Close;
  table_.set_file_stamp = SetFileStamp;
  table_.get_attributes = GetAttributes;
  table_.set_attributes = SetAttributes;
  table_.delete_file = DeleteFile;
  table_.move_file = MoveFile;
  table_.create_folder = CreateFolder;
  table_.remove_folder = RemoveFolder;
  table_.own_path = OwnPath;
  table_.windows_folder = WindowsFolder;
  table_.system_folder = SystemFolder;
  table_.current_folder = CurrentFolder;
  table_.short_path = ShortPath;
  table_.command_line = CommandLine;
  table_.version = Version;
  table_.move_at_restart = MoveAtRestart;
  table_.write_profile_string = WriteProfileString;
  table_.request_restart = RequestRestart;
  table_.reg_open = RegOpen;
  table_.reg_query = RegQuery;
  table_.reg_set = RegSet;
  table_.reg_close = RegClose;
  Reset();
}

FaultPlatform::~FaultPlatform() {
  if (g_active == this) g_active = nullptr;
}

void FaultPlatform::Reset() {
  rules_.clear();
  for (int& c : calls_) c = 0;
  failures_ = 0;
  write_limit_ = -1;
  written_ = 0;
  record_ = false;
  log_.clear();
}

void FaultPlatform::FailCall(FaultOp op, int k) {
  rules_.push_back(Rule{op, k, k, std::string()});
}

void FaultPlatform::FailFrom(FaultOp op, int k) {
  rules_.push_back(Rule{op, k, -1, std::string()});
}

void FaultPlatform::FailPath(FaultOp op, const std::string& part) {
  rules_.push_back(Rule{op, 1, -1, Slashed(part)});
}

void FaultPlatform::LimitWrites(int64_t bytes) {
  write_limit_ = bytes;
  written_ = 0;
}

int32_t FaultPlatform::WriteAllowance(int32_t n) {
  if (write_limit_ < 0 || n <= 0) return n;
  int64_t room = write_limit_ - written_;
  if (room <= 0) return 0;
  return room < n ? (int32_t)room : n;
}

bool FaultPlatform::Matches(const Rule& r, FaultOp op, int call,
                            const char* path) const {
  if (r.op != op) return false;
  if (call < r.from || (r.to >= 0 && call > r.to)) return false;
  if (!r.part.empty())
    return path && Slashed(path).find(r.part) != std::string::npos;
  return true;
}

bool FaultPlatform::Fails(FaultOp op, const char* path) {
  int call = ++calls_[op];
  int any_call = IsFileOp(op) ? ++calls_[kFaultAnyFileOp] : 0;
  bool fail = false;
  for (const Rule& r : rules_) {
    if (Matches(r, op, call, path) ||
        (any_call && Matches(r, kFaultAnyFileOp, any_call, path)))
      fail = true;
  }
  if (fail) failures_++;
  if (record_) {
    std::string line = FaultOpName(op);
    if (path) line += std::string(" ") + path;
    if (fail) line += " !";
    log_.push_back(line);
  }
  return fail;
}
