// Object encoding: the structures the control hands to CryptEncodeObject, laid out in
// DER by hand so that string types and orders are the platform's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/der.h"
#include "platform/size_protocol.h"
#include "platform/wincrypt.h"
#include "platform/wincrypt_msg.h"

namespace {

constexpr DWORD kInvalidArg = static_cast<DWORD>(E_INVALIDARG);
constexpr auto& fail = failWithLastError;

// Structure types are small integers passed in place of a pointer; anything else is
// an OID string.
bool isStructNumber(LPCSTR type, LPCSTR number) {
    return type == number;
}
bool isSmallNumber(LPCSTR type) {
    return reinterpret_cast<uintptr_t>(type) <= 0xFFFF;
}

// ---- times

// The last FILETIME tick of 9999-12-31 23:59:59: four-digit years are all a time can
// carry in either form.
constexpr uint64_t kLastEncodableTick = 2650467743999999999ull;

// UTCTime for 1950 to 2049, GeneralizedTime otherwise, both in UTC with seconds and
// without fractions (RFC 5280 section 4.1.2.5; RFC 5652 section 11.3 for the signing
// time).
BOOL encodeTime(const FILETIME& time, DerBytes& out) {
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    SYSTEMTIME fields{};
    if (ticks > kLastEncodableTick || !FileTimeToSystemTime(&time, &fields))
        return fail(CRYPT_E_BAD_ENCODE);
    char text[40];
    bool utc = fields.wYear >= 1950 && fields.wYear <= 2049;
    if (utc)
        std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", fields.wYear % 100u,
                      fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    else
        std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02uZ", fields.wYear, fields.wMonth,
                      fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    derAppend(out, utc ? kDerUtcTime : kDerGeneralizedTime, reinterpret_cast<const BYTE*>(text),
              std::strlen(text));
    return TRUE;
}

}  // namespace

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (!pcbEncoded || !lpszStructType) return fail(kInvalidArg);
    if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
        return fail(ERROR_FILE_NOT_FOUND);
    if (!pvStructInfo) return fail(kInvalidArg);
    DerBytes encoded;
    try {
        BOOL ok = FALSE;
        if (isStructNumber(lpszStructType, PKCS_UTC_TIME) ||
            (!isSmallNumber(lpszStructType) &&
             std::strcmp(lpszStructType, szOID_RSA_signingTime) == 0))
            ok = encodeTime(*static_cast<const FILETIME*>(pvStructInfo), encoded);
        else
            return fail(ERROR_FILE_NOT_FOUND);
        if (!ok) return FALSE;
    } catch (const std::bad_alloc&) {
        return fail(static_cast<DWORD>(E_OUTOFMEMORY));
    }
    return giveOutBytes(encoded.data(), encoded.size(), pbEncoded, pcbEncoded);
}
