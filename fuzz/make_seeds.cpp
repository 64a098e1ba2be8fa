// Writes the seed corpora of the fuzz targets:
//
//   fuzz_seeds OUT_DIR
//
// makes OUT_DIR/<target>/<name> for each target. Every seed is a
// well-formed input made with the writer library and the test encoder,
// against the files the targets put in their target folders
// (fuzz_support.h), so the fuzzer starts from runs that reach the commit
// pass, the restart schedule and the registry pass. The same program gives
// the same bytes every time.
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/reg_file.h"
#include "delta/crc32.h"
#include "fuzz/fuzz_support.h"
#include "maker/delta_encoder.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"
#include "platform/posix_registry.h"
#include "support/test_encoder.h"

namespace {

std::string g_out;

void Save(const char* target, const std::string& name,
          const std::string& bytes) {
  std::string dir = g_out + "/" + target;
  mkdir(g_out.c_str(), 0777);
  mkdir(dir.c_str(), 0777);
  std::string path = dir + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    exit(1);
  }
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

uint32_t Crc(const std::string& s) {
  return CrcUpdate(s.data(), (int32_t)s.size(), kCrcPreset);
}

// A delta that uses every kind of piece: the common prefix as a copy with a
// few trailer bytes after it, the middle as an added (or raw) insert, the
// common suffix as a second copy.
EncodedDelta Encode(const std::string& old_s, const std::string& new_s,
                    bool raw_insert = false,
                    TestDeltaOptions opt = TestDeltaOptions()) {
  TestEncoder enc(B(old_s), opt);
  size_t p = 0;
  while (p < old_s.size() && p < new_s.size() && old_s[p] == new_s[p]) p++;
  size_t sfx = 0;
  while (sfx < old_s.size() - p && sfx < new_s.size() - p &&
         old_s[old_s.size() - 1 - sfx] == new_s[new_s.size() - 1 - sfx])
    sfx++;
  size_t mid_end = new_s.size() - sfx;
  size_t at = 0;
  if (p > 0) {
    size_t t = mid_end - p < 3 ? mid_end - p : 3;
    enc.Copy(0, (int32_t)p, B(new_s.substr(p, t)));
    at = p + t;
  }
  if (at < mid_end) enc.Insert(B(new_s.substr(at, mid_end - at)), raw_insert);
  if (sfx > 0) enc.Copy((int32_t)(old_s.size() - sfx), (int32_t)sfx);
  return enc.Finish();
}

writer::PatchedSource Source(const std::string& name, const std::string& old_s,
                             const std::string& new_s, bool raw = false) {
  EncodedDelta d = Encode(old_s, new_s, raw);
  writer::PatchedSource src;
  src.name = name;
  src.record = d.record;
  src.record.old_checksum = Crc(old_s);
  src.record.old_size = (uint32_t)old_s.size();
  for (int i = 0; i < kStreamCount; i++) src.streams[i] = S(d.stream[i]);
  return src;
}

writer::PatchedFile Chain(const std::string& name,
                          const std::vector<std::string>& versions,
                          uint8_t flags = 0) {
  writer::PatchedFile e;
  e.name = name;
  e.flags = flags;
  e.new_size = (uint32_t)versions.back().size();
  e.new_checksum = Crc(versions.back());
  e.new_stamp = 0x5A2C6000;  // 2025-01-12 12:00
  for (size_t k = 0; k + 1 < versions.size(); k++)
    e.sources.push_back(Source("", versions[k], versions[k + 1], k % 2 == 1));
  return e;
}

const std::string V(int i) { return kFuzzVersions[i]; }
const std::string kB = "b library: the old bytes of the second patched file";
const std::string kB2 = "b library: the new bytes of the second patched file!";

writer::RegistryScript SettingsScript() {
  return writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
      .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
      .SetString("Version", "2")
      .SetDword("Count", 8);
}

// The maker's encoder: a source as a real patch carries it.
writer::PatchedSource MakerSource(const std::string& old_s,
                                  const std::string& new_s) {
  maker::DeltaOptions opt;
  maker::EncodedDelta d = maker::EncodeDelta(
      (const uint8_t*)old_s.data(), (uint32_t)old_s.size(),
      (const uint8_t*)new_s.data(), (uint32_t)new_s.size(), opt);
  writer::PatchedSource src;
  src.record = d.record;
  src.record.old_checksum = Crc(old_s);
  for (int i = 0; i < kStreamCount; i++) src.streams[i] = S(d.streams[i]);
  return src;
}

// A few KiB of "code": repeated structures with small differences, as an
// executable has, so the encoder finds copies with trailers and added
// pieces.
std::string Binary(uint32_t seed, int edits) {
  std::string out;
  uint32_t x = 12345;
  for (int i = 0; i < 3000; i++) {
    x = x * 1103515245u + 12345u;
    out += (char)((i % 64 < 48) ? (i * 7) & 0xFF : (x >> 16) & 0xFF);
  }
  uint32_t y = seed;
  for (int e = 0; e < edits; e++) {
    y = y * 1664525u + 1013904223u;
    size_t at = (y >> 8) % out.size();
    if (e % 3 == 0)
      out.insert(at, "inserted bytes");
    else
      out[at] = (char)(out[at] ^ 0x21);
  }
  return out;
}

// --- Payloads -------------------------------------------------------------

std::vector<std::pair<std::string, writer::PayloadBuilder>> Payloads() {
  std::vector<std::pair<std::string, writer::PayloadBuilder>> out;
  {
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(Chain("a.dll", {V(1), V(2)}));
    writer::NewFile nf;
    nf.name = "sub\\new.txt";
    nf.data = "a new file in a new folder";
    nf.stamp = 0x5A2C6000;
    b.AddNewFile(nf);
    b.AddRemoved("c.txt");
    out.push_back({"one-group", b});
  }
  {
    // The folder holds the middle version of a three-source chain.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BACKUP");
    b.AddPatched(Chain("a.dll", {V(0), V(1), V(2), V(3)}));
    out.push_back({"chain", b});
  }
  {
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(Chain("a.dll", {V(1), V(3)}));
    b.AddRemoved("c.txt");
    b.RegistryGroup(kHkeyCurrentUser, kFuzzAppKey, "Folder", "BAK2");
    writer::PatchedFile pb = Chain("b.dll", {kB, kB2});
    b.AddPatched(pb);
    b.AddRegistry(SettingsScript());
    b.WindowsFolderGroup("OLD");
    writer::NewFile nf;
    nf.name = "orvenda.ini";
    nf.data = "[Orvenda]\r\nVersion=2\r\n";
    b.AddNewFile(nf);
    b.SystemFolderGroup("OLD");
    b.AddRemoved("c.txt");
    b.AddPatched(Chain("a.dll", {V(1), V(2)}));
    out.push_back({"four-groups", b});
  }
  {
    // Holes, an optional file that is absent (quiet and not), a source
    // found only under another name.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    writer::PatchedFile e = Chain("a.dll", {V(1), V(2)}, kEntryHasHoles);
    e.hole.offset = 8;
    e.hole.length = 7;
    e.new_checksum = CrcUpdate(V(2).data(), 8, kCrcPreset);
    e.new_checksum = CrcUpdate(V(2).data() + 15, (int32_t)V(2).size() - 15,
                               e.new_checksum);
    b.AddPatched(e);
    b.AddPatched(Chain("missing.dll", {V(0), V(1)}, kEntryOptional | kEntryQuiet));
    b.AddPatched(Chain("absent.dll", {V(0), V(1)}, kEntryOptional));
    writer::PatchedFile r = Chain("renamed.dll", {kB, kB2});
    r.sources[0].name = "b.dll";
    b.AddPatched(r);
    out.push_back({"holes-optional", b});
  }
  {
    // Already updated, and a registry script that fails after the files
    // were committed, so the run rolls back.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(Chain("a.dll", {V(0), V(1)}));
    b.AddPatched(Chain("b.dll", {kB, kB2}));
    b.AddRemoved("keep.txt");
    b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
                      .OpenKey(kHkeyCurrentUser, "Software\\Orvenda\\Missing")
                      .SetString("x", "y"));
    out.push_back({"rollback", b});
  }
  {
    // Two groups reach the chosen folder through two spellings and patch
    // the same file: the second may not trade away the first one's backup.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    b.AddPatched(Chain("a.dll", {V(1), V(2)}));
    b.RegistryGroup(kHkeyCurrentUser, kFuzzAppKey, "Alias", "BAK");
    b.AddPatched(Chain("a.dll", {V(1), V(3)}));
    b.AddRemoved("c.txt");
    out.push_back({"two-spellings", b});
  }
  {
    // A staged file that does not match: 12 before anything is committed.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    writer::PatchedFile e = Chain("a.dll", {V(1), V(2)});
    e.new_checksum ^= 1;
    b.AddPatched(e);
    out.push_back({"bad-checksum", b});
  }
  {
    // A file that cannot be moved aside (a folder stands where its backup
    // goes) ends the commit pass with 7 and hands the rest to the restart
    // schedule.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    writer::NewFile nf;
    nf.name = "BAK\\b.dll\\placeholder";
    nf.data = "a folder where a backup goes";
    b.AddNewFile(nf);
    b.AddPatched(Chain("a.dll", {V(1), V(2)}));
    b.AddPatched(Chain("b.dll", {kB, kB2}));
    b.AddRemoved("c.txt");
    out.push_back({"in-use", b});
  }
  {
    // Deltas from the maker's encoder, one of them a two-step chain.
    writer::PayloadBuilder b;
    b.ChosenFolderGroup("BAK");
    writer::PatchedFile e;
    e.name = "a.dll";
    e.new_size = (uint32_t)V(3).size();
    e.new_checksum = Crc(V(3));
    e.sources.push_back(MakerSource(V(1), V(2)));
    e.sources.push_back(MakerSource(V(2), V(3)));
    b.AddPatched(e);
    writer::PatchedFile eb;
    eb.name = "b.dll";
    eb.new_size = (uint32_t)kB2.size();
    eb.new_checksum = Crc(kB2);
    eb.sources.push_back(MakerSource(kB, kB2));
    b.AddPatched(eb);
    out.push_back({"maker-deltas", b});
  }
  {
    writer::PayloadBuilder b;
    b.RegistryGroup(kHkeyCurrentUser, kFuzzAppKey, "Folder", "BAK");
    b.AddRegistry(SettingsScript());
    b.AddRegistry(writer::RegistryScript(kHkeyLocalMachine, kFuzzMachineKey,
                                         "Install")
                      .OpenKey(kHkeyLocalMachine, kFuzzMachineKey)
                      .SetValue("Bin", kRegBinary, std::string("\0\1\2", 3)));
    out.push_back({"registry", b});
  }
  return out;
}

