// Writing patch containers: header, payload region (stored or raw
// deflated) and trailer, optionally after a stub's bytes. The byte layout is
// the one container/container.h describes; the loader reads what this
// writes.
//
// The writer wraps payload bytes that someone else built (texts, target
// groups, entries). It does not look inside them: the notice and description
// lengths are the caller's word, so tests can also state lengths the payload
// cannot back.
//
// The fields the applier does not interpret (header bytes 4..8 and 10..73)
// are written as zeros.
#ifndef SELFPATCH_MAKER_WRITER_CONTAINER_WRITER_H
#define SELFPATCH_MAKER_WRITER_CONTAINER_WRITER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace writer {

typedef std::vector<uint8_t> Bytes;

struct ContainerOptions {
  bool deflate = true;  // raw deflate the payload; false stores it
  int level = 9;        // zlib level 0..9 for the deflated region
  uint16_t notice_length = 0;
  uint16_t description_length = 0;
  // Flag bits beyond bit 0, which `deflate` (or WrapRegion's caller) sets.
  uint8_t extra_flags = 0;
  // The loader never compares them; tests write others to show that.
  uint32_t header_magic = 0x3E7F8443u;
  uint32_t trailer_magic = 0x3E7F8443u;
};

// Raw deflate (RFC 1951, windowBits -15, no zlib header, no checksum) of
// data at the given zlib level (0..9). Throws std::runtime_error when zlib
// fails.
Bytes RawDeflate(const uint8_t* data, size_t size, int level);
Bytes RawDeflate(const Bytes& data, int level);

// The container around a payload region that is already in its final form
// (stored bytes, or a raw deflate stream made elsewhere, for example by
// zopfli): header, region, trailer. `deflated` sets flag bit 0; the other
// option fields fill the header and trailer, `deflate` and `level` are
// ignored. Throws std::length_error when the container length would not fit
// 32 bits.
Bytes WrapRegion(const Bytes& region, bool deflated,
                 const ContainerOptions& options);

// The container of a payload: the payload deflated (options.deflate) or
// stored, wrapped by WrapRegion.
Bytes WriteContainer(const Bytes& payload, const ContainerOptions& options);

// A patch executable: the stub's bytes followed by the container.
Bytes WritePatchFile(const Bytes& stub, const Bytes& payload,
                     const ContainerOptions& options);

// Conveniences for building payloads and fixtures from text.
Bytes ToBytes(const std::string& s);
std::string ToString(const Bytes& b);

}  // namespace writer

#endif
