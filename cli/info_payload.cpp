#include "cli/info_payload.h"

#include <string.h>

#include "cli/patch_session.h"
#include "payload/payload_state.h"

namespace {

// Reads the payload's little-endian fields, remembering the first place
// where something was missing.
class Cursor {
 public:
  // whole names what is read in messages ("the payload").
  Cursor(const std::string& p, uint32_t at, const char* whole = "the payload")
      : p_(p), at_(at), whole_(whole) {}
  bool ok() const { return ok_; }
  uint32_t pos() const { return at_; }
  bool More() const { return at_ < p_.size(); }

  const uint8_t* Take(uint32_t n, const char* what) {
    if (!ok_) return nullptr;
    if (n > p_.size() || at_ > p_.size() - n) {
      ok_ = false;
      why_ = std::string(whole_) + " ends inside " + what;
      return nullptr;
    }
    const uint8_t* r = (const uint8_t*)p_.data() + at_;
    at_ += n;
    return r;
  }
  uint8_t U8(const char* what) {
    const uint8_t* b = Take(1, what);
    return b ? b[0] : 0;
  }
  uint16_t U16(const char* what) {
    const uint8_t* b = Take(2, what);
    return b ? LoadLe16(b) : 0;
  }
  uint32_t U32(const char* what) {
    const uint8_t* b = Take(4, what);
    return b ? LoadLe32(b) : 0;
  }
  // A payload string as the applier takes it: up to its first NUL.
  std::string Str(const char* what) {
    uint8_t n = U8(what);
    const uint8_t* b = Take(n, what);
    if (!b) return "";
    std::string s((const char*)b, n);
    size_t z = s.find('\0');
    return z == std::string::npos ? s : s.substr(0, z);
  }
  void Fail(const std::string& why) {
    if (ok_) why_ = why;
    ok_ = false;
  }
  const std::string& why() const { return why_; }

