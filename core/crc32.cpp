#include "core/crc32.h"

#include <zlib.h>

#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
// GCC 12's AVX-512 headers fill unused lanes from an uninitialised value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace vistrel {
namespace {

// Tables for slicing: Slices[0] is the byte table; Slices[k][b] is b's CRC
// followed by k zero bytes, so several bytes are looked up at once.
struct TSlices {
    uint32_t T[8][256];
};

constexpr TSlices MakeSlices() {
    TSlices slices{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        slices.T[0][b] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b)
            slices.T[k][b] = slices.T[0][slices.T[k - 1][b] & 0xFF] ^ (slices.T[k - 1][b] >> 8);
    return slices;
}

constexpr TSlices kSlices = MakeSlices();

inline uint32_t Load32(const char* at) noexcept {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;  // little-endian, as the folding is
}

// A record's kind field and what folding leaves (under 64 bytes): four or
// eight bytes a step, where a call into zlib would cost more than the bytes.
uint32_t SlicedCrc(uint32_t crc, const char* data, size_t size) noexcept {
    const auto& t = kSlices.T;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        const uint32_t lo = crc ^ Load32(data);
        const uint32_t hi = Load32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    if (size >= 4) {
        const uint32_t lo = crc ^ Load32(data);
        crc = t[3][lo & 0xFF] ^ t[2][(lo >> 8) & 0xFF] ^ t[1][(lo >> 16) & 0xFF] ^ t[0][lo >> 24];
        data += 4;
        size -= 4;
    }
    for (; size > 0; ++data, --size) crc = t[0][(crc ^ static_cast<unsigned char>(*data)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t TableCrc(uint32_t crc, const char* data, size_t size) noexcept {
    if (size < 64) return SlicedCrc(crc, data, size);
    // zlib takes at most uInt bytes at once.
    while (size > 0) {
        const size_t piece = size > (size_t{1} << 30) ? size_t{1} << 30 : size;
        crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(piece)));
        data += piece;
        size -= piece;
    }
    return crc;
}

#if defined(__x86_64__)

// Folding by carry-less multiplication over the bit-reflected polynomial:
// four 128-bit lanes folded 64 bytes at a time, then into one lane, then a
// Barrett reduction to 32 bits. The constants are x^n mod P, bit-reflected,
// for a fold over D bits (n = D + 32 for the low half, D - 32 for the high:
// D = 2048, 512, 128, and 64 bits), the reflected polynomial and its Barrett
// quotient. crc here is the register without zlib's inversions; size is a
// multiple of 16, at least 64.
#define VISTREL_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))
#define VISTREL_WIDE_TARGET __attribute__((target("pclmul,sse4.1,avx512f,avx512vl,vpclmulqdq")))

VISTREL_FOLD_TARGET inline __m128i Load(const char* at) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x folded over the distance k holds, onto next.
VISTREL_FOLD_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) noexcept {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Four lanes holding 64 consecutive bytes folded into one, the 16-byte
// blocks of data (size a multiple of 16) folded on, and the result reduced
// to the 32-bit register.
VISTREL_FOLD_TARGET uint32_t Finish(__m128i x1, __m128i x2, __m128i x3, __m128i x4, const char* data,
                                    size_t size) noexcept {
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; size >= 16; data += 16, size -= 16) x1 = Fold(x1, k3k4, Load(data));
    // 128 bits to 64, with 32 zero bits appended.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x10), _mm_srli_si128(x1, 8));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), _mm_srli_si128(x1, 4));
    // Barrett reduction to 32 bits.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

VISTREL_FOLD_TARGET uint32_t FoldCrc(uint32_t crc, const char* data, size_t size) noexcept {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    __m128i x1 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load(data + 16);
    __m128i x3 = Load(data + 32);
    __m128i x4 = Load(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x1 = Fold(x1, k1k2, Load(data));
        x2 = Fold(x2, k1k2, Load(data + 16));
        x3 = Fold(x3, k1k2, Load(data + 32));
        x4 = Fold(x4, k1k2, Load(data + 48));
    }
    return Finish(x1, x2, x3, x4, data, size);
}

VISTREL_WIDE_TARGET inline __m512i WideLoad(const char* at) noexcept { return _mm512_loadu_si512(at); }

VISTREL_WIDE_TARGET inline __m512i WideFold(__m512i x, __m512i k, __m512i next) noexcept {
    // Three-way exclusive or.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

// The same folding four 128-bit lanes to a 512-bit register, 256 bytes a
// step (distance 2048 bits), then 64 bytes a step; size at least 256.
VISTREL_WIDE_TARGET uint32_t WideFoldCrc(uint32_t crc, const char* data, size_t size) noexcept {
    const __m512i k2048 = _mm512_broadcast_i32x4(_mm_set_epi64x(0x1322d1430, 0x11542778a));
    const __m512i k512 = _mm512_broadcast_i32x4(_mm_set_epi64x(0x1c6e41596, 0x154442bd4));
    __m512i z1 = _mm512_xor_si512(WideLoad(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m512i z2 = WideLoad(data + 64);
    __m512i z3 = WideLoad(data + 128);
    __m512i z4 = WideLoad(data + 192);
    data += 256;
    size -= 256;
    for (; size >= 256; data += 256, size -= 256) {
        z1 = WideFold(z1, k2048, WideLoad(data));
        z2 = WideFold(z2, k2048, WideLoad(data + 64));
        z3 = WideFold(z3, k2048, WideLoad(data + 128));
        z4 = WideFold(z4, k2048, WideLoad(data + 192));
    }
    z1 = WideFold(z1, k512, z2);
    z1 = WideFold(z1, k512, z3);
    z1 = WideFold(z1, k512, z4);
    for (; size >= 64; data += 64, size -= 64) z1 = WideFold(z1, k512, WideLoad(data));
    return Finish(_mm512_extracti32x4_epi32(z1, 0), _mm512_extracti32x4_epi32(z1, 1), _mm512_extracti32x4_epi32(z1, 2),
                  _mm512_extracti32x4_epi32(z1, 3), data, size);
}

#pragma GCC diagnostic pop

bool CanFold() noexcept {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

bool CanFoldWide() noexcept {
    static const bool can = CanFold() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("vpclmulqdq");
    return can;
}

#endif

}  // namespace

uint32_t Crc32(uint32_t crc, std::string_view bytes) noexcept {
    const char* data = bytes.data();
    size_t size = bytes.size();
#if defined(__x86_64__)
    if (size >= 64 && CanFold()) {
        const size_t folded = size & ~size_t{15};
        crc = ~(size >= 256 && CanFoldWide() ? WideFoldCrc(~crc, data, folded) : FoldCrc(~crc, data, folded));
        data += folded;
        size -= folded;
    }
#endif
    return TableCrc(crc, data, size);
}

}  // namespace vistrel
