#include <openssl/crypto.h>

#include <climits>
#include <cstring>
#include <utility>

#include "core/endian.h"
#include "mobile/des_cipher_internal.h"

namespace {

using endian::rotl32;
using endian::rotr32;

// The tables of FIPS 46-3. Bit n of a block, key or half is counted from 1 at the most
// significant bit of its first byte.
constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};
constexpr uint8_t kPermutationP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};
constexpr uint8_t kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};
constexpr uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};
constexpr uint8_t kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Applies a permutation table: output bit i is input bit table[i], for an input of
// `inBits` and an output of `outBits` bits, both aligned to the low end of the word.
uint64_t permute(uint64_t in, int inBits, const uint8_t* table, int outBits) {
    uint64_t out = 0;
    for (int i = 0; i < outBits; ++i) out = (out << 1) | ((in >> (inBits - table[i])) & 1);
    return out;
}

// The halves are kept rotated left by one bit between the initial and the final
// permutation, so that all eight 6-bit groups of the expansion E are plain shifts of
// two words. The tables below fold that rotation in.
uint64_t rotateHalves(uint64_t v, bool left) {
    auto hi = static_cast<uint32_t>(v >> 32), lo = static_cast<uint32_t>(v);
    hi = left ? rotl32(hi, 1) : rotr32(hi, 1);
    lo = left ? rotl32(lo, 1) : rotr32(lo, 1);
    return (uint64_t{hi} << 32) | lo;
}

// A 48-bit round key in the layout the round function reads: groups 7, 5, 3, 1 in
// the high word and 6, 4, 2, 0 in the low word, at bits 0, 8, 16 and 24 of each.
uint64_t packRoundKey(uint64_t k) {
    uint32_t odd = 0, even = 0;
    for (int j = 0; j < 4; ++j) {
        odd |= static_cast<uint32_t>((k >> (12 * j)) & 63) << (8 * j);
        even |= static_cast<uint32_t>((k >> (12 * j + 6)) & 63) << (8 * j);
    }
    return (uint64_t{odd} << 32) | even;
}

struct Tables {
    // S-box g followed by P, rotated left one bit, for each 6-bit input.
    uint32_t sp[8][64];
    // Permutations as one table per 4-bit piece of the input, highest piece first: the
    // initial and the final permutation, PC-1, and PC-2 with the round-key packing.
    uint64_t ip[16][16];
    uint64_t fp[16][16];
    uint64_t pc1[16][16];
    uint64_t pc2[14][16];