 private:
  const std::string& p_;
  uint32_t at_;
  const char* whole_;
  bool ok_ = true;
  std::string why_;
};

void ParseScript(const std::string& script, InfoEntry* e) {
  Cursor c(script, 0, "the script");
  e->check_root = c.U32("the check value");
  e->check_subkey = c.Str("the check value");
  e->check_value = c.Str("the check value");
  c.U32("the check value");
  c.U8("the check value");
  while (c.ok()) {
    InfoRegistryOp op;
    op.opcode = c.U8("the operations, before their end mark");
    if (!c.ok() || op.opcode == 0) break;
    if (op.opcode == 1) {
      op.root = c.U32("an open-key operation");
      op.subkey = c.Str("an open-key operation");
    } else if (op.opcode == 2) {
      op.name = c.Str("a set-value operation");
      op.type = c.U32("a set-value operation");
      uint32_t n = c.U32("a set-value operation");
      const uint8_t* d = c.Take(n, "a set-value operation");
      if (d) op.data.assign((const char*)d, n);
    }
    if (c.ok()) e->ops.push_back(op);
  }
  if (!c.ok()) e->script_problem = c.why();
}

bool ParseEntry(Cursor* c, InfoEntry* e, PayloadInfo* info) {
  e->pos = c->pos();
  e->kind = c->U8("an entry");
  switch (e->kind) {
    case kEntryEnd:
      return c->ok();
    case kEntryPatched: {
      e->new_checksum = c->U32("a patched-file header");
      e->new_size = c->U32("a patched-file header");
      e->stamp = c->U32("a patched-file header");
      c->U16("a patched-file header");
      uint16_t count = c->U16("a patched-file header");
      e->flags = c->U8("a patched-file header");
      c->U8("a patched-file header");
      if (e->flags & kEntryHasHoles) {
        e->hole_offset = c->U32("a hole pair");
        e->hole_length = c->U32("a hole pair");
      }
      e->name = c->Str("an entry name");
      for (uint16_t k = 0; k < count && c->ok(); k++) {
        InfoSource s;
        s.name = c->Str("a source name");
        const uint8_t* raw = c->Take(kSourceRecordSize, "a source record");
        if (!raw) break;
        SourceRecordDecode(raw, &s.record);
        if (e->flags & kEntryHasHoles) {
          s.hole_offset = c->U32("a hole pair");
          s.hole_length = c->U32("a hole pair");
        }
        s.data_pos = c->pos();
        uint64_t total = 0;
        for (int i = 0; i < kStreamCount; i++) total += s.record.stream_len[i];
        if (total > 0xFFFFFFFFu || !c->Take((uint32_t)total, "delta streams"))
          c->Fail("the delta streams of " + Cp950ToUtf8(e->name) +
                  " reach past the payload's end");
        info->delta_bytes += total;
        e->sources.push_back(s);
      }
      info->patched++;
      info->sources += e->sources.size();
      return c->ok();
    }
    case kEntryNew:
      e->name = c->Str("an entry name");
      e->data_length = c->U32("a new-file header");
      e->stamp = c->U32("a new-file header");
      c->U16("a new-file header");
      if (!c->Take(e->data_length, "new-file data"))
        c->Fail("the data of " + Cp950ToUtf8(e->name) +
                " reaches past the payload's end");
      info->new_file_bytes += e->data_length;
      info->added++;
      return c->ok();
    case kEntryRemoved:
      e->name = c->Str("an entry name");
      info->removed++;
      return c->ok();
    case kEntryRegistry: {
      e->data_length = c->U32("a registry entry");
      const uint8_t* d = c->Take(e->data_length, "a registry script");
      if (!d) return false;
      ParseScript(std::string((const char*)d, e->data_length), e);
      info->registry++;
      return c->ok();
    }
    default:
      if (c->ok())
        c->Fail("entry kind " + std::to_string(e->kind) + " at payload position " +
                std::to_string(e->pos) + " is not one the applier knows");
      return false;
  }
}

const char* GroupKindName(uint8_t k) {
  switch (k) {
    case kGroupChosenFolder: return "chosen folder";
    case kGroupRegistryValue: return "registry value";
    case kGroupWindowsFolder: return "Windows folder";
    case kGroupSystemFolder: return "System folder";
  }
  return "unknown";
}

const char* EntryKindName(uint8_t k) {
  switch (k) {
    case kEntryPatched: return "patched";
    case kEntryNew: return "new";
    case kEntryRemoved: return "removed";
    case kEntryRegistry: return "registry";
  }
  return "?";
}

std::string RootName(uint32_t root) {
  switch (root) {
    case 0x80000000u: return "HKCR";
    case 0x80000001u: return "HKCU";
    case 0x80000002u: return "HKLM";
    case 0x80000003u: return "HKU";
    case 0x80000005u: return "HKCC";
  }
  char b[16];
  snprintf(b, sizeof b, "0x%08X", root);
  return b;
}

std::string TypeName(uint32_t t) {
  static const char* kNames[] = {"REG_NONE",     "REG_SZ",
                                 "REG_EXPAND_SZ", "REG_BINARY",
                                 "REG_DWORD",    "REG_DWORD_BIG_ENDIAN",
                                 "REG_LINK",     "REG_MULTI_SZ"};
  if (t < 8) return kNames[t];
  if (t == 11) return "REG_QWORD";
  return "type " + std::to_string(t);
}

std::string Hex(const std::string& d) {
  std::string s;
  char b[4];
  for (unsigned char c : d) {
    snprintf(b, sizeof b, "%02x", c);
    s += b;
  }
  return s;
}

std::string StampText(uint32_t stamp) {
  if (stamp == 0) return "none";
  unsigned date = stamp >> 16, t = stamp & 0xFFFF;
  char b[32];
  snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
           (date >> 5) & 15, date & 31, t >> 11, (t >> 5) & 63, (t & 31) * 2);
  return b;
}

std::string FlagsText(uint8_t f) {
  std::string s;
  if (f & kEntryHasHoles) s += ",holes";
  if (f & kEntryOptional) s += ",optional";
  if (f & kEntryQuiet) s += ",quiet";
  return s.empty() ? "none" : s.substr(1);
}

std::string SourceFlagsText(uint8_t f) {
  std::string s;
  if (f & kSourceSelfReference) s += ",self-reference";
  if (f & kSourceRawTrailers) s += ",raw trailers";
  return s.empty() ? "none" : s.substr(1);
}

