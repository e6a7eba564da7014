#include "core/crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstddef>

namespace vistrel {

namespace {

uint32_t ZlibCrc(uint32_t crc, const unsigned char* at, size_t size) noexcept {
    while (size > 0) {
        // zlib takes at most uInt bytes at once.
        const uInt piece = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        crc = static_cast<uint32_t>(crc32(crc, at, piece));
        at += piece;
        size -= piece;
    }
    return crc;
}

#if defined(__x86_64__)

// Folding with carry-less multiplication: four 128-bit lanes are folded
// forward 512 bits at a time, then into one lane, then reduced to 32 bits
// (Barrett). The constants are powers of x modulo the polynomial, bit
// reflected: x^(4*128+32), x^(4*128-32) for the four lanes; x^(128+32),
// x^(128-32) for one; x^64 for the 64-bit step; the polynomial and its
// Barrett constant for the last. size is at least 64 and a multiple of 16;
// crc is the register itself (not inverted).
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldCrc(uint32_t crc, const unsigned char* at,
                                                          size_t size) noexcept {
    const __m128i fourLanes = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i oneLane = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i step64 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const auto load = [](const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };

    __m128i x1 = _mm_xor_si128(load(at), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(at + 16);
    __m128i x3 = load(at + 32);
    __m128i x4 = load(at + 48);
    at += 64;
    size -= 64;
    while (size >= 64) {
        const __m128i h1 = _mm_clmulepi64_si128(x1, fourLanes, 0x11);
        const __m128i h2 = _mm_clmulepi64_si128(x2, fourLanes, 0x11);
        const __m128i h3 = _mm_clmulepi64_si128(x3, fourLanes, 0x11);
        const __m128i h4 = _mm_clmulepi64_si128(x4, fourLanes, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, fourLanes, 0x00), h1), load(at));
        x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, fourLanes, 0x00), h2), load(at + 16));
        x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, fourLanes, 0x00), h3), load(at + 32));
        x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, fourLanes, 0x00), h4), load(at + 48));
        at += 64;
        size -= 64;
    }
#define VISTREL_FOLD_ONE(lane, next)                                                                           \
    _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, oneLane, 0x00), _mm_clmulepi64_si128(lane, oneLane, 0x11)), \
                  next)
    x1 = VISTREL_FOLD_ONE(x1, x2);
    x1 = VISTREL_FOLD_ONE(x1, x3);
    x1 = VISTREL_FOLD_ONE(x1, x4);
    while (size >= 16) {
        x1 = VISTREL_FOLD_ONE(x1, load(at));
        at += 16;
        size -= 16;
    }
#undef VISTREL_FOLD_ONE
    // 128 bits to 64, then to 32 (with 32 zero bits appended).
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(oneLane, x1, 0x01));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), step64, 0x00));
    // Barrett reduction to the 32-bit remainder.
    __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10), low32);
    q = _mm_clmulepi64_si128(q, barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, q), 1));
}

bool CanFold() noexcept {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#endif

}  // namespace

uint32_t Crc32(uint32_t crc, std::string_view bytes) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t size = bytes.size();
#if defined(__x86_64__)
    if (size >= 64 && CanFold()) {
        const size_t body = size & ~size_t{15};
        crc = ~FoldCrc(~crc, at, body);
        at += body;
        size -= body;
    }
#endif
    return size == 0 ? crc : ZlibCrc(crc, at, size);
}

}  // namespace vistrel
