// State of the payload model: the resolved target groups, the entry whose
// header was read last, and the staging folder of each group.
//
// The payload after the two texts, little-endian; a "string" is one length
// byte L and L bytes (its value ends at the first NUL among them):
//
//   group record      u8 kind (0 chosen folder, 1 registry value,
//                     2 Windows folder, 3 System folder; others refused)
//                     u8 flags (0x02: another group follows this group's
//                     body; other bits ignored)
//                     kind 1 only: u32 root key, string subkey,
//                     string value name
//   group body        string backup folder name, then entries up to kind 0.
//                     Each body directly follows its own record: record 0,
//                     body 0, record 1, body 1, ... (at most 20 groups)
//
//   entry             u8 kind, then by kind:
//     0 end of group  nothing
//     1 patched file  u32 new checksum, u32 new size, u32 new stamp,
//                     u16 unused, u16 source count (at most 20),
//                     u8 entry flags (0x01 holes, 0x02 optional, 0x04 quiet),
//                     u8 unused; [u32 hole offset, u32 hole length] with
//                     0x01; string entry name; per source: string source
//                     name ("" = the entry name), 32-byte source record
//                     (delta/source_record.h), [hole pair] with 0x01, the
//                     five delta streams (command, flag, sign, insert,
//                     trailer) of the lengths in the record
//     2 new file      string entry name, u32 data length, u32 new stamp,
//                     u16 unused, the data
//     3 removed file  string entry name
//     5 registry      u32 script length, the script (apply/registry pass)
//     4, 6..255       refused
//
// Entry and source names are paths relative to the target folder and the
// backup folder name a folder inside it; names that could leave it (a drive,
// a leading separator, a ".." component) are refused when read.
#ifndef SELFPATCH_PAYLOAD_PAYLOAD_STATE_H
#define SELFPATCH_PAYLOAD_PAYLOAD_STATE_H

#include <stdint.h>

#include "core/str.h"
#include "delta/source_record.h"

enum { kMaxGroups = 20, kMaxSources = 20 };

enum EntryKind : uint8_t {
  kEntryEnd = 0,
  kEntryPatched = 1,
  kEntryNew = 2,
  kEntryRemoved = 3,
  kEntryRegistry = 5,
};

enum GroupKind : uint8_t {
  kGroupChosenFolder = 0,
  kGroupRegistryValue = 1,
  kGroupWindowsFolder = 2,
  kGroupSystemFolder = 3,
};

enum : uint8_t {
  kGroupMoreGroups = 0x02,
  kEntryHasHoles = 0x01,
  kEntryOptional = 0x02,
  kEntryQuiet = 0x04,
};

// Sizes of the fixed parts of entries, as read in one piece.
enum {
  kPatchedHeaderSize = 18,
  kNewFileHeaderSize = 10,
  kHolePairSize = 8,
  kFolderBufferSize = 1024,  // registry value, Windows and System folder
};

struct TargetGroups {
  int32_t last;  // index of the last group resolved; -1 when none
  uint32_t body_pos[kMaxGroups];
  Str folder[kMaxGroups];
  // Index, across the whole pass, of each group's first entry: a group's
  // entries keep their numbers even when a walk of an earlier group stops
  // part way. Counted while the reader steps over the bodies.
  int32_t first_ordinal[kMaxGroups];
};

struct SourceSlot {
  Str name;  // relative to the target folder; the entry name when empty
  SourceRecord record;
  uint32_t hole_offset, hole_length;
  uint32_t data_pos;  // payload position of the command stream
};

// Fields a kind does not carry keep the values of an earlier entry.
struct CurrentEntry {
  uint8_t kind;
  Str name;  // also what "%m" shows
  // kind 1
  uint32_t new_checksum, new_size, new_stamp;
  uint16_t source_count;
  uint8_t flags;
  uint32_t hole_offset, hole_length;
  bool optional;
  SourceSlot source[kMaxSources];
  // kind 2; data_length is also set to the script length for kind 5
  uint32_t data_length, new_file_stamp;
  // kinds 2 and 5: new-file data or registry script position
  uint32_t data_pos;
  // where the header reader left the payload: the next entry's kind byte
  uint32_t end_pos;
};

#endif
