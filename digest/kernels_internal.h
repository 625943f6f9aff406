// Compression functions of the four digests, one per instruction set. Each takes the
// chaining value and a count of consecutive whole blocks; all variants of one
// algorithm give identical results. Internal to digest/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace digest_kernels {

void md5Portable(uint32_t* state, const uint8_t* data, size_t blocks);

void sha1Portable(uint32_t* state, const uint8_t* data, size_t blocks);
void sha1ShaNi(uint32_t* state, const uint8_t* data, size_t blocks);

void sha256Portable(uint32_t* state, const uint8_t* data, size_t blocks);
void sha256ShaNi(uint32_t* state, const uint8_t* data, size_t blocks);

void sha512Portable(uint64_t* state, const uint8_t* data, size_t blocks);
void sha512Avx2(uint64_t* state, const uint8_t* data, size_t blocks);

// What the processor offers, read once.
bool cpuHasShaNi();
bool cpuHasAvx2();

}  // namespace digest_kernels
