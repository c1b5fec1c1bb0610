// CRC-32 by folding: the message is cut into 128-bit blocks, and a block is
// carried forward over the next d bits by multiplying it (carry-less) with
// x^d mod P, which leaves the remainder modulo P unchanged. Four lanes are
// folded over 512 bits at a time, merged into one, and the last 128 bits are
// reduced to 32 with a final fold and a Barrett reduction. Everything is in
// the reflected bit order that the CRC uses, where bit 0 of the first byte
// is the highest power of x. Where the processor cannot multiply carry-less,
// and for inputs too short to fold, zlib's table-driven crc32 does the work.
#include "src/bfs/crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)

// P(x) = x^32 + x^26 + ... + 1 in normal bit order, 33 bits.
constexpr uint64_t kPoly = 0x104C11DB7;

constexpr uint64_t reflect(uint64_t v, int bits) {
    uint64_t r = 0;
    for (int i = 0; i < bits; i++)
        if (v >> i & 1) r |= uint64_t(1) << (bits - 1 - i);
    return r;
}

// x^n mod P, normal bit order.
constexpr uint64_t x_pow_mod(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; i++) {
        r <<= 1;
        if (r >> 32) r ^= kPoly;
    }
    return r;
}

// The multiplier that carries 64 bits forward over n - 32 bits, reflected;
// the shift by one makes up for the product of two reflected values landing
// one bit low.
constexpr uint64_t fold_constant(unsigned n) { return reflect(x_pow_mod(n), 32) << 1; }

// x^64 div P (33 bits), reflected: the Barrett quotient estimate.
constexpr uint64_t barrett_mu() {
    unsigned __int128 rem = static_cast<unsigned __int128>(1) << 64;
    uint64_t q = 0;
    for (int i = 64; i >= 32; i--) {
        if (static_cast<uint64_t>(rem >> i) & 1) {
            rem ^= static_cast<unsigned __int128>(kPoly) << (i - 32);
            q |= uint64_t(1) << (i - 32);
        }
    }
    return reflect(q, 33);
}

// The low 64 bits of a block are its earlier bytes, the higher powers of x:
// they travel the longer distance.
constexpr uint64_t kFold512Lo = fold_constant(4 * 128 + 32), kFold512Hi = fold_constant(4 * 128 - 32);
constexpr uint64_t kFold128Lo = fold_constant(128 + 32), kFold128Hi = fold_constant(128 - 32);
constexpr uint64_t kFold64 = fold_constant(64);
constexpr uint64_t kReflectedPoly = reflect(kPoly, 33), kMu = barrett_mu();
static_assert(kReflectedPoly == (uint64_t(0xEDB88320) << 1 | 1));

#define KV_CLMUL __attribute__((target("pclmul,sse4.1")))

KV_CLMUL inline __m128i load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// x carried forward over the distance that k's two halves stand for, plus
// the block found there.
KV_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// The CRC (not inverted) continued over n bytes: n >= 64 and a multiple of 16.
KV_CLMUL uint32_t crc_folded(uint32_t crc, const unsigned char* p, size_t n) {
    const __m128i k512 = _mm_set_epi64x(kFold512Hi, kFold512Lo);
    const __m128i k128 = _mm_set_epi64x(kFold128Hi, kFold128Lo);
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k512, load(p));
        x1 = fold(x1, k512, load(p + 16));
        x2 = fold(x2, k512, load(p + 32));
        x3 = fold(x3, k512, load(p + 48));
    }
    __m128i x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    for (; n >= 16; p += 16, n -= 16) x = fold(x, k128, load(p));

    // 128 bits to 96: the low half carried over 64 bits onto the high half.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k128, 0x10), _mm_srli_si128(x, 8));
    // 96 bits to 64: the low 32 bits carried over 32 bits.
    const __m128i low32 = _mm_setr_epi32(-1, 0, 0, 0);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), _mm_cvtsi64_si128(kFold64), 0x00),
                      _mm_srli_si128(x, 4));
    // 64 bits to the 32-bit remainder: q = floor(x / P) estimated with mu,
    // then x - q * P.
    const __m128i barrett = _mm_set_epi64x(kMu, kReflectedPoly);
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    __m128i qp = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, qp), 1));
}

bool can_fold() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"); }

#endif

}  // namespace

uint32_t bfs_crc32(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
    if (n >= 64 && can_fold()) {
        size_t folded = n & ~size_t(15);
        crc = ~crc_folded(~crc, p, folded);
        p += folded;
        n -= folded;
    }
#endif
    return static_cast<uint32_t>(crc32_z(crc, p, n));
}
