#include <openssl/crypto.h>

#include <atomic>
#include <cstring>

#include "core/endian.h"
#include "digest/digests.h"
#include "digest/kernels_internal.h"

namespace {

std::atomic<DigestKernels> g_kernels{DigestKernels::Fastest};

bool portable() {
    return g_kernels.load(std::memory_order_relaxed) == DigestKernels::Portable;
}

template <class Word>
void storeWord(uint8_t* p, Word v, bool bigEndian) {
    if constexpr (sizeof(Word) == 4) {
        bigEndian ? endian::store32be(p, v) : endian::store32le(p, v);
    } else {
        bigEndian ? endian::store64be(p, v) : endian::store64le(p, v);
    }
}

}  // namespace

void selectDigestKernels(DigestKernels kernels) {
    g_kernels.store(kernels, std::memory_order_relaxed);
}

const char* digestKernelName(DigestAlgorithm algorithm) {
    using namespace digest_kernels;
    if (portable()) return "portable";
    switch (algorithm) {
        case DigestAlgorithm::SHA1:
        case DigestAlgorithm::SHA256:
            return cpuHasShaNi() ? "sha-ni" : "portable";
        case DigestAlgorithm::SHA512:
            return cpuHasAvx2() ? "avx2" : "portable";
        case DigestAlgorithm::MD5:
            break;
    }
    return "portable";
}

const uint32_t Md5Traits::kInitial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
const uint32_t Sha1Traits::kInitial[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
                                          0xc3d2e1f0};
const uint32_t Sha256Traits::kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
const uint64_t Sha512Traits::kInitial[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

// MD5 is a single dependency chain that no instruction-set extension shortens.
DigestBlocks32 Md5Traits::blocks() {
    return digest_kernels::md5Portable;
}

DigestBlocks32 Sha1Traits::blocks() {
    using namespace digest_kernels;
    return !portable() && cpuHasShaNi() ? sha1ShaNi : sha1Portable;
}

DigestBlocks32 Sha256Traits::blocks() {
    using namespace digest_kernels;
    return !portable() && cpuHasShaNi() ? sha256ShaNi : sha256Portable;
}

DigestBlocks64 Sha512Traits::blocks() {
    using namespace digest_kernels;
    return !portable() && cpuHasAvx2() ? sha512Avx2 : sha512Portable;
}

template <class Traits>
BlockDigest<Traits>::~BlockDigest() {
    OPENSSL_cleanse(state_, sizeof(state_));
    OPENSSL_cleanse(block_, sizeof(block_));
}

template <class Traits>
void BlockDigest<Traits>::init() {
    std::memcpy(state_, Traits::kInitial, sizeof(state_));
    totalLength_ = 0;
    blockFill_ = 0;
}

template <class Traits>
void BlockDigest<Traits>::update(const void* data, size_t length) {
    if (!data || length == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    auto compress = Traits::blocks();
    if (blockFill_ > 0) {
        size_t take = kBlockSize - blockFill_;
        if (take > length) take = length;
        std::memcpy(block_ + blockFill_, p, take);
        blockFill_ += static_cast<uint32_t>(take);
        p += take;
        length -= take;
        if (blockFill_ < kBlockSize) return;
        compress(state_, block_, 1);
        totalLength_ += kBlockSize;
        blockFill_ = 0;
    }
    // Whole blocks are compressed straight from the caller's bytes.
    size_t blocks = length / kBlockSize;
    if (blocks > 0) {
        compress(state_, p, blocks);
        totalLength_ += blocks * kBlockSize;
        p += blocks * kBlockSize;
        length -= blocks * kBlockSize;
    }
    if (length > 0) {
        std::memcpy(block_, p, length);
        blockFill_ = static_cast<uint32_t>(length);
    }
}

template <class Traits>
void BlockDigest<Traits>::final() {
    uint64_t messageBytes = totalLength_ + blockFill_;
    size_t n = blockFill_;
    block_[n++] = 0x80;
    size_t padded = n + Traits::kLengthBytes <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    std::memset(block_ + n, 0, padded - n);
    // The length in bits: up to 67 bits of it for the 128-bit length field of SHA-512.
    uint64_t bitsLow = messageBytes << 3;
    uint64_t bitsHigh = messageBytes >> 61;
    uint8_t* lengthField = block_ + padded - 8;
    if constexpr (Traits::kBigEndian) {
        endian::store64be(lengthField, bitsLow);
        if constexpr (Traits::kLengthBytes == 16) endian::store64be(lengthField - 8, bitsHigh);
    } else {
        endian::store64le(lengthField, bitsLow);
    }
    Traits::blocks()(state_, block_, padded / kBlockSize);

    uint8_t digest[Traits::kStateWords * sizeof(typename Traits::Word)];
    for (size_t i = 0; i < Traits::kStateWords; ++i)
        storeWord(digest + i * sizeof(typename Traits::Word), state_[i], Traits::kBigEndian);
    result.append(digest, static_cast<int32_t>(kDigestSize));
    OPENSSL_cleanse(digest, sizeof(digest));
    OPENSSL_cleanse(block_, sizeof(block_));
    init();
}

template <class Traits>
bool BlockDigest<Traits>::compute(const void* data, int32_t length) {
    result.release();
    if (length < 0 || (!data && length > 0)) return false;
    init();
    update(data, static_cast<size_t>(length));
    final();
    return !result.empty();
}

template class BlockDigest<Md5Traits>;
template class BlockDigest<Sha1Traits>;
template class BlockDigest<Sha256Traits>;
template class BlockDigest<Sha512Traits>;
