// SHA-512 compression (FIPS 180-4, section 6.4.2): the rounds unrolled on a schedule
// computed ahead, by plain code or, on processors with AVX2, for two blocks at once in
// vector registers while the rounds use BMI's rotate and and-not.
#include <immintrin.h>

#include <utility>

#include "core/endian.h"
#include "digest/kernels_internal.h"

namespace digest_kernels {
namespace {

using endian::rotr64;

constexpr uint64_t kK[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

inline uint64_t bigSigma0(uint64_t x) {
    return rotr64(x, 28) ^ rotr64(x, 34) ^ rotr64(x, 39);
}
inline uint64_t bigSigma1(uint64_t x) {
    return rotr64(x, 14) ^ rotr64(x, 18) ^ rotr64(x, 41);
}
inline uint64_t smallSigma0(uint64_t x) {
    return rotr64(x, 1) ^ rotr64(x, 8) ^ (x >> 7);
}
inline uint64_t smallSigma1(uint64_t x) {
    return rotr64(x, 19) ^ rotr64(x, 61) ^ (x >> 6);
}

// One round with the schedule word and constant already added (WK(t)). The eight
// names rotate instead of moving: h ends as the new a, d as the new e. Maj is
// b ^ ((a ^ b) & (b ^ c)), where b ^ c is the previous round's a ^ b: the two names x
// and y carry it from round to round.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, x, y, t) \
    h += WK(t) + bigSigma1(e) + (e & f) + (~e & g);   \
    x = a ^ b;                                        \
    d += h;                                           \
    h += bigSigma0(a) + (b ^ (x & y));

// The working variables of one block's rounds.
struct Working {
    uint64_t a, b, c, d, e, f, g, h, x, y;

    explicit Working(const uint64_t* state)
        : a(state[0]),
          b(state[1]),
          c(state[2]),
          d(state[3]),
          e(state[4]),
          f(state[5]),
          g(state[6]),
          h(state[7]),
          x(0),
          y(b ^ c) {}
    void addTo(uint64_t* state) const {
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
};

// Rounds 8G to 8G + 7. Schedule word t (constant added) is at
// wk[(t / 2) * kStride + t % 2], so that schedules of several blocks can be interleaved
// pairwise. After eight rounds the names are back in their places.
template <int kStride, int G>
inline __attribute__((always_inline)) void roundGroup(Working& s, const uint64_t* wk) {
#define WK(t) wk[((t) >> 1) * kStride + ((t)&1)]
    uint64_t &a = s.a, &b = s.b, &c = s.c, &d = s.d, &e = s.e, &f = s.f, &g = s.g, &h = s.h;
    uint64_t &x = s.x, &y = s.y;
    constexpr int t = 8 * G;
    SHA512_ROUND(a, b, c, d, e, f, g, h, x, y, t + 0);
    SHA512_ROUND(h, a, b, c, d, e, f, g, y, x, t + 1);
    SHA512_ROUND(g, h, a, b, c, d, e, f, x, y, t + 2);
    SHA512_ROUND(f, g, h, a, b, c, d, e, y, x, t + 3);
    SHA512_ROUND(e, f, g, h, a, b, c, d, x, y, t + 4);
    SHA512_ROUND(d, e, f, g, h, a, b, c, y, x, t + 5);
    SHA512_ROUND(c, d, e, f, g, h, a, b, x, y, t + 6);
    SHA512_ROUND(b, c, d, e, f, g, h, a, y, x, t + 7);
#undef WK
}

template <int kStride, int... G>
inline __attribute__((always_inline)) void roundGroups(Working& s, const uint64_t* wk,
                                                       std::integer_sequence<int, G...>) {
    (roundGroup<kStride, G>(s, wk), ...);
}

// The whole schedule of one block with the round constants added, so that the rounds
// keep only the state in registers.
inline __attribute__((always_inline)) void schedule(const uint8_t* data, uint64_t* wk) {
    uint64_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = endian::load64be(data + 8 * t);
    for (int t = 16; t < 80; ++t)
        w[t] = smallSigma1(w[t - 2]) + w[t - 7] + smallSigma0(w[t - 15]) + w[t - 16];
    for (int t = 0; t < 80; ++t) wk[t] = w[t] + kK[t];
}

}  // namespace

void sha512Portable(uint64_t* state, const uint8_t* data, size_t blocks) {
    for (; blocks > 0; --blocks, data += 128) {
        uint64_t wk[80];
        schedule(data, wk);
        Working s(state);
        roundGroups<2>(s, wk, std::make_integer_sequence<int, 10>());
        s.addTo(state);
    }
}

namespace {

#define AVX2_TARGET __attribute__((target("avx2,bmi,bmi2")))

AVX2_TARGET inline __m256i ror(__m256i v, int n) {
    return _mm256_or_si256(_mm256_srli_epi64(v, n), _mm256_slli_epi64(v, 64 - n));
}
AVX2_TARGET inline __m256i sigma0x(__m256i v) {
    return _mm256_xor_si256(_mm256_xor_si256(ror(v, 1), ror(v, 8)), _mm256_srli_epi64(v, 7));
}
AVX2_TARGET inline __m256i sigma1x(__m256i v) {
    return _mm256_xor_si256(_mm256_xor_si256(ror(v, 19), ror(v, 61)), _mm256_srli_epi64(v, 6));
}
AVX2_TARGET inline __m256i constantPair(int t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kK + t)));
}

// The schedules of two blocks at once, one block in each 128-bit lane of x[], the ring
// of the last 16 words as eight pairs; wk[] receives them interleaved pairwise
// (stride 4). Unit U < 8 loads message words 2U and 2U + 1; unit U >= 8 computes words
// t = 2U and t + 1 from W[t-16], W[t-15], W[t-7] and W[t-2].
template <int U>
AVX2_TARGET inline __attribute__((always_inline)) void scheduleUnit(__m256i* x, __m256i* wk,
                                                                    const uint8_t* d0,
                                                                    const uint8_t* d1) {
    constexpr int i = U % 8;
    if constexpr (U < 8) {
        const __m256i byteSwap = _mm256_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL,
                                                   0x08090a0b0c0d0e0fLL, 0x0001020304050607LL);
        x[i] = _mm256_shuffle_epi8(
            _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d1 + 16 * i)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(d0 + 16 * i))),
            byteSwap);
    } else {
        __m256i w15 = _mm256_alignr_epi8(x[(i + 1) % 8], x[i], 8);
        __m256i w7 = _mm256_alignr_epi8(x[(i + 5) % 8], x[(i + 4) % 8], 8);
        x[i] = _mm256_add_epi64(_mm256_add_epi64(x[i], sigma0x(w15)),
                                _mm256_add_epi64(w7, sigma1x(x[(i + 7) % 8])));
    }
    _mm256_store_si256(wk + U, _mm256_add_epi64(x[i], constantPair(2 * U)));
}

