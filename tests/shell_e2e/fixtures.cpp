// Writes the patch executables and folders that the end-to-end tests of the
// Windows program use. Tests only.
//
//   shell_e2e_fixtures STUB OUTDIR NOTICE DESCRIPTION
//
// STUB is the applier executable the patches start with; NOTICE and
// DESCRIPTION are files holding the two texts in code page 950 (the
// description with CR line breaks). Writes into OUTDIR:
//
//   basic-old/, basic-new/   a folder before and after the patch: app.dat
//                            changed, sub\new.txt added, old.txt removed,
//                            keep.txt untouched
//   basic.exe                the patch, notice only
//   described.exe            the same patch with the description
//   longdesc.exe             a description whose line breaks overflow the
//                            window's 2004-byte buffer (same entries)
//   long-old/, long-new/     one large file changed all over
//   long.exe                 its patch: a delta of many small commands, so
//                            the run lasts long enough to be interrupted
//
// The deltas are made by a plain encoder: copies of the unchanged stretches
// and raw inserts of the changed bytes, which is all a test needs.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "delta/crc32.h"
#include "maker/writer/container_writer.h"
#include "maker/writer/payload_builder.h"

namespace {

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "fixtures: %s\n", what.c_str());
  exit(1);
}

std::string ReadAll(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) Die("cannot read " + path);
  std::string data;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

void WriteAll(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) Die("cannot write " + path);
  if (fwrite(data.data(), 1, data.size(), f) != data.size()) Die(path);
  fclose(f);
}

void MakeFolder(const std::string& path) {
  std::string cmd = "mkdir \"" + path + "\" 2>nul";
  if (system(cmd.c_str()) < 0) Die("mkdir " + path);
}

uint32_t Crc(const std::string& data) {
  return CrcUpdate(data.data(), (int32_t)data.size(), kCrcPreset);
}

// --- A plain delta encoder -------------------------------------------------

class BitStream {
 public:
  void Put(bool bit) {
    if (used_ == 0) bytes_.push_back('\0');
    if (bit) bytes_.back() = (char)(bytes_.back() | (1 << used_));
    used_ = (used_ + 1) % 8;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  int used_ = 0;
};

class DeltaEncoder {
 public:
  DeltaEncoder(uint32_t old_size, uint32_t new_size)
      : bound_(old_size > new_size ? old_size : new_size) {}

  // N bytes of the old file from position pos.
  void Copy(int32_t pos, int32_t n) {
    Number(n);
    Number(pos - (prev_pos_ + prev_len_));
    if (group_ == 0) {
      command_.push_back('\0');  // trailer length 0 for the whole group
      group_ = kTrailerGroup;
    }
    --group_;
    prev_pos_ = pos;
    prev_len_ = n;
  }

  // New bytes, stored raw, in pieces as the rebuild reads them.
  void Insert(const std::string& bytes) {
    int32_t m = (int32_t)bytes.size();
    if (m == 0) return;
    Number(-m);
    int32_t done = 0;
    for (;;) {
      int32_t rest = m - done;
      int32_t piece = rest < 2 * kBlock ? rest : kBlock;
      insert_.append(bytes, (size_t)done, (size_t)piece);
      flag_.Put(true);
      if (rest < 2 * kBlock) break;
      done += kBlock;
    }
  }

  writer::PatchedSource Source(const std::string& old_data) const {
    writer::PatchedSource s;
    s.record.old_checksum = Crc(old_data);
    s.record.old_size = (uint32_t)old_data.size();
    s.record.trailer_group_size = kTrailerGroup;
    s.record.flags = kSourceRawTrailers;
    s.record.insert_block_size = kBlock;
    s.streams[kCommandStream] = command_;
    s.streams[kFlagStream] = flag_.bytes();
    s.streams[kSignStream] = sign_.bytes();
    s.streams[kInsertStream] = insert_;
    return s;
  }

 private:
  static const uint16_t kTrailerGroup = 60000;
  static const int32_t kBlock = 255;

  void Number(int32_t v) {
    uint32_t m = v < 0 ? (uint32_t)-(int64_t)v : (uint32_t)v;
    command_.push_back((char)(m & 0xFF));
    if (bound_ > 0xFF) {
      bool more = m > 0xFF;
      sign_.Put(more);
      if (more) {
        command_.push_back((char)((m >> 8) & 0xFF));
        if (bound_ > 0xFFFF) {
          more = m > 0xFFFF;
          flag_.Put(more);
          if (more) {
            command_.push_back((char)((m >> 16) & 0xFF));
            if (bound_ > 0xFFFFFF) {
              more = m > 0xFFFFFF;
              flag_.Put(more);
              if (more) command_.push_back((char)((m >> 24) & 0xFF));
            }
          }
        }
      }
    }
    sign_.Put(v < 0);
  }