// --- Rebuild inputs -----------------------------------------------------------

std::string RebuildInput(const EncodedDelta& d, const std::string& old_s) {
  std::string in = S(d.RecordBytes());
  writer::AppendLe32(&in, (uint32_t)d.new_size);
  writer::AppendLe16(&in, (uint16_t)old_s.size());
  in += old_s;
  in += S(d.Streams());
  return in;
}

void RebuildSeeds() {
  // Deltas from the maker's encoder between larger, file-like versions.
  for (int edits : {1, 12, 60}) {
    std::string old_s = Binary(1, 0), new_s = Binary(7, edits);
    maker::DeltaOptions opt;
    maker::EncodedDelta d = maker::EncodeDelta(
        (const uint8_t*)old_s.data(), (uint32_t)old_s.size(),
        (const uint8_t*)new_s.data(), (uint32_t)new_s.size(), opt);
    std::string in;
    uint8_t raw[kSourceRecordSize];
    SourceRecordEncode(&d.record, raw);
    in.assign((const char*)raw, sizeof raw);
    writer::AppendLe32(&in, (uint32_t)new_s.size());
    writer::AppendLe16(&in, (uint16_t)old_s.size());
    in += old_s;
    for (int i = 0; i < kStreamCount; i++) in += S(d.streams[i]);
    Save("fuzz_rebuild", "maker-" + std::to_string(edits), in);
  }
  // The worked example of the format: ten old bytes, two copies and two
  // inserts, one added and one raw.
  {
    std::string in;
    SourceRecord r{};
    r.old_size = 10;
    r.stream_len[kCommandStream] = 7;
    r.stream_len[kFlagStream] = 1;
    r.stream_len[kSignStream] = 1;
    r.stream_len[kInsertStream] = 3;
    r.trailer_group_size = 190;
    r.insert_block_size = 20;
    uint8_t raw[kSourceRecordSize];
    SourceRecordEncode(&r, raw);
    in.assign((const char*)raw, sizeof raw);
    writer::AppendLe32(&in, 11);
    writer::AppendLe16(&in, 10);
    in += "0123456789";
    in += std::string("\x04\x00\x00\x02\x04\x02\x01", 7);
    in += "\x02";
    in += "\x24";
    in += "\x24\x24\x21";
    Save("fuzz_rebuild", "worked-example", in);
  }
  for (int i = 0; i + 1 < kFuzzVersionCount; i++)
    Save("fuzz_rebuild", "versions-" + std::to_string(i),
         RebuildInput(Encode(V(i), V(i + 1)), V(i)));
  {
    // Copies from the new file's own bytes, negative offsets, skips within
    // trailer groups of three, raw trailers.
    TestDeltaOptions opt;
    opt.trailer_group_size = 3;
    opt.insert_block_size = 5;
    opt.self_reference = true;
    opt.raw_trailers = true;
    std::string old_s = V(0);
    TestEncoder enc(B(old_s), opt);
    enc.Copy(10, 20, B("xyz"));
    enc.Skip();
    enc.Copy((int32_t)old_s.size() + 2, 30, B("abc"));
    enc.CopyRelative(-40, 8, B("def"));
    enc.InsertPieces(B("0123456789ABCDEFGHIJ"), {true, false, true, false});
    enc.Copy(0, 4, B("ghi"));
    Save("fuzz_rebuild", "self-reference", RebuildInput(enc.Finish(), old_s));
  }
  {
    // Wide numbers: a width bound past 65535 and past 16 MiB brings the
    // third- and fourth-byte continuation bits into play.
    std::string old_s = V(1);
    for (int32_t bound : {70000, 20000000}) {
      TestEncoder enc(B(old_s));
      enc.Copy(5, 40, B("**"));
      enc.Insert(B("wide numbers"), false);
      enc.CopyRelative(-30, 12);
      Save("fuzz_rebuild", "width-" + std::to_string(bound),
           RebuildInput(enc.Finish(bound), old_s));
    }
  }
}

