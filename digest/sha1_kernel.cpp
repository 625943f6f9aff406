// SHA-1 compression (FIPS 180-4, section 6.1.2): a portable path unrolled over the 80
// steps, computing each schedule word in a 16-word ring when it is needed, and a path
// on the processor's SHA extensions.
#include <immintrin.h>

#include <utility>

#include "core/endian.h"
#include "digest/kernels_internal.h"

namespace digest_kernels {
namespace {

using endian::rotl32;

constexpr uint32_t kK0 = 0x5a827999, kK1 = 0x6ed9eba1, kK2 = 0x8f1bbcdc, kK3 = 0xca62c1d6;

inline uint32_t ch(uint32_t b, uint32_t c, uint32_t d) {
    return d ^ (b & (c ^ d));
}
inline uint32_t parity(uint32_t b, uint32_t c, uint32_t d) {
    return b ^ c ^ d;
}
// The two terms share no bit, so their sum is the majority.
inline uint32_t maj(uint32_t b, uint32_t c, uint32_t d) {
    return (b & c) + (d & (b ^ c));
}

// Schedule word t (16 and on) from the ring of the last 16.
#define SHA1_W(t) \
    (w[(t)&15] = rotl32(w[((t)-3) & 15] ^ w[((t)-8) & 15] ^ w[((t)-14) & 15] ^ w[(t)&15], 1))
#define SHA1_STEP(f, k, a, b, c, d, e, wt)       \
    e += rotl32(a, 5) + f(b, c, d) + (k) + (wt); \
    b = rotl32(b, 30);
// Five steps, after which the names a..e are back in their places.
#define SHA1_FIVE(f, k, t, W)                   \
    SHA1_STEP(f, k, a, b, c, d, e, W((t) + 0)); \
    SHA1_STEP(f, k, e, a, b, c, d, W((t) + 1)); \
    SHA1_STEP(f, k, d, e, a, b, c, W((t) + 2)); \
    SHA1_STEP(f, k, c, d, e, a, b, W((t) + 3)); \
    SHA1_STEP(f, k, b, c, d, e, a, W((t) + 4));
#define SHA1_LOADED(t) w[t]

}  // namespace

void sha1Portable(uint32_t* state, const uint8_t* data, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = endian::load32be(data + 4 * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
        SHA1_FIVE(ch, kK0, 0, SHA1_LOADED);
        SHA1_FIVE(ch, kK0, 5, SHA1_LOADED);
        SHA1_FIVE(ch, kK0, 10, SHA1_LOADED);
        SHA1_STEP(ch, kK0, a, b, c, d, e, w[15]);
        SHA1_STEP(ch, kK0, e, a, b, c, d, SHA1_W(16));
        SHA1_STEP(ch, kK0, d, e, a, b, c, SHA1_W(17));
        SHA1_STEP(ch, kK0, c, d, e, a, b, SHA1_W(18));
        SHA1_STEP(ch, kK0, b, c, d, e, a, SHA1_W(19));
        SHA1_FIVE(parity, kK1, 20, SHA1_W);
        SHA1_FIVE(parity, kK1, 25, SHA1_W);
        SHA1_FIVE(parity, kK1, 30, SHA1_W);
        SHA1_FIVE(parity, kK1, 35, SHA1_W);
        SHA1_FIVE(maj, kK2, 40, SHA1_W);
        SHA1_FIVE(maj, kK2, 45, SHA1_W);
        SHA1_FIVE(maj, kK2, 50, SHA1_W);
        SHA1_FIVE(maj, kK2, 55, SHA1_W);
        SHA1_FIVE(parity, kK3, 60, SHA1_W);
        SHA1_FIVE(parity, kK3, 65, SHA1_W);
        SHA1_FIVE(parity, kK3, 70, SHA1_W);
        SHA1_FIVE(parity, kK3, 75, SHA1_W);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
}

namespace {

#define SHA_NI_TARGET __attribute__((target("sha,sse4.1")))

// Four steps of group g (0-19) on message vector m[g % 4]. `prev` is the ABCD value
// before the previous group, from which the extensions derive this group's E.
template <int G>
SHA_NI_TARGET inline __attribute__((always_inline)) void sha1Group(__m128i& abcd, __m128i& prev,
                                                                   __m128i& e0, __m128i* m) {
    if constexpr (G >= 4) {
        // W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]), four words at a time.
        __m128i x = _mm_sha1msg1_epu32(m[G % 4], m[(G + 1) % 4]);
        x = _mm_xor_si128(x, m[(G + 2) % 4]);
        m[G % 4] = _mm_sha1msg2_epu32(x, m[(G + 3) % 4]);
    }
    __m128i e = G == 0 ? _mm_add_epi32(e0, m[0]) : _mm_sha1nexte_epu32(prev, m[G % 4]);
    prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e, G / 5);
}

template <int... G>
SHA_NI_TARGET inline __attribute__((always_inline)) void sha1Groups(
    __m128i& abcd, __m128i& prev, __m128i& e0, __m128i* m, std::integer_sequence<int, G...>) {
    (sha1Group<G>(abcd, prev, e0, m), ...);
}

}  // namespace

SHA_NI_TARGET void sha1ShaNi(uint32_t* state, const uint8_t* data, size_t blocks) {
    // Word order is reversed: A in the top lane, the message words big-endian.
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcdSaved = abcd, eSaved = e0;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), reverse);
        __m128i prev = abcd;
        sha1Groups(abcd, prev, e0, m, std::make_integer_sequence<int, 20>());
        e0 = _mm_sha1nexte_epu32(prev, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace digest_kernels
