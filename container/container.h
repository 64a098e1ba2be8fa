// Finding the container at the end of the executable and loading it.
//
// A patch executable is the applier stub with the container appended; the
// container's last byte is the file's last byte. Little-endian throughout.
//
//   offset   size    field
//   0        4       header magic 0x3E7F8443 (43 84 7F 3E); read, not compared
//   4        4       not interpreted (the writer puts zeros)
//   8        1       not interpreted (the writer puts zero)
//   9        1       flags: bit 0 set = the payload region is a raw deflate
//                    stream (RFC 1951, 32 KiB window, no zlib header or
//                    Adler-32); clear = stored as is. Other bits ignored.
//   10       64      not interpreted (the writer puts zeros)
//   74       2       notice length (bytes of the notice text)
//   76       2       description length (bytes of the description text)
//   78       N - 86  payload region, deflated or stored
//   N - 8    4       container length N (header, region and trailer)
//   N - 4    4       trailer magic 0x3E7F8443; read, not compared
//
// The payload (the region inflated or copied) is the payload stream:
//
//   position              size                 content
//   0                     notice length        notice text (Big5)
//   notice length         description length   description text (Big5)
//   notice + description  to the end           target-group table and on
//
// Loading, in order, with the code each step can give:
//   open the own path for reading ............................ 15
//   trailer at size - 8; refuse N outside 86 .. file size ..... 16
//   header at size - N ........................................ 16
//   payload stream into a new temporary file .................. 39
//   read the region (stored copy or raw inflate in 1024-byte
//   pieces); a corrupt deflate stream ......................... 1
//   a payload longer than 2^31 - 1 bytes ...................... 1
//   writes to the temporary file .............................. 39
//   the two texts from the payload stream ..................... 14
//
// The texts pass through 1001-byte buffers. A text longer than 1000 bytes
// keeps its first 1000; the rest is still read (and dropped), so the
// group-table position is always notice length + description length, as the
// payload's writer meant it, and a payload too short for the stated lengths
// still fails with 14.
//
// Payload positions are seeked to as signed 32-bit offsets, so no byte past
// 2^31 - 1 could ever be read. A region that inflates to more than that (a
// few megabytes of deflate stream suffice) is refused with 1 as soon as the
// inflated bytes would pass it, rather than filling the temporary folder on
// the way; a stored region that long is refused before any byte is copied.
// The payload stream never holds more than 2^31 - 1 bytes.
//
// A deflate stream may end before its region does; the bytes after its end
// are ignored. A region that runs out before the deflate stream ends is
// accepted with what it inflated to: every payload structure carries its own
// end and reads past the payload fail, so such a payload fails later with
// the reader's code rather than here.
#ifndef SELFPATCH_CONTAINER_CONTAINER_H
#define SELFPATCH_CONTAINER_CONTAINER_H

#include <stdint.h>

#include "core/session.h"

enum : uint32_t {
  kContainerMagic = 0x3E7F8443u,
  kContainerHeaderSize = 78,
  kContainerTrailerSize = 8,
  kContainerMinSize = kContainerHeaderSize + kContainerTrailerSize,  // 86
  kContainerFlagDeflated = 0x01,
  kPayloadMaxLength = 0x7FFFFFFFu,  // the most payload positions can address
};

enum {
  kHeaderOffsetFlags = 9,
  kHeaderOffsetNoticeLength = 74,
  kHeaderOffsetDescriptionLength = 76,
  kContainerTextMax = 1000,  // bytes of a text kept, before its NUL
  kContainerPiece = 1024,    // region bytes per read; inflate output per call
};

// What the loader found, for tools that describe a container. Filled as far
// as loading got.
struct ContainerFacts {
  uint32_t file_size;
  uint32_t container_length;  // N
  uint32_t header_magic;
  uint32_t trailer_magic;
  uint8_t flags;
  uint16_t notice_length;
  uint16_t description_length;
  uint32_t region_length;   // N - 86
  uint32_t payload_length;  // bytes written to the payload stream
  // Deflated regions: whether the deflate stream reached its end, and how
  // many region bytes it used up to there.
  bool stream_ended;
  uint32_t region_used;
};

// Opens s->own_path, inflates or copies the payload into a temporary file,
// reads and hands over the two texts and records the group-table position.
// Returns 0, 1, 14, 15, 16 or 39. On success s->exe stays open for the
// program's life and s->payload is the payload stream; on failure the
// payload stream is closed (its file deleted) and s->payload is 0.
MsgCode LoadContainer(Session* s);

// LoadContainer, also reporting what it found; facts may be null.
MsgCode LoadContainerWithFacts(Session* s, ContainerFacts* facts);

// LoadContainerWithFacts with the payload held to payload_max bytes (at
// most kPayloadMaxLength, which the other two use), so tests can show the
// refusal without writing gigabytes.
MsgCode LoadContainerWithLimit(Session* s, ContainerFacts* facts,
                               uint32_t payload_max);

#endif
