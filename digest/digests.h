// The four message digests the control computes itself: MD5 (RFC 1321), SHA-1,
// SHA-256 and SHA-512 (FIPS 180-4). Each object absorbs a message through update()
// and places the finished digest in `result`; compute() does all of it in one call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/byte_buffer.h"

enum class DigestAlgorithm : int32_t { MD5 = 1, SHA1 = 2, SHA256 = 3, SHA512 = 4 };

// Compresses `blocks` consecutive blocks at `data` into the chaining value.
using DigestBlocks32 = void (*)(uint32_t* state, const uint8_t* data, size_t blocks);
using DigestBlocks64 = void (*)(uint64_t* state, const uint8_t* data, size_t blocks);

struct Md5Traits {
    using Word = uint32_t;
    static constexpr size_t kBlockSize = 64, kStateWords = 4, kDigestSize = 16, kLengthBytes = 8;
    static constexpr bool kBigEndian = false;
    static const Word kInitial[kStateWords];
    static DigestBlocks32 blocks();
};
struct Sha1Traits {
    using Word = uint32_t;
    static constexpr size_t kBlockSize = 64, kStateWords = 5, kDigestSize = 20, kLengthBytes = 8;
    static constexpr bool kBigEndian = true;
    static const Word kInitial[kStateWords];
    static DigestBlocks32 blocks();
};
struct Sha256Traits {
    using Word = uint32_t;
    static constexpr size_t kBlockSize = 64, kStateWords = 8, kDigestSize = 32, kLengthBytes = 8;
    static constexpr bool kBigEndian = true;
    static const Word kInitial[kStateWords];
    static DigestBlocks32 blocks();
};
struct Sha512Traits {
    using Word = uint64_t;
    static constexpr size_t kBlockSize = 128, kStateWords = 8, kDigestSize = 64, kLengthBytes = 16;
    static constexpr bool kBigEndian = true;
    static const Word kInitial[kStateWords];
    static DigestBlocks64 blocks();
};

// The shape the four digests share: a chaining value, a 64-bit count of the bytes
// compressed so far (messages of 4 GiB and more are counted exactly), and a buffer for
// the bytes of an unfinished block. The running state is wiped when the digest is
// finished and when the object ends, since the message may be a secret.
template <class Traits>
class BlockDigest {
  public:
    static constexpr size_t kBlockSize = Traits::kBlockSize;
    static constexpr size_t kDigestSize = Traits::kDigestSize;

    // The finished digest: empty until final() appends it.
    ByteBuffer result;

    BlockDigest() { init(); }
    ~BlockDigest();
    BlockDigest(const BlockDigest&) = delete;
    BlockDigest& operator=(const BlockDigest&) = delete;

    // Starts a new message: the standard's initial chaining value, nothing absorbed.
    // `result` is left as it is.
    void init();
    // Absorbs `length` bytes at `data` (which may be null when length is 0). Any number
    // of calls with any lengths give the digest of the bytes one after the other.
    void update(const void* data, size_t length);
    // Pads the message, compresses the last block(s) and appends the digest, in the
    // standard's byte order, to `result`; then starts a new message as init() does.
    void final();
    // One-shot digest: empties `result`, then init(), update(), final(). True with
    // exactly the digest in `result`; false with `result` empty for a negative length,
    // a null `data` with a positive length, or no memory for the result.
    bool compute(const void* data, int32_t length);

  private:
    typename Traits::Word state_[Traits::kStateWords];
    uint64_t totalLength_ = 0;  // bytes in the blocks already compressed
    uint32_t blockFill_ = 0;    // bytes waiting in block_
    // Waiting bytes, with room for the two blocks the padding may need.
    alignas(16) uint8_t block_[2 * Traits::kBlockSize];
};

extern template class BlockDigest<Md5Traits>;
extern template class BlockDigest<Sha1Traits>;
extern template class BlockDigest<Sha256Traits>;
extern template class BlockDigest<Sha512Traits>;

class Md5Digest final : public BlockDigest<Md5Traits> {};
class Sha1Digest final : public BlockDigest<Sha1Traits> {};
class Sha256Digest final : public BlockDigest<Sha256Traits> {};
class Sha512Digest final : public BlockDigest<Sha512Traits> {};

// Which compression code the digests run. Fastest (the default) takes the processor's
// SHA extensions or wider instructions where it has them; Portable runs plain C++ on
// every processor. Both give the same digests; tests and benchmarks compare them.
enum class DigestKernels { Fastest, Portable };

// Selects the compression code for every digest in the process from the next block on.
void selectDigestKernels(DigestKernels kernels);
// The name of the code that compresses `algorithm` under the current selection, e.g.
// "portable", "sha-ni", "bmi2".
const char* digestKernelName(DigestAlgorithm algorithm);
