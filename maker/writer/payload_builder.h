// Writes payloads: the bytes that the container carries after its header,
// as the applier reads them back from its payload stream.
//
// Little-endian throughout; a "string" is one length byte L (0..255) and L
// bytes, no NUL.
//
//   Payload
//     notice text            notice length bytes (length kept in the header)
//     description text       description length bytes
//     group 0 record, group 0 body, group 1 record, group 1 body, ...
//
//   Group record
//     u8      kind           0 chosen folder, 1 registry value,
//                            2 Windows folder, 3 System folder
//     u8      flags          0x02: another group record follows this
//                            group's body; other bits ignored
//     kind 1 only:
//     u32     root key       predefined key value, 0x80000001 = HKCU, ...
//     string  subkey
//     string  value name     "" = the key's default value
//
//   Group body (starts right after its record)
//     string  backup folder name, relative to the target folder
//     entries, each beginning with its kind byte, up to kind 0
//
//   Entry kind 0: end of the group, nothing follows.
//
//   Entry kind 1: patched file
//     u8      1
//     u32     new checksum   CRC register (preset ~0, no final complement)
//                            with the entry's hole left out
//     u32     new size
//     u32     new stamp      DOS date << 16 | DOS time, local; 0 = none
//     u16     (unused)
//     u16     source count   at most 20
//     u8      entry flags    0x01 hole pairs present, 0x02 optional file,
//                            0x04 quiet (no warning when optional and absent)
//     u8      (unused)
//     [u32 hole offset, u32 hole length]          only with flag 0x01
//     string  entry name     relative path, '\' between folders
//     per source, oldest version first:
//       string  source name  relative path; "" = the entry name
//       32      source record (delta/source_record.h)
//       [u32 hole offset, u32 hole length]        only with flag 0x01
//       the five delta streams back to back: command, flag, sign, insert,
//       trailer, each as long as the record says
//
//   Entry kind 2: new file
//     u8      2
//     string  entry name
//     u32     data length
//     u32     new stamp      as for kind 1
//     u16     (unused)
//     data length bytes of file data
//
//   Entry kind 3: removed file
//     u8      3
//     string  entry name
//
//   Entry kind 5: registry entry
//     u8      5
//     u32     script length  every byte of the script, end opcode included
//     the script:
//       u32     check root key
//       string  check subkey
//       string  check value name   must exist and be non-empty
//       u32     (unused)
//       u8      (unused)
//       operations, each an opcode byte and its operands:
//         0  end
//         1  open key     u32 root key, string subkey (must exist)
//         2  set value    string name, u32 type, u32 data length, data
//         3..255          skipped by the applier, no operands
//
// Names must stay inside the target folder (no drive, no leading separator,
// no ".." component); the builder writes whatever it is given, so that tests
// can build refused payloads. PayloadNameStaysInside (payload/entry_pass.h)
// is the applier's own check for makers that want to refuse such names
// early. The applier takes at most 20 groups and 20 sources per entry and
// reads set-value data of at most 1001 bytes; the builder does not enforce
// those either.
//
// Use (namespace writer):
//   PayloadBuilder b;
//   b.SetTexts("notice", "description");
//   b.ChosenFolderGroup("BACKUP");
//   b.AddNewFile(NewFile{"sub\\new.txt", "bytes"});
//   b.AddRemoved("old.txt");
//   PayloadLayout at;
//   std::string payload = b.Build(&at);
//   ContainerOptions o;
//   o.notice_length = b.notice_length();
//   o.description_length = b.description_length();
//   Bytes file = WriteContainer(ToBytes(payload), o);  // container_writer.h
//
// Errors (a string longer than 255 bytes, more than 65535 sources, a
// RegistryScript or entry bigger than 4 GiB) throw std::invalid_argument.
#ifndef SELFPATCH_MAKER_WRITER_PAYLOAD_BUILDER_H
#define SELFPATCH_MAKER_WRITER_PAYLOAD_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "delta/source_record.h"
#include "payload/payload_state.h"

