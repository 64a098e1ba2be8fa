#include "maker/writer/payload_builder.h"

#include <stdexcept>

#include "platform/platform.h"

namespace writer {

void AppendLe16(std::string* out, uint16_t v) {
  out->push_back((char)(v & 0xFF));
  out->push_back((char)(v >> 8));
}

void AppendLe32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; i++) out->push_back((char)((v >> (8 * i)) & 0xFF));
}

void AppendPayloadString(std::string* out, const std::string& s) {
  if (s.size() > 255)
    throw std::invalid_argument("payload string longer than 255 bytes: " + s);
  out->push_back((char)s.size());
  out->append(s);
}

static uint32_t Length32(size_t n, const char* what) {
  if (n > 0xFFFFFFFFu)
    throw std::invalid_argument(std::string(what) + " longer than 4 GiB");
  return (uint32_t)n;
}

static void AppendHole(std::string* out, const HolePair& h) {
  AppendLe32(out, h.offset);
  AppendLe32(out, h.length);
}

// --- Registry scripts -------------------------------------------------------

RegistryScript::RegistryScript(uint32_t check_root,
                               const std::string& check_subkey,
                               const std::string& check_value,
                               uint32_t unused32, uint8_t unused8) {
  AppendLe32(&bytes_, check_root);
  AppendPayloadString(&bytes_, check_subkey);
  AppendPayloadString(&bytes_, check_value);
  AppendLe32(&bytes_, unused32);
  bytes_.push_back((char)unused8);
}

RegistryScript& RegistryScript::OpenKey(uint32_t root,
                                        const std::string& subkey) {
  bytes_.push_back(1);
  AppendLe32(&bytes_, root);
  AppendPayloadString(&bytes_, subkey);
  return *this;
}

RegistryScript& RegistryScript::SetValue(const std::string& name,
                                         uint32_t type,
                                         const std::string& data) {
  bytes_.push_back(2);
  AppendPayloadString(&bytes_, name);
  AppendLe32(&bytes_, type);
  AppendLe32(&bytes_, Length32(data.size(), "registry value data"));
  bytes_.append(data);
  return *this;
}

RegistryScript& RegistryScript::SetString(const std::string& name,
                                          const std::string& text) {
  return SetValue(name, kRegSz, text + std::string(1, '\0'));
}

RegistryScript& RegistryScript::SetDword(const std::string& name,
                                         uint32_t value) {
  std::string data;
  AppendLe32(&data, value);
  return SetValue(name, kRegDword, data);
}

RegistryScript& RegistryScript::Raw(const std::string& bytes) {
  bytes_.append(bytes);
  return *this;
}

std::string RegistryScript::Bytes() const {
  return bytes_ + std::string(1, '\0');
}

std::string RegistryScript::BytesWithoutEnd() const { return bytes_; }

// --- Entries ----------------------------------------------------------------

std::string EncodePatchedEntry(const PatchedFile& e) {
  const bool holes = (e.flags & kEntryHasHoles) != 0;
  size_t count = e.source_count < 0 ? e.sources.size() : (size_t)e.source_count;
  if (count > 0xFFFF)
    throw std::invalid_argument("more than 65535 sources: " + e.name);
  std::string out;
  out.push_back((char)kEntryPatched);
  AppendLe32(&out, e.new_checksum);
  AppendLe32(&out, e.new_size);
  AppendLe32(&out, e.new_stamp);
  AppendLe16(&out, e.unused16);
  AppendLe16(&out, (uint16_t)count);
  out.push_back((char)e.flags);
  out.push_back((char)e.unused8);
  if (holes) AppendHole(&out, e.hole);
  AppendPayloadString(&out, e.name);
  for (const PatchedSource& src : e.sources) {
    AppendPayloadString(&out, src.name);
    SourceRecord r = src.record;
    if (!src.lengths_as_given) {
      for (int i = 0; i < kStreamCount; i++)
        r.stream_len[i] = Length32(src.streams[i].size(), "delta stream");
    }
    uint8_t raw[kSourceRecordSize];
    SourceRecordEncode(&r, raw);
    out.append((const char*)raw, sizeof raw);
    if (holes) AppendHole(&out, src.hole);
    for (int i = 0; i < kStreamCount; i++) out.append(src.streams[i]);
  }
  return out;
}

std::string EncodeNewFileEntry(const NewFile& e) {
  std::string out;
  out.push_back((char)kEntryNew);
  AppendPayloadString(&out, e.name);
  AppendLe32(&out, Length32(e.data.size(), "new file data"));
  AppendLe32(&out, e.stamp);
  AppendLe16(&out, e.unused16);
  out.append(e.data);
  return out;
}

