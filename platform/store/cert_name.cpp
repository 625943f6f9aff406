// Distinguished names as text. The name's DER is walked here rather than through
// OpenSSL's X509_NAME, which rejects some attribute value types the platform renders
// and does not say which string type a value had.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/der_internal.h"
#include "platform/crypt/wincrypt.h"
#include "platform/text/ascii.h"
#include "platform/text/codepage.h"

namespace {

struct NameAttribute {
    std::string oid;
    DerElement value;
};
using RelativeName = std::vector<NameAttribute>;

// Name ::= SEQUENCE OF RelativeDistinguishedName, each a SET OF AttributeTypeAndValue
// ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY } (RFC 5280 section 4.1.2.4). As with
// certificates, bytes after the outer SEQUENCE are ignored.
bool decodeName(const CERT_NAME_BLOB& blob, std::vector<RelativeName>& out, DWORD& error) {
    if (!blob.pbData && blob.cbData) {
        error = static_cast<DWORD>(E_INVALIDARG);
        return false;
    }
    DerCursor outer(blob.pbData, blob.cbData);
    DerElement name;
    if (!outer.expect(kDerSequence, name, &error)) return false;
    DerCursor rdns(name);
    while (!rdns.atEnd()) {
        DerElement set;
        if (!rdns.expect(kDerSet, set, &error)) return false;
        RelativeName rdn;
        DerCursor attributes(set);
        while (!attributes.atEnd()) {
            DerElement atv, type;
            NameAttribute attribute;
            if (!attributes.expect(kDerSequence, atv, &error)) return false;
            DerCursor fields(atv);
            if (!fields.expect(kDerOid, type, &error) || !fields.next(attribute.value, &error))
                return false;
            attribute.oid = derOidText(type.content, type.length);
            if (attribute.oid.empty() || !fields.atEnd()) {
                error = CRYPT_E_ASN1_CORRUPT;
                return false;
            }
            rdn.push_back(std::move(attribute));
        }
        out.push_back(std::move(rdn));
    }
    return true;
}

// Attribute keys of the X.500 form.
struct X500Key {
    const char* oid;
    const char* key;
};
constexpr X500Key kX500Keys[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
};

std::string x500Key(const std::string& oid) {
    for (const X500Key& k : kX500Keys)
        if (oid == k.oid) return k.key;
    return "OID." + oid;
}

// Universal tags of the string types (X.680 section 8.4).
constexpr BYTE kUtf8String = 0x0C;
constexpr BYTE kNumericString = 0x12;
constexpr BYTE kPrintableString = 0x13;
constexpr BYTE kTeletexString = 0x14;
constexpr BYTE kVideotexString = 0x15;
constexpr BYTE kIa5String = 0x16;
constexpr BYTE kGraphicString = 0x19;
constexpr BYTE kVisibleString = 0x1A;
constexpr BYTE kGeneralString = 0x1B;
constexpr BYTE kUniversalString = 0x1C;
constexpr BYTE kBmpString = 0x1E;

bool isByteString(BYTE tag) {
    switch (tag) {
        case kNumericString:
        case kPrintableString:
        case kTeletexString:
        case kVideotexString:
        case kIa5String:
        case kGraphicString:
        case kVisibleString:
        case kGeneralString:
            return true;
        default:
            return false;
    }
}

// The UTF-16 text of a BMPString (UCS-2, big-endian), UTF8String or UniversalString
// (UCS-4, big-endian). False for contents that are no whole number of characters.
bool wideValue(const DerElement& v, std::u16string& out) {
    const BYTE* p = v.content;
    switch (v.tag) {
        case kBmpString:
            if (v.length % 2) return false;
            for (size_t i = 0; i < v.length; i += 2)
                out.push_back(static_cast<char16_t>((p[i] << 8) | p[i + 1]));
            return true;
        case kUniversalString:
            if (v.length % 4) return false;
            for (size_t i = 0; i < v.length; i += 4)
                appendCodePoint(out, (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) |
                                         (uint32_t{p[i + 2]} << 8) | p[i + 3]);
            return true;
        case kUtf8String:
            out = fromUtf8(std::string_view(reinterpret_cast<const char*>(p), v.length));
            return true;
        default:
            return false;
    }
}

template <typename Char>
bool isBlank(Char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The platform puts a value in double quotes, doubling the quotes inside, when it starts
// or ends with white space or holds a character that is special in the string form.
template <typename Text>
Text quoted(const Text& value) {
    bool needs = !value.empty() && (isBlank(value.front()) || isBlank(value.back()));
    for (auto c : value) {
        switch (c) {
            case ',':
            case '+':
            case '=':
            case '"':
            case '\n':
            case '<':
            case '>':
            case '#':
            case ';':
                needs = true;
                break;
            default:
                break;
        }
    }
    if (!needs) return value;
    Text out(1, '"');
    for (auto c : value) {
        out.push_back(c);
        if (c == '"') out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A value as the platform prints it: strings in the ANSI code page (the byte string types
// byte for byte), anything else as '#' and the upper-case hex of its whole encoding.
bool valueText(const DerElement& v, bool quote, std::string& out, DWORD& error) {
    if (isByteString(v.tag)) {
        std::string bytes(reinterpret_cast<const char*>(v.content), v.length);
        out += quote ? quoted(bytes) : bytes;
        return true;
    }
    if (v.tag == kBmpString || v.tag == kUtf8String || v.tag == kUniversalString) {
        std::u16string wide;
        if (!wideValue(v, wide)) {
            error = CRYPT_E_ASN1_CORRUPT;
            return false;
        }
        out += toAnsi(quote ? quoted(wide) : wide);
        return true;
    }
    out.push_back('#');
    out += text::hexOf(v.start, v.size());
    return true;
}

bool renderName(const CERT_NAME_BLOB& blob, DWORD strType, std::string& out, DWORD& error) {
    std::vector<RelativeName> rdns;
    if (!decodeName(blob, rdns, error)) return false;
    const char* separator = (strType & CERT_NAME_STR_SEMICOLON_FLAG) ? "; "
                            : (strType & CERT_NAME_STR_CRLF_FLAG)    ? "\r\n"
                                                                     : ", ";
    const char* plus = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
    bool quote = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);
    bool reverse = (strType & CERT_NAME_STR_REVERSE_FLAG) != 0;
    DWORD form = strType & 0xFF;
    for (size_t i = 0; i < rdns.size(); ++i) {
        const RelativeName& rdn = rdns[reverse ? rdns.size() - 1 - i : i];
        if (i) out += separator;
        for (size_t j = 0; j < rdn.size(); ++j) {
            if (j) out += plus;
            if (form == CERT_X500_NAME_STR)
                out += x500Key(rdn[j].oid) + "=";
            else if (form == CERT_OID_NAME_STR)
                out += rdn[j].oid + "=";
            if (!valueText(rdn[j].value, quote, out, error)) return false;
        }
    }
    return true;
}

// The first attribute with the OID, in encoded order.
const NameAttribute* findAttribute(const std::vector<RelativeName>& rdns, const char* oid) {
    for (const RelativeName& rdn : rdns)
        for (const NameAttribute& attribute : rdn)
            if (attribute.oid == oid) return &attribute;
    return nullptr;
}

// The two-call size protocol of the name functions: the size with the terminator, or the
// text and its size, or a lone terminator when the buffer is short.
DWORD giveText(const std::string& text, LPSTR psz, DWORD csz) {
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (!psz || csz == 0) return needed;
    if (csz < needed) {
        psz[0] = 0;
        return 1;
    }
    std::memcpy(psz, text.data(), text.size());
    psz[text.size()] = 0;
    return needed;
}

}  // namespace

DWORD CertNameToStrA(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPSTR psz, DWORD csz) {
    std::string text;
    DWORD error = ERROR_SUCCESS;
    if (!pName)
        error = static_cast<DWORD>(E_INVALIDARG);
    else if ((dwCertEncodingType & CERT_ENCODING_TYPE_MASK) != X509_ASN_ENCODING)
        error = ERROR_FILE_NOT_FOUND;
    else if (!renderName(*pName, dwStrType, text, error))
        text.clear();
    // The platform clears the last error when the name renders.
    SetLastError(error);
    return giveText(text, psz, csz);
}

DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPSTR pszNameString, DWORD cchNameString) {
    std::string text;
    if (!pCertContext || !pCertContext->pCertInfo) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return giveText(text, pszNameString, cchNameString);
    }
    const CERT_INFO& info = *pCertContext->pCertInfo;
    const CERT_NAME_BLOB& name = (dwFlags & CERT_NAME_ISSUER_FLAG) ? info.Issuer : info.Subject;
    DWORD error = ERROR_SUCCESS;
    if (dwType == CERT_NAME_ATTR_TYPE) {
        const char* oid = static_cast<const char*>(pvTypePara);
        std::vector<RelativeName> rdns;
        if (!oid) {
            error = CRYPT_E_NOT_FOUND;
        } else if (decodeName(name, rdns, error)) {
            const NameAttribute* first = findAttribute(rdns, oid);
            if (!first)
                error = CRYPT_E_NOT_FOUND;
            else if (!valueText(first->value, false, text, error))
                text.clear();
        }
    } else if (dwType == CERT_NAME_RDN_TYPE) {
        DWORD strType = pvTypePara ? *static_cast<const DWORD*>(pvTypePara) : 0;
        if (!renderName(name, strType, text, error)) text.clear();
    }
    if (error != ERROR_SUCCESS) SetLastError(error);
    return giveText(text, pszNameString, cchNameString);
}
