// Loads and stores of fixed-width integers in a stated byte order, from and to byte
// arrays with no alignment of their own. Compilers turn each into one move (and a
// byte swap where the order differs from the processor's).
#pragma once

#include <cstdint>
#include <cstring>

namespace endian {

inline uint32_t load32le(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap32(v);
    return v;
}

inline uint32_t load32be(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t load64be(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap64(v);
    return v;
}

inline void store32le(uint8_t* p, uint32_t v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline void store32be(uint8_t* p, uint32_t v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline void store64le(uint8_t* p, uint64_t v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

inline void store64be(uint8_t* p, uint64_t v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

inline uint32_t rotl32(uint32_t x, int n) {
    return (x << n) | (x >> ((32 - n) & 31));
}
inline uint32_t rotr32(uint32_t x, int n) {
    return (x >> n) | (x << ((32 - n) & 31));
}
inline uint64_t rotr64(uint64_t x, int n) {
    return (x >> n) | (x << ((64 - n) & 63));
}

}  // namespace endian
