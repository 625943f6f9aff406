// A reader and a writer for DER (X.690) encodings, used inside the layer where OpenSSL's
// parsers and encoders would lose what the platform shows or produces: the encoded order
// and string types of name attributes, the exact octets of values, and structures laid
// out element by element. Errors are the platform's CRYPT_E_ASN1_* values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/types.h"

// One element (identifier, length, contents) inside a buffer the caller keeps alive.
struct DerElement {
    BYTE tag = 0;                 // the first identifier octet
    const BYTE* start = nullptr;  // the first identifier octet's address
    size_t headerLength = 0;      // identifier and length octets
    const BYTE* content = nullptr;
    size_t length = 0;         // contents octets
    size_t trailerLength = 0;  // 2 for the end-of-contents octets of the indefinite form
    size_t size() const { return headerLength + length + trailerLength; }
};

constexpr BYTE kDerInteger = 0x02;
constexpr BYTE kDerBitString = 0x03;
constexpr BYTE kDerOctetString = 0x04;
constexpr BYTE kDerNull = 0x05;
constexpr BYTE kDerOid = 0x06;
constexpr BYTE kDerSequence = 0x30;
constexpr BYTE kDerSet = 0x31;
constexpr BYTE kDerUtcTime = 0x17;
constexpr BYTE kDerGeneralizedTime = 0x18;
// Context-specific constructed tags [0] and [1].
constexpr BYTE kDerContext0 = 0xA0;
constexpr BYTE kDerContext1 = 0xA1;

// Walks the elements stored one after another in a buffer.
class DerCursor {
  public:
    // DER, or BER (X.690 section 8) for messages made elsewhere: it also takes the
    // indefinite length form of constructed elements, whose contents then end before
    // the end-of-contents octets.
    enum class Rules { Der, Ber };
    DerCursor(const BYTE* data, size_t size, Rules rules = Rules::Der)
        : DerCursor(data, size, rules, 0) {}
    explicit DerCursor(const DerElement& constructed, Rules rules = Rules::Der)
        : DerCursor(constructed.content, constructed.length, rules) {}
    bool atEnd() const { return p_ == end_; }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    // Reads the next element. False with *error: CRYPT_E_ASN1_EOD (nothing left, or the
    // length runs past the end), CRYPT_E_ASN1_CORRUPT (an indefinite length under DER or
    // of a primitive element, a cut length), CRYPT_E_ASN1_LARGE (a length of more than
    // four octets, indefinite lengths nested deeper than 64 levels).
    bool next(DerElement& out, DWORD* error);
    // As next, and CRYPT_E_ASN1_BADTAG when the element's first identifier octet is not
    // `tag`.
    bool expect(BYTE tag, DerElement& out, DWORD* error);

  private:
    static constexpr int kMaxDepth = 64;
    DerCursor(const BYTE* data, size_t size, Rules rules, int depth)
        : p_(data), end_(data + size), rules_(rules), depth_(depth) {}
    const BYTE* p_;
    const BYTE* end_;
    Rules rules_;
    int depth_;
};

// True when `size` bytes at `bytes` hold exactly one complete DER element.
bool derIsOneElement(const BYTE* bytes, size_t size);

// The dotted text of an OBJECT IDENTIFIER's contents octets (X.690 section 8.19), or an
// empty string when they are malformed.
std::string derOidText(const BYTE* content, size_t length);

// ---- writing

using DerBytes = std::vector<BYTE>;

// Appends one element: the tag, the definite length in the fewest octets (X.690 section
// 10.1), the contents.
void derAppend(DerBytes& out, BYTE tag, const BYTE* content, size_t length);
inline void derAppend(DerBytes& out, BYTE tag, const DerBytes& content) {
    derAppend(out, tag, content.data(), content.size());
}
// Appends only the tag and the definite length of an element of `length` content
// octets, for an encoder that writes the contents itself.
void derAppendHeader(DerBytes& out, BYTE tag, size_t length);
// The size of a whole element (tag, length octets, contents) of `length` content octets.
size_t derElementSize(size_t length);
// One element as a new buffer.
DerBytes derElement(BYTE tag, const DerBytes& content);
// Appends the OBJECT IDENTIFIER of a dotted text (X.690 section 8.19). False, nothing
// appended, when the text is not at least two arcs of decimal digits with a first arc
// of 0 to 2 (and a second below 40 under 0 and 1).
bool derAppendOid(DerBytes& out, std::string_view dotted);
// Appends a SET OF (or another constructed `tag`) holding `members` in the order DER
// gives them: ascending encodings, a shorter one first when it is the start of a longer
// one (X.690 section 11.6).
void derAppendSetOf(DerBytes& out, BYTE tag, std::vector<DerBytes> members);
