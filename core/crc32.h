// The CRC-32 of zlib, gzip and PNG (polynomial 0xEDB88320, reflected,
// inverted before and after), the one every record of a recording carries.
// Same answers as zlib's crc32 for every input; on processors with carry-less
// multiplication (PCLMULQDQ, chosen at run time) long inputs are folded 64
// bytes at a time, several times faster, which is what makes reading
// recordings back run at the speed of the disk.
#pragma once

#include <cstdint>
#include <string_view>

namespace vistrel {

// Continues crc (0 to start) over bytes.
uint32_t Crc32(uint32_t crc, std::string_view bytes) noexcept;

}  // namespace vistrel
