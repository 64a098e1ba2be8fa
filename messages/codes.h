// Message codes: the result type of every operation of the applier.
//
// 0 is success; 1 to 41 name an entry of the message table and are passed up
// unchanged until the log, the question box or a start-up box turns them into
// text. Code 2 is unassigned; codes marked "unused" have a text but nothing
// produces them.
#ifndef SELFPATCH_MESSAGES_CODES_H
#define SELFPATCH_MESSAGES_CODES_H

#include <stdint.h>

typedef int32_t MsgCode;

enum : MsgCode {
  kOk = 0,
  kMsgBroken = 1,             // a read of the executable or payload failed
  kMsgReadSourceFailed = 3,   // unused
  kMsgTooManyParams = 4,      // unused
  kMsgOpenForUpdate = 5,      // unused
  kMsgReopenTemp = 6,         // unused
  kMsgInUse = 7,              // a file in use: finish at restart
  kMsgReplaceFailed = 8,      // an old backup could not be deleted
  kMsgRestartPrompt = 9,      // text of the restart question
  kMsgRestartDeclined = 10,   // result only: restart declined or refused
  kMsgStagingFolder = 11,     // staging folder not created
  kMsgBadChecksum = 12,       // rebuilt file has the wrong size or CRC
  kMsgCancelled = 13,         // the user asked to stop
  kMsgNoPatch = 14,           // the texts could not be read
  kMsgCannotOpenSelf = 15,    // own executable cannot be opened
  kMsgNotAPatch = 16,         // trailer or header unreadable
  kMsgCannotUpdate = 17,      // unused
  kMsgRemovingObsolete = 18,  // unused
  kMsgObsoleteLater = 19,     // unused
  kMsgUpdating = 20,          // start of an entry's log line
  kMsgDecompressing = 21,     // unused
  kMsgScanningDrives = 22,    // unused
  kMsgCanApply = 23,          // unused
  kMsgSuccess = 24,           // after a successful run
  kMsgConfirmApply = 25,      // unused
  kMsgAreYouSure = 26,        // unused
  kMsgDeclined = 27,          // unused
  kMsgUsage = 28,             // usage box
  kMsgBadParam = 29,          // unused
  kMsgChecking = 30,          // first line of every run
  kMsgNoSource = 31,          // no matching source file
  kMsgOptionalMissing = 32,   // warning: optional file not made
  kMsgRequiredMissing = 33,   // required file not made
  kMsgAlreadyUpdated = 34,    // target already has the new version
  kMsgSourcePresent = 35,     // unused
  kMsgDone = 36,              // end of an entry's log line
  kMsgStructure = 37,         // malformed entry or failed staged move
  kMsgDiskFull = 38,          // a write failed
  kMsgTempFull = 39,          // a temporary file failed
  kMsgRegistryFolder = 40,    // registry value with the folder missing
  kMsgRegistryAccess = 41,    // registry key or value not writable
};

enum { kMsgFirst = 1, kMsgLast = 41 };

// One-line early return, as the LZMA SDK's RINOK.
#define RETURN_IF_ERR(expr)          \
  do {                               \
    MsgCode rc_ = (expr);            \
    if (rc_ != kOk) return rc_;      \
  } while (0)

#endif