    Tables() {
        uint8_t finalPermutation[64];
        for (int i = 0; i < 64; ++i) finalPermutation[kInitialPermutation[i] - 1] = i + 1;
        for (int g = 0; g < 8; ++g) {
            for (int x = 0; x < 64; ++x) {
                int row = ((x >> 4) & 2) | (x & 1), column = (x >> 1) & 15;
                uint64_t s = uint64_t{kSBoxes[g][row * 16 + column]} << (28 - 4 * g);
                sp[g][x] = rotl32(static_cast<uint32_t>(permute(s, 32, kPermutationP, 32)), 1);
            }
        }
        for (int n = 0; n < 16; ++n) {
            for (uint64_t v = 0; v < 16; ++v) {
                uint64_t in = v << (60 - 4 * n);
                ip[n][v] = rotateHalves(permute(in, 64, kInitialPermutation, 64), true);
                fp[n][v] = permute(rotateHalves(in, false), 64, finalPermutation, 64);
                pc1[n][v] = permute(in, 64, kPermutedChoice1, 56);
                if (n < 14)
                    pc2[n][v] = packRoundKey(permute(v << (52 - 4 * n), 56, kPermutedChoice2, 48));
            }
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// A permutation by its table of 4-bit pieces; `pieces` is the input's width / 4.
template <size_t kPieces>
inline uint64_t byNibbles(const uint64_t (&table)[kPieces][16], uint64_t v) {
    uint64_t out = 0;
    for (size_t n = 0; n < kPieces; ++n) out |= table[n][(v >> (4 * (kPieces - 1 - n))) & 15];
    return out;
}

// The 16 round keys of an 8-byte key, in encryption order.
void keySchedule(const Tables& t, const BYTE* key, uint32_t (*out)[2]) {
    uint64_t cd = byNibbles(t.pc1, endian::load64be(key));
    auto c = static_cast<uint32_t>(cd >> 28), d = static_cast<uint32_t>(cd & 0x0fffffff);
    for (int r = 0; r < 16; ++r) {
        int s = kRotations[r];
        c = ((c << s) | (c >> (28 - s))) & 0x0fffffff;
        d = ((d << s) | (d >> (28 - s))) & 0x0fffffff;
        uint64_t k = byNibbles(t.pc2, (uint64_t{c} << 28) | d);
        out[r][0] = static_cast<uint32_t>(k >> 32);
        out[r][1] = static_cast<uint32_t>(k);
    }
}

// Keeps the compiler from turning a balanced XOR tree back into one long chain.
inline uint32_t settled(uint32_t x) {
    asm("" : "+r"(x));
    return x;
}

// f(R, K), on halves rotated left one bit. The eight lookups run in parallel and are
// combined in a balanced tree: in CBC this path is the whole cost of a block.
inline __attribute__((always_inline)) uint32_t feistel(const Tables& t, uint32_t r,
                                                       const uint32_t* k) {
    uint32_t u = r ^ k[0];
    uint32_t v = rotr32(r, 4) ^ k[1];
    uint32_t a = settled(t.sp[7][u & 63] ^ t.sp[5][(u >> 8) & 63]);
    uint32_t b = settled(t.sp[3][(u >> 16) & 63] ^ t.sp[1][(u >> 24) & 63]);
    uint32_t c = settled(t.sp[6][v & 63] ^ t.sp[4][(v >> 8) & 63]);
    uint32_t d = settled(t.sp[2][(v >> 16) & 63] ^ t.sp[0][(v >> 24) & 63]);
    return settled(a ^ b) ^ settled(c ^ d);
}

// Sixteen rounds; afterwards l and r are L16 and R16.
inline __attribute__((always_inline)) void sixteenRounds(const Tables& t, uint32_t& l, uint32_t& r,
                                                         const uint32_t (*ks)[2]) {
    uint32_t left = l, right = r;
#pragma GCC unroll 8
    for (int i = 0; i < 16; i += 2) {
        left ^= feistel(t, right, ks[i]);
        right ^= feistel(t, left, ks[i + 1]);
    }
    l = left;
    r = right;
}

}  // namespace

DesCipher::~DesCipher() {
    wipeSchedules();
    key_.release();
}

void DesCipher::wipeSchedules() {
    OPENSSL_cleanse(schedules_, sizeof(schedules_));
    OPENSSL_cleanse(&chain_, sizeof(chain_));
}

void DesCipher::setAlgorithm(ALG_ID algorithm) {
    algorithm_ = algorithm == CALG_3DES || algorithm == CALG_3DES_112 ? algorithm : CALG_DES;
}

void DesCipher::setKey(const BYTE* bytes, int32_t length) {
    key_.release();
    if (bytes && length > 0) key_.assign(bytes, length);
}

bool DesCipher::encrypt(const BYTE* data, int32_t length) {
    output.release();
    if (!data || length < 1 || length > INT32_MAX - 8) return false;
    const bool triple = algorithm_ != CALG_DES;
    const int32_t keyBytes = algorithm_ == CALG_3DES ? 24 : algorithm_ == CALG_3DES_112 ? 16 : 8;
    if (key_.length() < keyBytes) return false;
    const int32_t outLength = (length / 8 + 1) * 8;
    if (!output.allocate(outLength)) return false;

    const Tables& t = tables();
    const BYTE* key = key_.data();
    keySchedule(t, key, schedules_[0]);
    if (triple) {
        keySchedule(t, key + 8, schedules_[1]);
        for (int i = 0; i < 8; ++i) std::swap(schedules_[1][i], schedules_[1][15 - i]);
        keySchedule(t, algorithm_ == CALG_3DES ? key + 16 : key, schedules_[2]);
    }

    chain_ = endian::load64be(iv_);
    BYTE last[8];
    for (int32_t offset = 0; offset < outLength; offset += 8) {
        const BYTE* in = data + offset;
        if (offset + 8 > length) {
            // PKCS#5: n bytes of value n fill the last block, a whole block when the
            // input ends on a block boundary.
            int32_t rest = length - offset;
            std::memcpy(last, in, static_cast<size_t>(rest));
            std::memset(last + rest, 8 - rest, static_cast<size_t>(8 - rest));
            in = last;
        }
        uint64_t lr = byNibbles(t.ip, endian::load64be(in) ^ chain_);
        auto l = static_cast<uint32_t>(lr >> 32), r = static_cast<uint32_t>(lr);
        sixteenRounds(t, l, r, schedules_[0]);
        if (triple) {
            // The final and the next initial permutation cancel; only the swap of the
            // halves remains between the three passes.
            std::swap(l, r);
            sixteenRounds(t, l, r, schedules_[1]);
            std::swap(l, r);
            sixteenRounds(t, l, r, schedules_[2]);
        }
        chain_ = byNibbles(t.fp, (uint64_t{r} << 32) | l);
        endian::store64be(output.data() + offset, chain_);
    }
    OPENSSL_cleanse(last, sizeof(last));
    wipeSchedules();
    return true;
}