std::string EncodeRemovedEntry(const std::string& name) {
  std::string out;
  out.push_back((char)kEntryRemoved);
  AppendPayloadString(&out, name);
  return out;
}

std::string EncodeRegistryEntry(const std::string& script) {
  std::string out;
  out.push_back((char)kEntryRegistry);
  AppendLe32(&out, Length32(script.size(), "registry script"));
  out.append(script);
  return out;
}

// --- The payload ------------------------------------------------------------

void PayloadBuilder::SetTexts(const std::string& notice,
                              const std::string& description) {
  if (notice.size() > 0xFFFF || description.size() > 0xFFFF)
    throw std::invalid_argument("a text longer than 65535 bytes");
  notice_ = notice;
  description_ = description;
}

PayloadBuilder::Group& PayloadBuilder::Current() {
  if (groups_.empty())
    throw std::invalid_argument("an entry or group setting before any group");
  return groups_.back();
}

void PayloadBuilder::RawGroup(uint8_t kind, const std::string& record_tail,
                              const std::string& backup_name) {
  if (backup_name.size() > 255)
    throw std::invalid_argument("backup folder name longer than 255 bytes");
  Group g;
  g.kind = kind;
  g.record_tail = record_tail;
  g.backup_name = backup_name;
  groups_.push_back(g);
}

void PayloadBuilder::ChosenFolderGroup(const std::string& backup_name) {
  RawGroup(kGroupChosenFolder, "", backup_name);
}

void PayloadBuilder::RegistryGroup(uint32_t root, const std::string& subkey,
                                   const std::string& value_name,
                                   const std::string& backup_name) {
  std::string tail;
  AppendLe32(&tail, root);
  AppendPayloadString(&tail, subkey);
  AppendPayloadString(&tail, value_name);
  RawGroup(kGroupRegistryValue, tail, backup_name);
}

void PayloadBuilder::WindowsFolderGroup(const std::string& backup_name) {
  RawGroup(kGroupWindowsFolder, "", backup_name);
}

void PayloadBuilder::SystemFolderGroup(const std::string& backup_name) {
  RawGroup(kGroupSystemFolder, "", backup_name);
}

void PayloadBuilder::SetGroupFlags(uint8_t flags) {
  Group& g = Current();
  g.flags_given = true;
  g.flags = flags;
}

void PayloadBuilder::OmitGroupEnd() { Current().end = false; }

void PayloadBuilder::SetRawBody(const std::string& body) {
  Group& g = Current();
  g.raw_body_given = true;
  g.raw_body = body;
}

void PayloadBuilder::AddPatched(const PatchedFile& e) {
  Current().entries.push_back(EncodePatchedEntry(e));
}

void PayloadBuilder::AddNewFile(const NewFile& e) {
  Current().entries.push_back(EncodeNewFileEntry(e));
}

void PayloadBuilder::AddRemoved(const std::string& name) {
  Current().entries.push_back(EncodeRemovedEntry(name));
}

void PayloadBuilder::AddRegistry(const RegistryScript& script) {
  Current().entries.push_back(EncodeRegistryEntry(script.Bytes()));
}

void PayloadBuilder::AddRegistryBytes(const std::string& script) {
  Current().entries.push_back(EncodeRegistryEntry(script));
}

void PayloadBuilder::AddRawEntry(const std::string& bytes) {
  Current().entries.push_back(bytes);
}

std::string PayloadBuilder::Build(PayloadLayout* layout) const {
  PayloadLayout at;
  std::string out = notice_ + description_;
  at.group_table_pos = (uint32_t)out.size();
  for (size_t i = 0; i < groups_.size(); i++) {
    const Group& g = groups_[i];
    const bool last = i + 1 == groups_.size();
    uint8_t flags = g.flags_given ? g.flags : (last ? 0 : kGroupMoreGroups);
    at.record_pos.push_back((uint32_t)out.size());
    out.push_back((char)g.kind);
    out.push_back((char)flags);
    out.append(g.record_tail);
    at.body_pos.push_back((uint32_t)out.size());
    at.entry_pos.emplace_back();
    if (g.raw_body_given) {
      out.append(g.raw_body);
      at.end_pos.push_back((uint32_t)out.size());
      continue;
    }
    AppendPayloadString(&out, g.backup_name);
    for (const std::string& e : g.entries) {
      at.entry_pos.back().push_back((uint32_t)out.size());
      out.append(e);
    }
    at.end_pos.push_back((uint32_t)out.size());
    if (g.end) out.push_back((char)kEntryEnd);
  }
  Length32(out.size(), "payload");
  at.size = (uint32_t)out.size();
  if (layout) *layout = at;
  return out;
}

std::vector<uint8_t> PayloadBuilder::BuildBytes(PayloadLayout* layout) const {
  std::string s = Build(layout);
  return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace writer
