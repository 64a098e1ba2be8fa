#include "maker/raw_deflate.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <stdexcept>

#include <atomic>
#include <thread>

extern "C" {
#include <zopfli/deflate.h>
#include <zopfli/zopfli.h>
}

namespace maker {

namespace {

// Runs deflate over the input, handing each filled output chunk to sink.
template <typename Sink>
void RunDeflate(const uint8_t* data, size_t size, int level, Sink sink) {
  z_stream z;
  memset(&z, 0, sizeof z);
  // memLevel 9 keeps more symbols per block, which helps the long, uniform
  // delta streams a little and costs nothing on the applier side.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 6, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  uint8_t out[1 << 16];
  size_t left = size;
  const uint8_t* in = data;
  int flush = Z_NO_FLUSH;
  for (;;) {
    if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
      uInt chunk = left > (1u << 30) ? (1u << 30) : (uInt)left;
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = chunk;
      in += chunk;
      left -= chunk;
      if (left == 0) flush = Z_FINISH;
    }
    z.next_out = out;
    z.avail_out = sizeof out;
    int r = deflate(&z, flush);
    if (r == Z_STREAM_ERROR) {
      deflateEnd(&z);
      throw std::runtime_error("deflate failed");
    }
    sink(out, sizeof out - z.avail_out);
    if (r == Z_STREAM_END) break;
  }
  deflateEnd(&z);
}

}  // namespace

std::vector<uint8_t> DeflateZlib(const uint8_t* data, size_t size, int level) {
  std::vector<uint8_t> result;
  RunDeflate(data, size, level, [&](const uint8_t* p, size_t n) {
    result.insert(result.end(), p, p + n);
  });
  return result;
}

size_t RawDeflatedSize(const uint8_t* data, size_t size, int level) {
  size_t total = 0;
  RunDeflate(data, size, level, [&](const uint8_t*, size_t n) { total += n; });
  return total;
}

std::vector<uint8_t> DeflateZopfli(const uint8_t* data, size_t size,
                                   int iterations) {
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  o.numiterations = iterations < 1 ? 1 : iterations;
  unsigned char* out = nullptr;
  size_t out_size = 0;
  ZopfliCompress(&o, ZOPFLI_FORMAT_DEFLATE, data, size, &out, &out_size);
  std::vector<uint8_t> result(out, out + out_size);
  free(out);
  return result;
}

namespace {

// Bits appended least significant first, as deflate packs them.
class BitJoin {
 public:
  // Appends `bits` bits from the start of p.
  void Append(const uint8_t* p, uint64_t bits) {
    uint64_t bytes = (bits + 7) / 8;
    int shift = (int)(bits_ & 7);
    if (shift == 0) {
      out_.resize((size_t)(bits_ / 8));
      out_.insert(out_.end(), p, p + bytes);
    } else {
      for (uint64_t i = 0; i < bytes; i++) {
        out_.back() |= (uint8_t)(p[i] << shift);
        out_.push_back((uint8_t)(p[i] >> (8 - shift)));
      }
    }
    bits_ += bits;
    out_.resize((size_t)((bits_ + 7) / 8));
    if (bits_ & 7) out_.back() &= (uint8_t)((1u << (bits_ & 7)) - 1);
  }
  // An empty stored block: three zero header bits, zero bits up to the
  // byte boundary, LEN 0 and NLEN 0xFFFF. What follows starts on a byte.
  void EmptyStoredBlock() {
    static const uint8_t kZero = 0;
    Append(&kZero, 3);
    if (bits_ & 7) Append(&kZero, 8 - (bits_ & 7));
    static const uint8_t kLen[4] = {0, 0, 0xFF, 0xFF};
    Append(kLen, 32);
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
  uint64_t bits_ = 0;
};

}  // namespace

std::vector<uint8_t> DeflateZopfliParts(const uint8_t* data, size_t size,
                                        int iterations, int threads,
                                        size_t part_size) {
  const size_t kPart = part_size ? part_size : 1;
  size_t parts = size == 0 ? 1 : (size + kPart - 1) / kPart;
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  o.numiterations = iterations < 1 ? 1 : iterations;
  struct Piece {
    unsigned char* out = nullptr;
    size_t size = 0;
    unsigned char bp = 0;
  };
  std::vector<Piece> pieces(parts);
  std::atomic<size_t> next(0);
  auto work = [&]() {
    for (size_t i; (i = next++) < parts;) {
      size_t a = i * kPart, b = std::min(size, a + kPart);
      ZopfliDeflatePart(&o, 2, i + 1 == parts, data, a, b, &pieces[i].bp,
                        &pieces[i].out, &pieces[i].size);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads && (size_t)t < parts; t++) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  // Each part was made as if it started on a byte boundary, which matters
  // to zopfli's stored blocks; an empty stored block after each part but
  // the last makes it so.
  BitJoin join;
  for (size_t i = 0; i < parts; i++) {
    Piece& p = pieces[i];
    // bp is where the next bit would go in the last byte; 0: it is full.
    uint64_t bits = (uint64_t)p.size * 8 - (p.bp ? 8 - p.bp : 0);
    join.Append(p.out, bits);
    free(p.out);
    if (i + 1 < parts) join.EmptyStoredBlock();
  }
  return join.Take();
}

bool InflateRaw(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  out->clear();
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = (uInt)size;
  uint8_t buf[1 << 16];
  int r;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END) {
      inflateEnd(&z);
      return false;
    }
    out->insert(out->end(), buf, buf + (sizeof buf - z.avail_out));
  } while (r != Z_STREAM_END);
  inflateEnd(&z);
  return true;
}

}  // namespace maker
