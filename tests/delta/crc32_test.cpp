#include "delta/crc32.h"

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

uint32_t Crc(const Bytes& b, size_t from, size_t to, uint32_t reg) {
  return CrcUpdate(b.data() + from, (int32_t)(to - from), reg);
}

TEST(Crc32, BufferUpdate) {
  const char* check = "123456789";
  EXPECT_EQ(CrcUpdate(check, 9, kCrcPreset), 0x340BC6D9u);
  // The register is the usual CRC-32 left uncomplemented.
  EXPECT_EQ(~CrcUpdate(check, 9, kCrcPreset), 0xCBF43926u);
  // One byte from a zero register is one table entry.
  const uint8_t one = 1, high = 0x80;
  EXPECT_EQ(CrcUpdate(&one, 1, 0), 0x77073096u);
  EXPECT_EQ(CrcUpdate(&high, 1, 0), 0xEDB88320u);
  // Fed in parts, the register carries over.
  EXPECT_EQ(CrcUpdate(check + 4, 5, CrcUpdate(check, 4, kCrcPreset)),
            0x340BC6D9u);
  for (int32_t len : {0, -1, -1000}) {
    EXPECT_EQ(CrcUpdate(check, len, kCrcPreset), kCrcPreset);
    EXPECT_EQ(CrcUpdate(check, len, 0x12345678u), 0x12345678u);
  }
}

class Crc32File : public ::testing::Test {
 protected:
  void SetUp() override {
    os_ = PlatformNative();
    data_.resize(3000);
    for (size_t i = 0; i < data_.size(); i++)
      data_[i] = (uint8_t)(i * 7 + i / 256);
    f_ = os_->create_temp_file();
    ASSERT_NE(f_, nullptr);
    int32_t done = 0;
    ASSERT_TRUE(os_->write(f_, data_.data(), (int32_t)data_.size(), &done));
    ASSERT_EQ(done, (int32_t)data_.size());
  }
  void TearDown() override {
    if (f_) os_->close(f_);
  }
  const Platform* os_;
  Bytes data_;
  PlatformFile f_ = nullptr;
};

TEST_F(Crc32File, WholeFileWithHole) {
  const uint32_t all = Crc(data_, 0, 3000, kCrcPreset);
  struct Case {
    const char* what;
    uint32_t offset, length;
    uint32_t want;
  } cases[] = {
      {"no hole", 0, 0, all},
      {"length 0 ignores the offset", 1234, 0, all},
      {"hole at 0", 0, 100, Crc(data_, 100, 3000, kCrcPreset)},
      {"hole inside, across pieces", 1000, 1500,
       Crc(data_, 2500, 3000, Crc(data_, 0, 1000, kCrcPreset))},
      {"hole to the end", 2000, 1000, Crc(data_, 0, 2000, kCrcPreset)},
      {"hole past the end", 2000, 5000, Crc(data_, 0, 2000, kCrcPreset)},
      {"hole covering all", 0, 3000, kCrcPreset},
      // The hole's part past the end is ignored; an offset beyond the file
      // leaves every byte in.
      {"offset past the end", 4000, 10, all},
      {"offset + length beyond 2^32", 0xFFFFFFF0u, 0x20, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CrcFileWithHole(os_, f_, c.offset, c.length), c.want);
  }
}

TEST_F(Crc32File, EmptyFile) {
  PlatformFile empty = os_->create_temp_file();
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(CrcFileWithHole(os_, empty, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(CrcFileWithHole(os_, empty, 5, 7), 0xFFFFFFFFu);
  os_->close(empty);
}

// A range is fed from the register it is given and leaves the file at its
// end; one that reaches past the end of the file stops there.
TEST_F(Crc32File, Ranges) {
  struct Case {
    const char* what;
    int32_t start, end;
    uint32_t want;
    uint32_t pos_after;
  } cases[] = {
      {"one piece", 10, 20, Crc(data_, 10, 20, 0x1234u), 20},
      {"several pieces", 5, 2999, Crc(data_, 5, 2999, 0x1234u), 2999},
      {"empty range", 700, 700, 0x1234u, 700},
      {"end before start", 900, 100, 0x1234u, 900},
      {"past the end", 2500, 4000, Crc(data_, 2500, 3000, 0x1234u), 4000},
      {"negative start", -50, 10, Crc(data_, 0, 10, 0x1234u), 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CrcFileRange(os_, f_, c.start, c.end, 0x1234u), c.want);
    EXPECT_EQ(os_->tell(f_), c.pos_after);
  }
}

}  // namespace