// --- Registry scripts ----------------------------------------------------------

void RegistrySeeds() {
  Save("fuzz_registry", "settings", SettingsScript().Bytes());
  Save("fuzz_registry", "machine",
       writer::RegistryScript(kHkeyLocalMachine, kFuzzMachineKey, "Install", 7,
                              1)
           .OpenKey(kHkeyLocalMachine, kFuzzMachineKey)
           .SetValue("Bin", kRegBinary, std::string("\0\1\2", 3))
           .Raw("\x07\x09")
           .SetValue("", kRegSz, std::string("default\0", 8))
           .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
           .SetValue("Empty", kRegBinary, "")
           .Bytes());
  Save("fuzz_registry", "empty-check",
       writer::RegistryScript(kHkeyLocalMachine, kFuzzMachineKey, "Empty")
           .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
           .SetString("x", "y")
           .Bytes());
  Save("fuzz_registry", "read-only-key",
       writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
           .SetString("Folder", "elsewhere")
           .Bytes());
  Save("fuzz_registry", "missing-key",
       writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
           .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
           .SetString("First", "stays")
           .OpenKey(kHkeyCurrentUser, "Software\\Orvenda\\Missing")
           .SetString("x", "y")
           .Bytes());
  Save("fuzz_registry", "big-value",
       writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
           .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
           .SetValue("Big", kRegBinary, std::string(1001, 'x'))
           .Bytes());
}

