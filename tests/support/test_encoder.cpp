#include "support/test_encoder.h"

#include <stdexcept>

#include "delta/crc32.h"

void BitWriter::Put(bool bit) {
  if (used % 8 == 0) bytes.push_back(0);
  if (bit) bytes.back() |= (uint8_t)(1u << (used % 8));
  used++;
}

int64_t WidthBound(int64_t old_size, int64_t new_size, bool self_reference) {
  if (self_reference) return old_size + new_size;
  return old_size > new_size ? old_size : new_size;
}

void PackNumber(int64_t value, int64_t width_bound, Bytes* cmd,
                BitWriter* flag, BitWriter* sign) {
  uint64_t mag = value < 0 ? (uint64_t)(-value) : (uint64_t)value;
  int allowed = width_bound > 0xFFFFFF ? 4
                : width_bound > 0xFFFF ? 3
                : width_bound > 0xFF   ? 2
                                       : 1;
  int need = mag > 0xFFFFFF ? 4 : mag > 0xFFFF ? 3 : mag > 0xFF ? 2 : 1;
  if (mag > 0xFFFFFFFFu || need > allowed)
    throw std::invalid_argument("number too wide for the width bound");
  cmd->push_back((uint8_t)mag);
  if (allowed >= 2) {
    sign->Put(need >= 2);
    if (need >= 2) {
      cmd->push_back((uint8_t)(mag >> 8));
      if (allowed >= 3) {
        flag->Put(need >= 3);
        if (need >= 3) {
          cmd->push_back((uint8_t)(mag >> 16));
          if (allowed >= 4) {
            flag->Put(need >= 4);
            if (need >= 4) cmd->push_back((uint8_t)(mag >> 24));
          }
        }
      }
    }
  }
  sign->Put(value < 0);
}

Bytes EncodedDelta::Streams() const {
  Bytes all;
  for (int i = 0; i < kStreamCount; i++)
    all.insert(all.end(), stream[i].begin(), stream[i].end());
  return all;
}

Bytes EncodedDelta::RecordBytes() const {
  Bytes raw(kSourceRecordSize);
  SourceRecordEncode(&record, raw.data());
  return raw;
}

TestEncoder::TestEncoder(Bytes old, TestDeltaOptions opt)
    : old_(std::move(old)), opt_(opt) {
  if (opt_.insert_block_size == 0)
    throw std::invalid_argument("insert block size 0");
}

// The source space as the rebuild reads it: the file is chosen by the first
// byte of the request, and what that file does not hold reads as 0.
Bytes TestEncoder::SpaceRead(int64_t pos, int64_t n) const {
  Bytes r((size_t)n, 0);
  const int64_t old_size = (int64_t)old_.size();
  bool in_old = pos < old_size;
  for (int64_t k = 0; k < n; k++) {
    int64_t q = pos + k;
    if (in_old) {
      if (q >= 0 && q < old_size) r[(size_t)k] = old_[(size_t)q];
    } else if (q - old_size < (int64_t)out_.size()) {
      r[(size_t)k] = out_[(size_t)(q - old_size)];
    }
  }
  return r;
}

// Pieces of 1024 from the start of the copy; a piece in the new file takes
// its bytes one at a time, so it may repeat what it has just written.
void TestEncoder::AppendCopy(int64_t pos, int64_t len) {
  const int64_t old_size = (int64_t)old_.size();
  while (len > 0) {
    int64_t n = len < 1024 ? len : 1024;
    if (pos < old_size) {
      Bytes b = SpaceRead(pos, n);
      out_.insert(out_.end(), b.begin(), b.end());
    } else {
      for (int64_t k = 0; k < n; k++) {
        int64_t q = pos + k - old_size;
        out_.push_back(q < (int64_t)out_.size() ? out_[(size_t)q] : 0);
      }
    }
    pos += n;
    len -= n;
  }
}

void TestEncoder::Copy(int32_t position, int32_t length, const Bytes& trailer) {
  CopyRelative((int32_t)(position - prev_pos_ - prev_len_), length, trailer);
}

