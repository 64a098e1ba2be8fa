#include "maker/writer/container_writer.h"

#include <string.h>
#include <zlib.h>

#include <stdexcept>

namespace writer {

namespace {

const size_t kHeaderSize = 78;
const size_t kTrailerSize = 8;

void PutLe16(Bytes* out, size_t at, uint16_t v) {
  (*out)[at] = (uint8_t)v;
  (*out)[at + 1] = (uint8_t)(v >> 8);
}

void PutLe32(Bytes* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*out)[at + i] = (uint8_t)(v >> (8 * i));
}

}  // namespace

Bytes RawDeflate(const uint8_t* data, size_t size, int level) {
  if (level < 0 || level > 9)
    throw std::invalid_argument("deflate level must be 0..9");
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  Bytes out;
  uint8_t buf[64 * 1024];
  // zlib counts in uInt; feed large inputs in slices so any size works.
  size_t offered = 0;
  int rc = Z_OK;
  do {
    if (z.avail_in == 0 && offered < size) {
      size_t slice = size - offered;
      if (slice > (1u << 30)) slice = 1u << 30;
      z.next_in = const_cast<Bytef*>(data + offered);
      z.avail_in = (uInt)slice;
      offered += slice;
    }
    int flush = offered == size ? Z_FINISH : Z_NO_FLUSH;
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = deflate(&z, flush);
    if (rc == Z_STREAM_ERROR) {
      deflateEnd(&z);
      throw std::runtime_error("deflate failed");
    }
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  } while (rc != Z_STREAM_END);
  deflateEnd(&z);
  return out;
}

Bytes RawDeflate(const Bytes& data, int level) {
  return RawDeflate(data.data(), data.size(), level);
}

Bytes WrapRegion(const Bytes& region, bool deflated,
                 const ContainerOptions& options) {
  if (region.size() > 0xFFFFFFFFull - kHeaderSize - kTrailerSize)
    throw std::length_error("container longer than 4 GiB");
  uint32_t n = (uint32_t)(region.size() + kHeaderSize + kTrailerSize);
  // Sized once and filled in place (growing it by inserts trips GCC 12's
  // array-bounds warning in optimised builds).
  Bytes out(kHeaderSize + region.size() + kTrailerSize, 0);
  PutLe32(&out, 0, options.header_magic);
  out[9] = (uint8_t)((options.extra_flags & ~1u) | (deflated ? 1u : 0u));
  PutLe16(&out, 74, options.notice_length);
  PutLe16(&out, 76, options.description_length);
  if (!region.empty())
    memcpy(out.data() + kHeaderSize, region.data(), region.size());
  size_t at = kHeaderSize + region.size();
  PutLe32(&out, at, n);
  PutLe32(&out, at + 4, options.trailer_magic);
  return out;
}

Bytes WriteContainer(const Bytes& payload, const ContainerOptions& options) {
  if (options.deflate)
    return WrapRegion(RawDeflate(payload, options.level), true, options);
  return WrapRegion(payload, false, options);
}

Bytes WritePatchFile(const Bytes& stub, const Bytes& payload,
                     const ContainerOptions& options) {
  Bytes out = stub;
  Bytes container = WriteContainer(payload, options);
  out.insert(out.end(), container.begin(), container.end());
  return out;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace writer
