// A platform table that passes every call to a base table, counts the calls
// and makes chosen ones fail, to drive the core into its failure paths.
//
//   FaultPlatform fault;                       // wraps PlatformNative()
//   fault.FailCall(kFaultMoveFile, 2);         // the 2nd move fails
//   fault.FailFrom(kFaultWrite, 5);            // the 5th write and all later
//   fault.FailPath(kFaultMoveFile, "app.dll"); // every move of a path holding
//                                              // "app.dll" (a file "in use")
//   fault.FailCall(kFaultAnyFileOp, k);        // the k-th file operation
//   fault.LimitWrites(1000);                   // a disk that fills up
//   SessionInit(&session, fault.os());
//   ... EXPECT_EQ(fault.Calls(kFaultMoveFile), 3);
//
// Call numbers start at 1 and count from construction or Reset(). A failed
// call does not reach the base table and answers as the Win32 call does when
// it fails: no handle, false, INVALID_FILE_ATTRIBUTES, 0xFFFFFFFF for sizes
// and positions, 0 for the string getters; set_file_stamp does nothing. Close
// calls are counted but always reach the base table, so nothing leaks.
// version() and command_line() never fail.
//
// The "any file operation" counter, kFaultAnyFileOp, counts open_file,
// create_temp_file, read, write, set_attributes, delete_file, move_file,
// create_folder and remove_folder together, in call order, so a test can
// sweep k over every one of them.
//
// The table's functions are plain function pointers, so they reach the
// wrapper through one process-wide pointer: one FaultPlatform may be alive
// at a time (constructing a second fails the test). Single thread.
#ifndef SELFPATCH_TESTS_SUPPORT_FAULT_PLATFORM_H
#define SELFPATCH_TESTS_SUPPORT_FAULT_PLATFORM_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

enum FaultOp {
  kFaultOpenFile,  // every mode of open_file
  kFaultCreateTempFile,
  kFaultRead,
  kFaultWrite,
  kFaultFileSize,
  kFaultSeek,
  kFaultTell,
  kFaultClose,
  kFaultSetFileStamp,
  kFaultGetAttributes,
  kFaultSetAttributes,
  kFaultDeleteFile,
  kFaultMoveFile,
  kFaultCreateFolder,
  kFaultRemoveFolder,
  kFaultOwnPath,
  kFaultWindowsFolder,
  kFaultSystemFolder,
  kFaultCurrentFolder,
  kFaultShortPath,
  kFaultCommandLine,
  kFaultVersion,
  kFaultMoveAtRestart,
  kFaultWriteProfileString,
  kFaultRequestRestart,
  kFaultRegOpen,
  kFaultRegQuery,
  kFaultRegSet,
  kFaultRegClose,
  kFaultAnyFileOp,  // the file operations listed above, counted together
  kFaultOpCount
};

const char* FaultOpName(FaultOp op);

class FaultPlatform {
 public:
  explicit FaultPlatform(const Platform* base = PlatformNative());
  ~FaultPlatform();
  FaultPlatform(const FaultPlatform&) = delete;
  FaultPlatform& operator=(const FaultPlatform&) = delete;

  // The wrapping table to hand to the code under test.
  const Platform* os() const { return &table_; }
  const Platform* base() const { return base_; }

  // The k-th call of op fails (k >= 1).
  void FailCall(FaultOp op, int k);
  // The k-th call of op and every later one fail.
  void FailFrom(FaultOp op, int k);
  // Every call of op whose path argument contains part fails; '\' and '/'
  // compare equal. The argument is the path, the source of a move, the file
  // of a profile write, the subkey of reg_open and the value name of
  // reg_query and reg_set; ops without one never match.
  void FailPath(FaultOp op, const std::string& part);
  // Writes succeed until `bytes` bytes in all have been written through
  // this table; the write that crosses the limit writes what fits and
  // fails, and later writes fail.
  void LimitWrites(int64_t bytes);

  // Calls of op so far, failed ones included.
  int Calls(FaultOp op) const { return calls_[op]; }
  // Calls made to fail so far, of any op.
  int Failures() const { return failures_; }
  // One line per call, "<op> <path>" or "<op>", when recording is on
  // (failed calls end in " !").
  void Record(bool on) { record_ = on; }
  const std::vector<std::string>& log() const { return log_; }

  // Forgets every rule, count and logged call.
  void Reset();

  // Used by the table's functions: counts the call and says whether it is
  // to fail. path may be null.
  bool Fails(FaultOp op, const char* path);
  // Write budget bookkeeping for LimitWrites: how much of n may be written.
  int32_t WriteAllowance(int32_t n);
  void Wrote(int32_t n) { written_ += n; }
  void NoteFailure() { failures_++; }

 private:
  struct Rule {
    FaultOp op;
    int from;
    int to;  // inclusive; -1 for no end
    std::string part;
  };
  bool Matches(const Rule& r, FaultOp op, int call, const char* path) const;

  const Platform* base_;
  Platform table_;
  std::vector<Rule> rules_;
  int calls_[kFaultOpCount];
  int failures_;
  int64_t write_limit_;  // -1: none
  int64_t written_;
  bool record_;
  std::vector<std::string> log_;
};

#endif
