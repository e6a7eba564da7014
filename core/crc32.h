// Crc32: the common CRC-32 (zlib's crc32, polynomial 0xEDB88320), as the
// recording format carries it. Reading a recording back is mostly this
// computation, so where the processor multiplies without carries it folds 64
// bytes a step instead of zlib's table walk, several times as fast; the
// value is the same.
#pragma once

#include <cstdint>
#include <string_view>

namespace vistrel {

// Continues crc over bytes, as crc32(crc, bytes, size) does.
uint32_t Crc32(uint32_t crc, std::string_view bytes) noexcept;

}  // namespace vistrel
