// SHA-256 compression (FIPS 180-4, section 6.2.2): a portable unrolled path and a path
// on the processor's SHA extensions.
#include <immintrin.h>

#include <utility>

#include "core/endian.h"
#include "digest/kernels_internal.h"

namespace digest_kernels {
namespace {

using endian::rotr32;

alignas(16) constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t bigSigma0(uint32_t x) {
    return rotr32(x, 2) ^ rotr32(x, 13) ^ rotr32(x, 22);
}
inline uint32_t bigSigma1(uint32_t x) {
    return rotr32(x, 6) ^ rotr32(x, 11) ^ rotr32(x, 25);
}
inline uint32_t smallSigma0(uint32_t x) {
    return rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3);
}
inline uint32_t smallSigma1(uint32_t x) {
    return rotr32(x, 17) ^ rotr32(x, 19) ^ (x >> 10);
}

// Round t on the state held in eight names that rotate instead of moving: after the
// round, h holds the new a and d the new e.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, t, wt)         \
    h += bigSigma1(e) + (g ^ (e & (f ^ g))) + kK[t] + (wt); \
    d += h;                                                 \
    h += bigSigma0(a) + ((a & b) + (c & (a ^ b)));
#define SHA256_W(t) \
    (w[(t)&15] += smallSigma1(w[((t)-2) & 15]) + w[((t)-7) & 15] + smallSigma0(w[((t)-15) & 15]))
#define SHA256_LOADED(t) w[t]
#define SHA256_EIGHT(t, W)                                     \
    SHA256_ROUND(a, b, c, d, e, f, g, h, (t) + 0, W((t) + 0)); \
    SHA256_ROUND(h, a, b, c, d, e, f, g, (t) + 1, W((t) + 1)); \
    SHA256_ROUND(g, h, a, b, c, d, e, f, (t) + 2, W((t) + 2)); \
    SHA256_ROUND(f, g, h, a, b, c, d, e, (t) + 3, W((t) + 3)); \
    SHA256_ROUND(e, f, g, h, a, b, c, d, (t) + 4, W((t) + 4)); \
    SHA256_ROUND(d, e, f, g, h, a, b, c, (t) + 5, W((t) + 5)); \
    SHA256_ROUND(c, d, e, f, g, h, a, b, (t) + 6, W((t) + 6)); \
    SHA256_ROUND(b, c, d, e, f, g, h, a, (t) + 7, W((t) + 7));

}  // namespace

void sha256Portable(uint32_t* state, const uint8_t* data, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (; blocks > 0; --blocks, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = endian::load32be(data + 4 * i);
        SHA256_EIGHT(0, SHA256_LOADED);
        SHA256_EIGHT(8, SHA256_LOADED);
        SHA256_EIGHT(16, SHA256_W);
        SHA256_EIGHT(24, SHA256_W);
        SHA256_EIGHT(32, SHA256_W);
        SHA256_EIGHT(40, SHA256_W);
        SHA256_EIGHT(48, SHA256_W);
        SHA256_EIGHT(56, SHA256_W);
        a = state[0] += a;
        b = state[1] += b;
        c = state[2] += c;
        d = state[3] += d;
        e = state[4] += e;
        f = state[5] += f;
        g = state[6] += g;
        h = state[7] += h;
    }
}

namespace {

#define SHA_NI_TARGET __attribute__((target("sha,sse4.1")))

// Four rounds of group g (0-15) on message vector m[g % 4]; the state is kept as the
// pairs ABEF and CDGH that the extensions work on.
template <int G>
SHA_NI_TARGET inline __attribute__((always_inline)) void sha256Group(__m128i& abef, __m128i& cdgh,
                                                                     __m128i* m) {
    if constexpr (G >= 4) {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four words at a time.
        __m128i x = _mm_sha256msg1_epu32(m[G % 4], m[(G + 1) % 4]);
        x = _mm_add_epi32(x, _mm_alignr_epi8(m[(G + 3) % 4], m[(G + 2) % 4], 4));
        m[G % 4] = _mm_sha256msg2_epu32(x, m[(G + 3) % 4]);
    }
    __m128i wk =
        _mm_add_epi32(m[G % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kK + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);  // now ABEF of two rounds on
    // Two rounds on, the old ABEF is the new CDGH.
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0e));
}

template <int... G>
SHA_NI_TARGET inline __attribute__((always_inline)) void sha256Groups(
    __m128i& abef, __m128i& cdgh, __m128i* m, std::integer_sequence<int, G...>) {
    (sha256Group<G>(abef, cdgh, m), ...);
}

}  // namespace

SHA_NI_TARGET void sha256ShaNi(uint32_t* state, const uint8_t* data, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i badc = _mm_shuffle_epi32(abcd, 0xb1);
    __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1b);
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xf0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefSaved = abef, cdghSaved = cdgh;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        sha256Groups(abef, cdgh, m, std::make_integer_sequence<int, 16>());
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace digest_kernels
