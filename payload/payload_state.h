// State of the payload model: the resolved target groups, the entry whose
// header was read last, and the staging folder of each group.
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

struct TargetGroups {
  int32_t last;  // index of the last group resolved; -1 when none
  uint32_t body_pos[kMaxGroups];
  Str folder[kMaxGroups];
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
  // kind 2
  uint32_t data_length, new_file_stamp;
  // kinds 2 and 5: new-file data or registry script position
  uint32_t data_pos;
  // where the header reader left the payload: the next entry's kind byte
  uint32_t end_pos;
};

#endif
