// The payload of a DEMOPACKET as a client makes it: the content compressed
// into a zlib stream, and the CRC-32 of the uncompressed content that the
// packet's check field carries.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel::client {

// A complete zlib stream of data at the given level (Z_DEFAULT_COMPRESSION
// unless said), with a preset dictionary when one is given. Throws
// std::runtime_error if zlib refuses.
std::string Deflate(std::string_view data, int level = Z_DEFAULT_COMPRESSION, std::string_view dictionary = {});

// CRC-32 of data, as the check field holds it.
uint32_t Crc(std::string_view data);

}  // namespace vistrel::client