// --- The command-line tool's readers ------------------------------------------

// Registry scripts with every verdict check gives (a value set through the
// read-only check key, a missing key, a missing check value, a script cut
// inside its stated length) and an entry after them.
void CliSeeds() {
  writer::PayloadBuilder b;
  b.ChosenFolderGroup("BAK");
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
                    .SetString("Version", "2"));
  b.AddRegistry(writer::RegistryScript(kHkeyCurrentUser, kFuzzAppKey, "Folder")
                    .OpenKey(kHkeyCurrentUser, "Software\\Orvenda\\Missing")
                    .SetString("x", "y"));
  b.AddRegistry(writer::RegistryScript(kHkeyLocalMachine, kFuzzMachineKey, "Empty")
                    .OpenKey(kHkeyCurrentUser, kFuzzSettingsKey)
                    .SetDword("Count", 9));
  std::string script = SettingsScript().Bytes();
  script.resize(script.size() - 3);
  std::string entry = "\x05";
  writer::AppendLe32(&entry, (uint32_t)script.size());
  b.AddRawEntry(entry + script);
  b.AddRemoved("c.txt");
  std::string payload = b.Build();
  Save("fuzz_check", "registry-verdicts", payload);
  Save("fuzz_info", "registry-verdicts", std::string(1, '\0') + payload);
}

