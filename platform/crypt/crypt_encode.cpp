#include "platform/crypt/crypt_encode_internal.h"

namespace {

bool encodeAttribute(const CRYPT_ATTRIBUTE& attribute, DerBytes& out) {
    if (!attribute.pszObjId || (attribute.cValue && !attribute.rgValue)) return false;
    DerBytes content;
    if (!derAppendOid(content, attribute.pszObjId)) return false;
    std::vector<DerBytes> values;
    for (DWORD i = 0; i < attribute.cValue; ++i) {
        const CRYPT_ATTR_BLOB& value = attribute.rgValue[i];
        if (!derIsOneElement(value.pbData, value.cbData)) return false;
        values.emplace_back(value.pbData, value.pbData + value.cbData);
    }
    derAppendSetOf(content, kDerSet, std::move(values));
    out = derElement(kDerSequence, content);
    return true;
}

}  // namespace

bool cryptAppendAlgorithm(DerBytes& out, std::string_view oid, const CRYPT_OBJID_BLOB& parameters) {
    DerBytes content;
    if (!derAppendOid(content, oid)) return false;
    if (parameters.cbData) {
        if (!derIsOneElement(parameters.pbData, parameters.cbData)) return false;
        content.insert(content.end(), parameters.pbData, parameters.pbData + parameters.cbData);
    } else {
        derAppend(content, kDerNull, nullptr, 0);
    }
    derAppend(out, kDerSequence, content);
    return true;
}

bool cryptEncodeAttributes(DWORD count, const CRYPT_ATTRIBUTE* attributes,
                           std::vector<DerBytes>& out) {
    if (count && !attributes) return false;
    for (DWORD i = 0; i < count; ++i) {
        DerBytes encoded;
        if (!encodeAttribute(attributes[i], encoded)) return false;
        out.push_back(std::move(encoded));
    }
    return true;
}