  uint32_t bound_;
  std::string command_, insert_;
  BitStream flag_, sign_;
  int32_t prev_pos_ = 0, prev_len_ = 0;
  int32_t group_ = 0;
};

// Old and new of the same length: copies of the equal stretches, inserts of
// the differing ones.
writer::PatchedFile PatchSameLength(const std::string& name,
                                    const std::string& old_data,
                                    const std::string& new_data) {
  DeltaEncoder d((uint32_t)old_data.size(), (uint32_t)new_data.size());
  size_t i = 0, n = new_data.size();
  while (i < n) {
    size_t j = i;
    while (j < n && old_data[j] == new_data[j]) j++;
    if (j > i) d.Copy((int32_t)i, (int32_t)(j - i));
    size_t k = j;
    while (k < n && old_data[k] != new_data[k]) k++;
    if (k > j) d.Insert(new_data.substr(j, k - j));
    i = k;
  }
  writer::PatchedFile e;
  e.name = name;
  e.new_checksum = Crc(new_data);
  e.new_size = (uint32_t)new_data.size();
  e.sources.push_back(d.Source(old_data));
  return e;
}

// A changed middle and a grown end: copy, insert, copy, insert.
writer::PatchedFile PatchEdited(const std::string& name,
                                const std::string& old_data,
                                const std::string& new_data) {
  size_t prefix = 0;
  while (prefix < old_data.size() && prefix < new_data.size() &&
         old_data[prefix] == new_data[prefix])
    prefix++;
  DeltaEncoder d((uint32_t)old_data.size(), (uint32_t)new_data.size());
  d.Copy(0, (int32_t)prefix);
  // The old file's tail reappears in the new file after the changed bytes.
  size_t tail_old = prefix + 100, tail_new = prefix + 100;
  size_t tail_len = old_data.size() - tail_old;
  if (new_data.compare(tail_new, tail_len, old_data, tail_old, tail_len) != 0)
    Die("PatchEdited: unexpected layout");
  d.Insert(new_data.substr(prefix, tail_new - prefix));
  d.Copy((int32_t)tail_old, (int32_t)tail_len);
  d.Insert(new_data.substr(tail_new + tail_len));
  writer::PatchedFile e;
  e.name = name;
  e.new_checksum = Crc(new_data);
  e.new_size = (uint32_t)new_data.size();
  e.sources.push_back(d.Source(old_data));
  return e;
}

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = (char)(x >> 16);
  }
  return s;
}

void WritePatch(const std::string& path, const std::string& stub,
                const writer::PayloadBuilder& b) {
  writer::ContainerOptions o;
  o.notice_length = b.notice_length();
  o.description_length = b.description_length();
  writer::Bytes file =
      writer::WritePatchFile(writer::ToBytes(stub), b.BuildBytes(), o);
  WriteAll(path, writer::ToString(file));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) Die("usage: shell_e2e_fixtures STUB OUTDIR NOTICE DESCRIPTION");
  const std::string stub = ReadAll(argv[1]);
  const std::string out = argv[2];
  const std::string notice = ReadAll(argv[3]);
  const std::string description = ReadAll(argv[4]);

  // The basic folder pair.
  const std::string app_old = Pattern(3000, 1);
  std::string app_new = app_old;
  for (size_t i = 1000; i < 1100; i++) app_new[i] = (char)(app_new[i] ^ 0x5A);
  app_new += Pattern(200, 2);
  const std::string keep = "unchanged\r\n";
  const std::string obsolete = "no longer needed\r\n";
  const std::string added = "a new file\r\n";
  for (const char* dir : {"basic-old", "basic-new", "basic-new\\sub"})
    MakeFolder(out + "\\" + dir);
  WriteAll(out + "\\basic-old\\app.dat", app_old);
  WriteAll(out + "\\basic-old\\keep.txt", keep);
  WriteAll(out + "\\basic-old\\old.txt", obsolete);
  WriteAll(out + "\\basic-new\\app.dat", app_new);
  WriteAll(out + "\\basic-new\\keep.txt", keep);
  WriteAll(out + "\\basic-new\\sub\\new.txt", added);

  auto basic = [&](const std::string& desc) {
    writer::PayloadBuilder b;
    b.SetTexts(notice, desc);
    b.ChosenFolderGroup("BACKUP");
    b.AddPatched(PatchEdited("app.dat", app_old, app_new));
    writer::NewFile f;
    f.name = "sub\\new.txt";
    f.data = added;
    b.AddNewFile(f);
    b.AddRemoved("old.txt");
    return b;
  };
  WritePatch(out + "\\basic.exe", stub, basic(""));
  WritePatch(out + "\\described.exe", stub, basic(description));

  // A Big5 character and three line breaks, over and over: converted, each
  // group takes 11 bytes, so the 2004-byte buffer ends inside a character.
  std::string overflowing;
  while (overflowing.size() + 5 <= 1000) overflowing += "\xA4\xA4\r\r\r";
  WritePatch(out + "\\longdesc.exe", stub, basic(overflowing));

  // The long run: a large file with one byte in every 16 changed, so the
  // rebuild has a great many commands, each of which pumps the window.
  const size_t big = (size_t)(atoi(getenv("SP_LONG_KIB") ? getenv("SP_LONG_KIB")
                                                          : "1024")) * 1024;
  const std::string big_old = Pattern(big, 3);
  std::string big_new = big_old;
  for (size_t i = 7; i < big; i += 16) big_new[i] = (char)(big_new[i] ^ 0xFF);
  MakeFolder(out + "\\long-old");
  MakeFolder(out + "\\long-new");
  WriteAll(out + "\\long-old\\big.dat", big_old);
  WriteAll(out + "\\long-new\\big.dat", big_new);
  writer::PayloadBuilder lb;
  lb.SetTexts(notice, "");
  lb.ChosenFolderGroup("BACKUP");
  lb.AddPatched(PatchSameLength("big.dat", big_old, big_new));
  WritePatch(out + "\\long.exe", stub, lb);
  return 0;
}