// --- .reg files -----------------------------------------------------------------

void RegFileSeeds() {
  Save("fuzz_reg_file", "every-form",
       "REGEDIT4\r\n"
       "\r\n"
       "; a comment\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvenda\\App]\r\n"
       "\"InstallPath\"=\"C:\\\\Program Files\\\\Orvenda \\\"quoted\\\"\"\r\n"
       "@=\"the key's default value\"\r\n"
       "\"Count\"=dword:0000000a\r\n"
       "\"Blob\"=hex:01,02,03\r\n"
       "\"Path\"=hex(2):25,54,45,4d,50,25,00\r\n"
       "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,\\\r\n"
       "  13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f\r\n"
       "\"Empty\"=hex:\r\n"
       "\"Gone\"=-\r\n"
       "\r\n"
       "[HKCU\\Software\\Old\\Below]\r\n"
       "\"x\"=\"y\"\r\n"
       "[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
       "[hkcr\\.orv]\r\n"
       "@=\"Orvenda.Document\"\r\n");
  Save("fuzz_reg_file", "lf-only",
       "REGEDIT4\n[HKU\\S-1\\Key]\n\"a\"=\"b\"\n\"q\"=hex(b):01,00,00,00,00,00,00,00\n");
  // The registry the other targets start with, as the tool writes it; the
  // two folder values name the scratch tree, so they get fixed stand-ins to
  // keep the seed the same on every run.
  FuzzResetWorld();
  const char folder[] = "C:\\Orvenda\\reg";
  const char alias[] = "C:\\Orvenda\\\\app";
  PosixRegSetValue(kHkeyCurrentUser, kFuzzAppKey, "Folder", kRegSz, folder,
                   sizeof folder);
  PosixRegSetValue(kHkeyCurrentUser, kFuzzAppKey, "Alias", kRegSz, alias,
                   sizeof alias);
  Save("fuzz_reg_file", "fuzz-world", RegText());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  for (auto& p : Payloads()) {
    std::string payload = p.second.Build();
    Save("fuzz_payload", p.first, payload);
    // The same payloads inside containers, deflated and stored, with texts.
    writer::PayloadBuilder b = p.second;
    b.SetTexts(std::string("Notice\0line two#%hidden", 23),
               std::string("Description\0second line", 24));
    writer::ContainerOptions o;
    o.notice_length = b.notice_length();
    o.description_length = b.description_length();
    Save("fuzz_container", p.first + "-deflated",
         S(writer::WritePatchFile(B("MZ stub bytes"), b.BuildBytes(), o)));
    o.deflate = false;
    Save("fuzz_container", p.first + "-stored",
         S(writer::WriteContainer(b.BuildBytes(), o)));
    // The command-line tool's readers: info takes a marked payload (even
    // first byte) or a marked whole file (odd); check takes the payload.
    Save("fuzz_info", p.first, std::string(1, '\0') + payload);
    Save("fuzz_check", p.first, payload);
  }
  {
    writer::PayloadBuilder b = Payloads().front().second;
    b.SetTexts(std::string("Notice\0line two#%hidden", 23),
               std::string("Description\x01second line", 24));
    writer::ContainerOptions o;
    o.notice_length = b.notice_length();
    o.description_length = b.description_length();
    Save("fuzz_info", "whole-deflated",
         "\x01" + S(writer::WritePatchFile(B("MZ stub bytes"), b.BuildBytes(), o)));
    o.deflate = false;
    Save("fuzz_info", "whole-stored",
         "\x01" + S(writer::WriteContainer(b.BuildBytes(), o)));
  }
  RebuildSeeds();
  RegistrySeeds();
  CliSeeds();
  RegFileSeeds();
  return 0;
}
