// CRC-32 as the payload stores it: reflected polynomial 0xEDB88320, register
// preset 0xFFFFFFFF and never complemented. "123456789" gives 0x340BC6D9.
#ifndef SELFPATCH_DELTA_CRC32_H
#define SELFPATCH_DELTA_CRC32_H

#include <stdint.h>

#include "platform/platform.h"

enum : uint32_t { kCrcPreset = 0xFFFFFFFFu };

uint32_t CrcUpdate(const void* data, int32_t len, uint32_t reg);
// [start, end) of an open file; leaves the position at end.
uint32_t CrcFileRange(const Platform* os, PlatformFile f, int32_t start,
                      int32_t end, uint32_t reg);
// The whole file from the preset, the hole's bytes left out (length 0: none).
uint32_t CrcFileWithHole(const Platform* os, PlatformFile f,
                         uint32_t hole_offset, uint32_t hole_length);

#endif
