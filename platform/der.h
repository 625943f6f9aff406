// A reader for DER (X.690) encodings, used inside the layer where OpenSSL's parsers would
// lose what the platform shows: the encoded order and string types of name attributes,
// and the exact octets of values. Errors are the platform's CRYPT_E_ASN1_* values.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"

// One element (identifier, length, contents) inside a buffer the caller keeps alive.
struct DerElement {
    BYTE tag = 0;                 // the first identifier octet
    const BYTE* start = nullptr;  // the first identifier octet's address
    size_t headerLength = 0;      // identifier and length octets
    const BYTE* content = nullptr;
    size_t length = 0;  // contents octets
    size_t size() const { return headerLength + length; }
};

constexpr BYTE kDerInteger = 0x02;
constexpr BYTE kDerBitString = 0x03;
constexpr BYTE kDerOctetString = 0x04;
constexpr BYTE kDerOid = 0x06;
constexpr BYTE kDerSequence = 0x30;
constexpr BYTE kDerSet = 0x31;

// Walks the elements stored one after another in a buffer.
class DerCursor {
  public:
    DerCursor(const BYTE* data, size_t size) : p_(data), end_(data + size) {}
    explicit DerCursor(const DerElement& constructed)
        : DerCursor(constructed.content, constructed.length) {}
    bool atEnd() const { return p_ == end_; }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    // Reads the next element. False with *error: CRYPT_E_ASN1_EOD (nothing left, or the
    // length runs past the end), CRYPT_E_ASN1_CORRUPT (indefinite or cut length),
    // CRYPT_E_ASN1_LARGE (a length of more than four octets).
    bool next(DerElement& out, DWORD* error);
    // As next, and CRYPT_E_ASN1_BADTAG when the element's first identifier octet is not
    // `tag`.
    bool expect(BYTE tag, DerElement& out, DWORD* error);

  private:
    const BYTE* p_;
    const BYTE* end_;
};

// The dotted text of an OBJECT IDENTIFIER's contents octets (X.690 section 8.19), or an
// empty string when they are malformed.
std::string derOidText(const BYTE* content, size_t length);
