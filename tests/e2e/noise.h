// Payload bytes for the tests that count memory or disk: noise that zlib
// cannot shrink, so every packet costs about its content's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace vistrel::testing {

// size bytes of noise, the same for the same seed.
inline std::string Noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

}  // namespace vistrel::testing