namespace writer {

// --- Little pieces, for callers that write their own records ---------------

void AppendLe16(std::string* out, uint16_t v);
void AppendLe32(std::string* out, uint32_t v);
// One length byte and the bytes; throws when s is longer than 255 bytes.
void AppendPayloadString(std::string* out, const std::string& s);

// --- Entries ------------------------------------------------------------------

// A CRC hole: a byte range left out of a checksum; length 0 = none.
struct HolePair {
  uint32_t offset = 0;
  uint32_t length = 0;
};

// One old version of a patched file and the delta that leads on from it.
struct PatchedSource {
  std::string name;  // "" stands for the entry name
  // old_checksum, old_size, trailer_group_size, flags, insert_block_size
  // are written as given. The five stream lengths are taken from `streams`
  // unless lengths_as_given is set (to write a record that lies).
  SourceRecord record{};
  bool lengths_as_given = false;
  HolePair hole;  // written only when the entry has flag 0x01
  std::string streams[kStreamCount];  // command, flag, sign, insert, trailer
};

struct PatchedFile {
  std::string name;
  uint32_t new_checksum = 0;
  uint32_t new_size = 0;
  uint32_t new_stamp = 0;
  uint8_t flags = 0;  // kEntryHasHoles | kEntryOptional | kEntryQuiet
  HolePair hole;      // written only with kEntryHasHoles
  std::vector<PatchedSource> sources;
  // The count field; -1 writes sources.size(). Any other value is written
  // as is, whatever number of sources follows.
  int32_t source_count = -1;
  uint16_t unused16 = 0;
  uint8_t unused8 = 0;
};

struct NewFile {
  std::string name;
  std::string data;
  uint32_t stamp = 0;
  uint16_t unused16 = 0;
};

// A registry script: the check of a value that must exist and not be
// empty, then operations. Bytes() ends it with the end opcode.
class RegistryScript {
 public:
  RegistryScript(uint32_t check_root, const std::string& check_subkey,
                 const std::string& check_value, uint32_t unused32 = 0,
                 uint8_t unused8 = 0);

  RegistryScript& OpenKey(uint32_t root, const std::string& subkey);
  // data is written exactly as given (a string value brings its own NUL).
  RegistryScript& SetValue(const std::string& name, uint32_t type,
                           const std::string& data);
  // REG_SZ with the terminating NUL added.
  RegistryScript& SetString(const std::string& name, const std::string& text);
  RegistryScript& SetDword(const std::string& name, uint32_t value);
  // Raw bytes after the operations so far (an ignored opcode 3..255, a cut
  // operation, ...).
  RegistryScript& Raw(const std::string& bytes);

  std::string Bytes() const;            // with the end opcode
  std::string BytesWithoutEnd() const;  // head and operations only

 private:
  std::string bytes_;
};

// Each returns a whole entry, kind byte first.
std::string EncodePatchedEntry(const PatchedFile& e);
std::string EncodeNewFileEntry(const NewFile& e);
std::string EncodeRemovedEntry(const std::string& name);
std::string EncodeRegistryEntry(const std::string& script);

// --- The payload ------------------------------------------------------------

// Payload positions of what Build wrote, for tests and for tools that
// describe a payload. Indexes follow the order of the calls.
struct PayloadLayout {
  uint32_t group_table_pos = 0;
  std::vector<uint32_t> record_pos;  // per group: its kind byte
  std::vector<uint32_t> body_pos;    // per group: its backup folder name
  std::vector<std::vector<uint32_t>> entry_pos;  // per group, per entry
  std::vector<uint32_t> end_pos;  // per group: its kind 0 byte (if written)
  uint32_t size = 0;              // the whole payload
};

class PayloadBuilder {
 public:
  void SetTexts(const std::string& notice, const std::string& description);

  // Each starts a new group; later entries go into the group started last.
  void ChosenFolderGroup(const std::string& backup_name);
  void RegistryGroup(uint32_t root, const std::string& subkey,
                     const std::string& value_name,
                     const std::string& backup_name);
  void WindowsFolderGroup(const std::string& backup_name);
  void SystemFolderGroup(const std::string& backup_name);
  // A group of any kind byte, with `record_tail` written after the two-byte
  // head (the registry fields of kind 1, or nothing).
  void RawGroup(uint8_t kind, const std::string& record_tail,
                const std::string& backup_name);

  // The flags byte of the current group. By default Build sets 0x02 on
  // every group but the last; after this call the group's flags are
  // written exactly as given.
  void SetGroupFlags(uint8_t flags);
  // Leave out the kind 0 that ends the current group.
  void OmitGroupEnd();
  // The current group's body as raw bytes, backup folder name, entries and
  // end included; the builder's own body parts are then not written.
  void SetRawBody(const std::string& body);

  void AddPatched(const PatchedFile& e);
  void AddNewFile(const NewFile& e);
  void AddRemoved(const std::string& name);
  void AddRegistry(const RegistryScript& script);
  void AddRegistryBytes(const std::string& script);
  // Anything, written as an entry (a kind 4 byte, a cut header, ...).
  void AddRawEntry(const std::string& bytes);

  size_t group_count() const { return groups_.size(); }
  uint16_t notice_length() const { return (uint16_t)notice_.size(); }
  uint16_t description_length() const {
    return (uint16_t)description_.size();
  }

  // Texts, then each group's record and body.
  std::string Build(PayloadLayout* layout = nullptr) const;
  // The same as bytes, as WriteContainer takes them.
  std::vector<uint8_t> BuildBytes(PayloadLayout* layout = nullptr) const;

 private:
  struct Group {
    uint8_t kind = 0;
    std::string record_tail;
    std::string backup_name;
    bool flags_given = false;
    uint8_t flags = 0;
    bool end = true;
    bool raw_body_given = false;
    std::string raw_body;
    std::vector<std::string> entries;
  };
  Group& Current();

  std::string notice_;
  std::string description_;
  std::vector<Group> groups_;
};

}  // namespace writer

#endif
