// DES and triple DES (FIPS 46-3; EDE as in NIST SP 800-67) in CBC mode with PKCS#5
// padding and an all-zero initial chaining value, encrypting into an owned buffer.
// Our own implementation: it does not go through the platform's providers.
#pragma once

#include <cstdint>

#include "core/byte_buffer.h"
#include "platform/crypt/wincrypt_ids.h"

class DesCipher {
  public:
    // The ciphertext of the last encrypt(); emptied at the start of each call.
    ByteBuffer output;

    DesCipher() = default;
    // Wipes the key copy and every value derived from it.
    ~DesCipher();
    DesCipher(const DesCipher&) = delete;
    DesCipher& operator=(const DesCipher&) = delete;

    // CALG_3DES (three keys, K1 K2 K3) and CALG_3DES_112 (two keys, K1 K2 K1) select
    // those; every other value selects single DES (CALG_DES), the initial choice.
    void setAlgorithm(ALG_ID algorithm);
    ALG_ID algorithm() const { return algorithm_; }
    // Replaces the key by a copy of `length` bytes (the previous copy is wiped). A null
    // `bytes` or a length below 1 leaves the object without a key. The parity bit of
    // each byte is ignored; weak keys are not rejected.
    void setKey(const BYTE* bytes, int32_t length);
    // Encrypts `length` bytes at `data` into `output`: CBC from a zero chaining value,
    // padded with 1 to 8 bytes of the pad length, so the output is a multiple of 8 and
    // 1 to 8 bytes longer than the input. False, `output` empty, for a null `data`, a
    // length below 1, a key missing or shorter than the algorithm reads (8, 24 or 16
    // bytes), or no memory for the output.
    bool encrypt(const BYTE* data, int32_t length);

  private:
    void wipeSchedules();

    ALG_ID algorithm_ = CALG_DES;
    ByteBuffer key_;
    BYTE iv_[8] = {};
    // Round keys of K1 and K3 in encryption order and of K2 in decryption order, each
    // as two words that hold four of its eight 6-bit groups at bits 0, 8, 16 and 24.
    uint32_t schedules_[3][16][2] = {};
    uint64_t chain_ = 0;
};
