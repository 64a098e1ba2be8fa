// What `selfpatch info` tells about a payload beyond its container: the
// target groups, every entry (kind, name, sizes, checksums, flags, holes,
// stamps; each source of a patched file with its sizes and stream lengths;
// registry scripts operation by operation) and totals, as text or as JSON.
//
// The payload is read from the loaded session's payload stream and walked
// in the maker's layout (each group record directly followed by its body).
// A payload that breaks off or holds an unknown entry kind is described up
// to that point, with the reason. A registry script that breaks off within
// its stated length is listed as far as it reads, with the reason on its
// entry, and the walk goes on: the applier steps over a script by its
// length and reads it only in the registry pass.
#ifndef SELFPATCH_CLI_INFO_PAYLOAD_H
#define SELFPATCH_CLI_INFO_PAYLOAD_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "container/container.h"
#include "core/session.h"
#include "delta/source_record.h"

struct InfoSource {
  std::string name;  // code page 950; empty: the entry name
  SourceRecord record;
  uint32_t hole_offset = 0, hole_length = 0;
  uint32_t data_pos = 0;  // payload position of the command stream
};

struct InfoRegistryOp {
  uint8_t opcode = 0;
  uint32_t root = 0;
  std::string subkey, name, data;  // code page 950 / raw data
  uint32_t type = 0;
};

struct InfoEntry {
  uint32_t pos = 0;  // payload position of the kind byte
  uint8_t kind = 0;
  std::string name;
  // Patched file.
  uint32_t new_checksum = 0, new_size = 0, stamp = 0;
  uint8_t flags = 0;
  uint32_t hole_offset = 0, hole_length = 0;
  std::vector<InfoSource> sources;
  // New file: data length (stamp above); registry entry: script length.
  uint32_t data_length = 0;
  uint32_t check_root = 0;
  std::string check_subkey, check_value;
  std::vector<InfoRegistryOp> ops;
  std::string script_problem;  // why the script could not be read to its end
};

struct InfoGroup {
  uint32_t pos = 0;
  uint8_t kind = 0, flags = 0;
  uint32_t root = 0;
  std::string subkey, value_name, backup;
  std::vector<InfoEntry> entries;
};

struct PayloadInfo {
  std::vector<InfoGroup> groups;
  std::string problem;  // why the walk stopped early; empty when it did not
  // Totals.
  size_t patched = 0, added = 0, removed = 0, registry = 0, sources = 0;
  uint64_t delta_bytes = 0, new_file_bytes = 0;
};

// The whole payload stream of a loaded session; false when it cannot be read.
bool ReadPayloadStream(Session* s, std::string* payload);

PayloadInfo WalkPayload(const std::string& payload, uint32_t group_table_pos);

void PrintPayloadText(FILE* out, const PayloadInfo& info);

// Everything as one JSON object: container facts, texts (UTF-8), groups,
// entries and totals.
void PrintInfoJson(FILE* out, const char* path, const ContainerFacts& facts,
                   const std::string& notice, const std::string& description,
                   bool description_shown, uint32_t group_table_pos,
                   const PayloadInfo& info);

#endif