// A value's data as people read it.
std::string DataText(const InfoRegistryOp& op) {
  if ((op.type == 1 || op.type == 2) && !op.data.empty() &&
      op.data.back() == '\0' && op.data.find('\0') == op.data.size() - 1)
    return "\"" + Cp950ToUtf8(op.data.substr(0, op.data.size() - 1)) + "\"";
  if (op.type == 4 && op.data.size() == 4)
    return std::to_string(LoadLe32((const uint8_t*)op.data.data()));
  return "hex:" + Hex(op.data);
}

std::string Json(const std::string& utf8) {
  std::string s = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      s += '\\';
      s += (char)c;
    } else if (c < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      s += b;
    } else {
      s += (char)c;
    }
  }
  return s + "\"";
}

std::string JsonText(const std::string& cp950) { return Json(Cp950ToUtf8(cp950)); }

}  // namespace

bool ReadPayloadStream(Session* s, std::string* payload) {
  payload->clear();
  if (!s->payload) return false;
  uint32_t size = s->os->file_size(s->payload);
  if (size == kInvalidSize) return false;
  s->os->seek(s->payload, 0);
  payload->resize(size);
  uint32_t at = 0;
  while (at < size) {
    int32_t want = size - at > (1u << 20) ? (1 << 20) : (int32_t)(size - at);
    int32_t got = 0;
    if (!s->os->read(s->payload, &(*payload)[at], want, &got) || got <= 0)
      return false;
    at += (uint32_t)got;
  }
  return true;
}

PayloadInfo WalkPayload(const std::string& payload, uint32_t group_table_pos) {
  PayloadInfo info;
  Cursor c(payload, group_table_pos);
  for (;;) {
    if (info.groups.size() >= kMaxGroups) {
      c.Fail("more than 20 groups");
      break;
    }
    InfoGroup g;
    g.pos = c.pos();
    g.kind = c.U8("a group record");
    g.flags = c.U8("a group record");
    if (g.kind == kGroupRegistryValue) {
      g.root = c.U32("a group record");
      g.subkey = c.Str("a group record");
      g.value_name = c.Str("a group record");
    }
    g.backup = c.Str("a backup folder name");
    if (!c.ok()) break;
    if (g.kind > kGroupSystemFolder)
      c.Fail("group kind " + std::to_string(g.kind) + " is not one the applier knows");
    while (c.ok()) {
      InfoEntry e;
      bool ok = ParseEntry(&c, &e, &info);
      if (e.kind == kEntryEnd && ok) break;
      if (ok) g.entries.push_back(e);
    }
    info.groups.push_back(g);
    if (!c.ok() || !(g.flags & 0x02)) break;
  }
  if (!c.ok()) info.problem = c.why();
  return info;
}