// Round group G (0-9 the first block, 10-19 the second) of the pair whose schedules
// are in wk, followed, when there is a next pair, by two of the 40 units of its
// schedule: the vector units compute it while the integer units run the rounds.
template <bool kNext, int G>
AVX2_TARGET inline __attribute__((always_inline)) void pipelinedGroup(uint64_t* state, Working& s,
                                                                      const uint64_t* wk,
                                                                      __m256i* x, __m256i* nextWk,
                                                                      const uint8_t* n0,
                                                                      const uint8_t* n1) {
    if constexpr (G == 10) {
        s.addTo(state);
        s = Working(state);
    }
    roundGroup<4, G % 10>(s, wk + (G < 10 ? 0 : 2));
    if constexpr (kNext) {
        scheduleUnit<2 * G>(x, nextWk, n0, n1);
        scheduleUnit<2 * G + 1>(x, nextWk, n0, n1);
    }
}

template <bool kNext, int... G>
AVX2_TARGET inline __attribute__((always_inline)) void pipelinedPair(
    uint64_t* state, const uint64_t* wk, __m256i* x, __m256i* nextWk, const uint8_t* n0,
    const uint8_t* n1, std::integer_sequence<int, G...>) {
    Working s(state);
    (pipelinedGroup<kNext, G>(state, s, wk, x, nextWk, n0, n1), ...);
    s.addTo(state);
}

template <int... U>
AVX2_TARGET inline __attribute__((always_inline)) void scheduleUnits(
    __m256i* x, __m256i* wk, const uint8_t* d0, const uint8_t* d1,
    std::integer_sequence<int, U...>) {
    (scheduleUnit<U>(x, wk, d0, d1), ...);
}

}  // namespace

AVX2_TARGET void sha512Avx2(uint64_t* state, const uint8_t* data, size_t blocks) {
    if (blocks == 0) return;
    alignas(32) __m256i wk[2][40];
    __m256i x[8];
    // A lone last block is scheduled as a pair with itself; its second lane goes unused.
    scheduleUnits(x, wk[0], data, blocks >= 2 ? data + 128 : data,
                  std::make_integer_sequence<int, 40>());
    int current = 0;
    while (blocks >= 2) {
        const auto* words = reinterpret_cast<const uint64_t*>(wk[current]);
        const uint8_t* next = data + 256;
        blocks -= 2;
        if (blocks > 0) {
            pipelinedPair<true>(state, words, x, wk[current ^ 1], next,
                                blocks >= 2 ? next + 128 : next,
                                std::make_integer_sequence<int, 20>());
        } else {
            pipelinedPair<false>(state, words, x, nullptr, nullptr, nullptr,
                                 std::make_integer_sequence<int, 20>());
        }
        data = next;
        current ^= 1;
    }
    if (blocks == 1) {
        Working s(state);
        roundGroups<4>(s, reinterpret_cast<const uint64_t*>(wk[current]),
                       std::make_integer_sequence<int, 10>());
        s.addTo(state);
    }
}

}  // namespace digest_kernels