void TestEncoder::CopyRelative(int32_t offset, int32_t length,
                               const Bytes& trailer) {
  if (length <= 0) throw std::invalid_argument("copy length must be > 0");
  Op op = Op();
  op.kind = 1;
  op.n = length;
  op.d = offset;
  if (group_ == 0) {
    if (trailer.size() > 255) throw std::invalid_argument("trailer > 255");
    op.trailer_len = true;
    op.trailer_len_value = (uint8_t)trailer.size();
    trailer_ = (int)trailer.size();
    group_ = opt_.trailer_group_size;
  } else if ((int)trailer.size() != trailer_) {
    throw std::invalid_argument("trailer length differs within its group");
  }
  if (group_ >= 0) group_--;
  prev_pos_ = (int32_t)((uint32_t)prev_pos_ + (uint32_t)prev_len_ +
                        (uint32_t)offset);
  prev_len_ = length;
  AppendCopy(prev_pos_, prev_len_);
  if (trailer_ > 0) {
    Bytes stored = trailer;
    if (!opt_.raw_trailers) {
      Bytes base = SpaceRead(prev_pos_ + prev_len_, trailer_);
      for (int i = 0; i < trailer_; i++) stored[i] -= base[i];
    }
    op.trailer_stored = stored;
    out_.insert(out_.end(), trailer.begin(), trailer.end());
  }
  ops_.push_back(op);
}

int TestEncoder::PieceCount(int64_t m) const {
  const int64_t block = opt_.insert_block_size;
  int count = 1;
  while (m >= 2 * block) {
    m -= block;
    count++;
  }
  return count;
}

void TestEncoder::Insert(const Bytes& bytes, bool raw) {
  InsertPieces(bytes, std::vector<bool>(PieceCount((int64_t)bytes.size()), raw));
}

void TestEncoder::InsertPieces(const Bytes& bytes,
                               const std::vector<bool>& raw) {
  const int64_t m = (int64_t)bytes.size();
  if (m == 0) throw std::invalid_argument("empty insert");
  if ((int)raw.size() != PieceCount(m))
    throw std::invalid_argument("one raw flag per piece");
  const int64_t block = opt_.insert_block_size;
  const int64_t base = prev_pos_ + prev_len_ + trailer_;
  Op op = Op();
  op.kind = 2;
  op.n = -m;
  op.raw = raw;
  int64_t done = 0;
  for (size_t piece = 0;; piece++) {
    int64_t rest = m - done;
    bool last = rest < 2 * block;
    int64_t n = last ? rest : block;
    Bytes stored(bytes.begin() + done, bytes.begin() + done + n);
    if (!raw[piece]) {
      Bytes old = SpaceRead(base + done, n);
      for (int64_t i = 0; i < n; i++) stored[(size_t)i] -= old[(size_t)i];
    }
    op.insert_stored.insert(op.insert_stored.end(), stored.begin(),
                            stored.end());
    out_.insert(out_.end(), bytes.begin() + done, bytes.begin() + done + n);
    if (last) break;
    done += block;
  }
  ops_.push_back(op);
}

void TestEncoder::Skip() {
  Op op = Op();
  op.kind = 0;
  ops_.push_back(op);
  if (group_ >= 0) group_--;
}

EncodedDelta TestEncoder::Finish() const {
  return Finish((int32_t)out_.size());
}

EncodedDelta TestEncoder::Finish(int32_t new_size) const {
  EncodedDelta d;
  const int64_t width =
      WidthBound((int64_t)old_.size(), new_size, opt_.self_reference);
  BitWriter flag, sign;
  Bytes& cmd = d.stream[kCommandStream];
  for (const Op& op : ops_) {
    PackNumber(op.n, width, &cmd, &flag, &sign);
    if (op.kind == 1) {
      PackNumber(op.d, width, &cmd, &flag, &sign);
      if (op.trailer_len) cmd.push_back(op.trailer_len_value);
      Bytes& t = d.stream[kTrailerStream];
      t.insert(t.end(), op.trailer_stored.begin(), op.trailer_stored.end());
    } else if (op.kind == 2) {
      for (bool r : op.raw) flag.Put(r);
      Bytes& ins = d.stream[kInsertStream];
      ins.insert(ins.end(), op.insert_stored.begin(), op.insert_stored.end());
    }
  }
  d.stream[kFlagStream] = flag.bytes;
  d.stream[kSignStream] = sign.bytes;

  d.record = SourceRecord();
  d.record.old_checksum =
      CrcUpdate(old_.data(), (int32_t)old_.size(), kCrcPreset);
  d.record.old_size = (uint32_t)old_.size();
  for (int i = 0; i < kStreamCount; i++)
    d.record.stream_len[i] = (uint32_t)d.stream[i].size();
  d.record.trailer_group_size = opt_.trailer_group_size;
  d.record.flags = (uint8_t)((opt_.self_reference ? kSourceSelfReference : 0) |
                             (opt_.raw_trailers ? kSourceRawTrailers : 0));
  d.record.insert_block_size = opt_.insert_block_size;
  d.expected = out_;
  d.new_size = new_size;
  d.new_checksum = CrcUpdate(out_.data(), (int32_t)out_.size(), kCrcPreset);
  return d;
}