void PrintPayloadText(FILE* out, const PayloadInfo& info) {
  for (size_t gi = 0; gi < info.groups.size(); gi++) {
    const InfoGroup& g = info.groups[gi];
    fprintf(out, "group %zu: %s", gi, GroupKindName(g.kind));
    if (g.kind == kGroupRegistryValue)
      fprintf(out, " %s\\%s \"%s\"", RootName(g.root).c_str(),
              Cp950ToUtf8(g.subkey).c_str(), Cp950ToUtf8(g.value_name).c_str());
    fprintf(out, ", backup folder \"%s\", %zu entries\n",
            Cp950ToUtf8(g.backup).c_str(), g.entries.size());
    for (const InfoEntry& e : g.entries) {
      fprintf(out, "  %-8s ", EntryKindName(e.kind));
      if (e.kind == kEntryPatched) {
        fprintf(out, "%s: %u bytes, CRC %08X, stamp %s, flags %s",
                Cp950ToUtf8(e.name).c_str(), e.new_size, e.new_checksum,
                StampText(e.stamp).c_str(), FlagsText(e.flags).c_str());
        if (e.hole_length)
          fprintf(out, ", hole %u+%u", e.hole_offset, e.hole_length);
        fprintf(out, "\n");
        for (size_t k = 0; k < e.sources.size(); k++) {
          const InfoSource& s = e.sources[k];
          const SourceRecord& r = s.record;
          uint64_t total = 0;
          for (int i = 0; i < kStreamCount; i++) total += r.stream_len[i];
          fprintf(out,
                  "    source %zu: %s%s%s, %u bytes, CRC %08X, streams "
                  "%u/%u/%u/%u/%u (%llu bytes), trailer group %u, block %u, "
                  "flags %s",
                  k + 1, s.name.empty() ? "" : "\"",
                  s.name.empty() ? "(entry name)" : Cp950ToUtf8(s.name).c_str(),
                  s.name.empty() ? "" : "\"", r.old_size, r.old_checksum,
                  r.stream_len[0], r.stream_len[1], r.stream_len[2],
                  r.stream_len[3], r.stream_len[4], (unsigned long long)total,
                  r.trailer_group_size, r.insert_block_size,
                  SourceFlagsText(r.flags).c_str());
          if (s.hole_length)
            fprintf(out, ", hole %u+%u", s.hole_offset, s.hole_length);
          fprintf(out, "\n");
        }
      } else if (e.kind == kEntryNew) {
        fprintf(out, "%s: %u bytes, stamp %s\n", Cp950ToUtf8(e.name).c_str(),
                e.data_length, StampText(e.stamp).c_str());
      } else if (e.kind == kEntryRemoved) {
        fprintf(out, "%s\n", Cp950ToUtf8(e.name).c_str());
      } else {
        fprintf(out, "%u bytes: check %s\\%s \"%s\"\n", e.data_length,
                RootName(e.check_root).c_str(),
                Cp950ToUtf8(e.check_subkey).c_str(),
                Cp950ToUtf8(e.check_value).c_str());
        for (const InfoRegistryOp& op : e.ops) {
          if (op.opcode == 1)
            fprintf(out, "    open %s\\%s\n", RootName(op.root).c_str(),
                    Cp950ToUtf8(op.subkey).c_str());
          else if (op.opcode == 2)
            fprintf(out, "    set \"%s\" %s %s\n", Cp950ToUtf8(op.name).c_str(),
                    TypeName(op.type).c_str(), DataText(op).c_str());
          else
            fprintf(out, "    opcode %u (skipped)\n", op.opcode);
        }
        if (!e.script_problem.empty())
          fprintf(out, "    damaged: %s; the registry pass would fail (1)\n",
                  e.script_problem.c_str());
      }
    }
  }
  fprintf(out,
          "totals: %zu groups, %zu patched (%zu sources), %zu new, %zu "
          "removed, %zu registry; delta streams %llu bytes, new-file data "
          "%llu bytes\n",
          info.groups.size(), info.patched, info.sources, info.added,
          info.removed, info.registry, (unsigned long long)info.delta_bytes,
          (unsigned long long)info.new_file_bytes);
  if (!info.problem.empty())
    fprintf(out, "problem: %s\n", info.problem.c_str());
}

