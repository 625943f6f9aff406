#include "platform/system/rpc.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/text/ascii.h"

RPC_STATUS UuidCreate(UUID* Uuid) {
    if (!Uuid) return RPC_S_INVALID_ARG;
    BYTE bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        ERR_clear_error();
        std::memset(Uuid, 0, sizeof *Uuid);
        return RPC_S_UUID_NO_ADDRESS;
    }
    // RFC 4122 section 4.4: version 4 in the high nibble of time_hi_and_version, the
    // variant bits 10 at the top of clock_seq_hi_and_reserved.
    bytes[6] = static_cast<BYTE>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);
    Uuid->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) |
                  (uint32_t(bytes[2]) << 8) | bytes[3];
    Uuid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    Uuid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(Uuid->Data4, bytes + 8, 8);
    return RPC_S_OK;
}

RPC_STATUS UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid) {
    if (!StringUuid) return RPC_S_INVALID_ARG;
    *StringUuid = nullptr;
    if (!Uuid) return RPC_S_INVALID_ARG;
    auto* text = static_cast<char*>(std::malloc(37));
    if (!text) return RPC_S_OUT_OF_MEMORY;
    const BYTE* d = Uuid->Data4;
    std::snprintf(text, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(Uuid->Data1), Uuid->Data2, Uuid->Data3, d[0], d[1], d[2],
                  d[3], d[4], d[5], d[6], d[7]);
    *StringUuid = reinterpret_cast<RPC_CSTR>(text);
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* String) {
    if (!String) return RPC_S_INVALID_ARG;
    std::free(*String);
    *String = nullptr;
    return RPC_S_OK;
}

RPC_STATUS newUpperCaseUuidText(std::string& text) {
    text.clear();
    UUID uuid{};
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK) return status;
    RPC_CSTR string = nullptr;
    status = UuidToStringA(&uuid, &string);
    if (status != RPC_S_OK) return status;
    text = reinterpret_cast<const char*>(string);
    RpcStringFreeA(&string);
    // The text holds hex digits and hyphens only.
    text = text::asciiUpper(text);
    return RPC_S_OK;
}
