// Payload makers for the inflate tests: real zlib streams (any level, with a
// preset dictionary) and the CRC-32 the check field would carry
// (client/demo_payload.h), content that compresses well or not at all, and
// hand-built stored-block streams of exact sizes.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "client/demo_payload.h"

namespace vistrel::testing {

// The client side of the protocol (client/) is at hand unqualified.
using namespace vistrel::client;

// Text-like bytes that compress to roughly a third: words from a small
// vocabulary with random numbers mixed in.
inline std::string SemiCompressible(size_t size, uint32_t seed = 1) {
    static const char* const words[] = {"frag ", "rocket ", "railgun ", "q3dm17 ", "player ", "spawn ",
                                        "health ", "armor ", "quad ", "flag "};
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += words[rng() % 10];
        if (rng() % 3 == 0) out += std::to_string(rng() % 100000) + ' ';
    }
    out.resize(size);
    return out;
}

inline std::string RandomBytes(size_t size, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
}

inline void PutBigEndian32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

// A zlib stream of stored blocks of at most blockSize bytes; the exact size
// is 2 + 5 per block + data + 4 (trailer), which lets a test hit any length.
inline std::string StoredStream(std::string_view data, size_t blockSize = 65535, bool trailer = true) {
    std::string out("\x78\x01", 2);
    size_t pos = 0;
    do {
        size_t n = std::min(blockSize, data.size() - pos);
        bool last = pos + n == data.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xFF);
        out += static_cast<char>((~n >> 8) & 0xFF);
        out.append(data.substr(pos, n));
        pos += n;
    } while (pos < data.size());
    if (trailer)
        PutBigEndian32(out, static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(data.data()),
                                                          static_cast<uInt>(data.size()))));
    return out;
}

}  // namespace vistrel::testing