void PrintInfoJson(FILE* out, const char* path, const ContainerFacts& f,
                   const std::string& notice, const std::string& description,
                   bool description_shown, uint32_t group_table_pos,
                   const PayloadInfo& info) {
  fprintf(out, "{\n  \"file\": %s,\n  \"file_size\": %u,\n", Json(path).c_str(),
          f.file_size);
  fprintf(out,
          "  \"container\": {\"offset\": %u, \"length\": %u, \"deflated\": %s, "
          "\"region_length\": %u, \"payload_length\": %u},\n",
          f.file_size - f.container_length, f.container_length,
          (f.flags & 1) ? "true" : "false", f.region_length, f.payload_length);
  fprintf(out, "  \"notice\": %s,\n  \"description\": %s,\n",
          JsonText(notice).c_str(),
          description_shown ? JsonText(description).c_str() : "null");
  fprintf(out, "  \"group_table\": %u,\n  \"groups\": [", group_table_pos);
  for (size_t gi = 0; gi < info.groups.size(); gi++) {
    const InfoGroup& g = info.groups[gi];
    fprintf(out, "%s\n    {\"kind\": %u, \"kind_name\": %s, ", gi ? "," : "",
            g.kind, Json(GroupKindName(g.kind)).c_str());
    if (g.kind == kGroupRegistryValue)
      fprintf(out, "\"root\": %u, \"subkey\": %s, \"value\": %s, ", g.root,
              JsonText(g.subkey).c_str(), JsonText(g.value_name).c_str());
    fprintf(out, "\"backup\": %s, \"entries\": [", JsonText(g.backup).c_str());
    for (size_t ei = 0; ei < g.entries.size(); ei++) {
      const InfoEntry& e = g.entries[ei];
      fprintf(out, "%s\n      {\"kind\": %s", ei ? "," : "",
              Json(EntryKindName(e.kind)).c_str());
      if (e.kind != kEntryRegistry)
        fprintf(out, ", \"name\": %s", JsonText(e.name).c_str());
      if (e.kind == kEntryPatched) {
        fprintf(out,
                ", \"size\": %u, \"crc\": %u, \"stamp\": %u, \"flags\": %u, "
                "\"optional\": %s, \"quiet\": %s, \"hole\": [%u, %u], "
                "\"sources\": [",
                e.new_size, e.new_checksum, e.stamp, e.flags,
                (e.flags & kEntryOptional) ? "true" : "false",
                (e.flags & kEntryQuiet) ? "true" : "false", e.hole_offset,
                e.hole_length);
        for (size_t k = 0; k < e.sources.size(); k++) {
          const InfoSource& s = e.sources[k];
          const SourceRecord& r = s.record;
          fprintf(out,
                  "%s\n        {\"name\": %s, \"size\": %u, \"crc\": %u, "
                  "\"hole\": [%u, %u], \"streams\": [%u, %u, %u, %u, %u], "
                  "\"trailer_group_size\": %u, \"block\": %u, \"flags\": %u}",
                  k ? "," : "", JsonText(s.name).c_str(), r.old_size,
                  r.old_checksum, s.hole_offset, s.hole_length,
                  r.stream_len[0], r.stream_len[1], r.stream_len[2],
                  r.stream_len[3], r.stream_len[4], r.trailer_group_size,
                  r.insert_block_size, r.flags);
        }
        fprintf(out, "]}");
      } else if (e.kind == kEntryNew) {
        fprintf(out, ", \"size\": %u, \"stamp\": %u}", e.data_length, e.stamp);
      } else if (e.kind == kEntryRemoved) {
        fprintf(out, "}");
      } else {
        fprintf(out,
                ", \"script_length\": %u, \"check\": {\"root\": %u, "
                "\"subkey\": %s, \"value\": %s}, \"ops\": [",
                e.data_length, e.check_root, JsonText(e.check_subkey).c_str(),
                JsonText(e.check_value).c_str());
        for (size_t k = 0; k < e.ops.size(); k++) {
          const InfoRegistryOp& op = e.ops[k];
          fprintf(out, "%s{\"opcode\": %u", k ? ", " : "", op.opcode);
          if (op.opcode == 1)
            fprintf(out, ", \"root\": %u, \"subkey\": %s", op.root,
                    JsonText(op.subkey).c_str());
          if (op.opcode == 2)
            fprintf(out, ", \"name\": %s, \"type\": %u, \"data\": %s",
                    JsonText(op.name).c_str(), op.type,
                    Json(Hex(op.data)).c_str());
          fprintf(out, "}");
        }
        fprintf(out, "], \"script_problem\": %s}",
                e.script_problem.empty() ? "null"
                                         : Json(e.script_problem).c_str());
      }
    }
    fprintf(out, "%s]}", g.entries.empty() ? "" : "\n    ");
  }
  fprintf(out,
          "%s],\n  \"totals\": {\"groups\": %zu, \"patched\": %zu, "
          "\"sources\": %zu, \"new\": %zu, \"removed\": %zu, \"registry\": %zu, "
          "\"delta_bytes\": %llu, \"new_file_bytes\": %llu},\n",
          info.groups.empty() ? "" : "\n  ", info.groups.size(), info.patched,
          info.sources, info.added, info.removed, info.registry,
          (unsigned long long)info.delta_bytes,
          (unsigned long long)info.new_file_bytes);
  fprintf(out, "  \"problem\": %s\n}\n",
          info.problem.empty() ? "null" : Json(info.problem).c_str());
}
