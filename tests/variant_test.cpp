// Conversions of by-reference variants: one reference to a value, or a reference to a
// variant that holds a value or one reference to it; a reference to a variant reference
// (a chain, or a variant pointing at itself) is refused rather than followed.
#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <string>

namespace {

VARIANT byRef(VARTYPE base, void* target) {
    VARIANT v;
    VariantInit(&v);
    v.vt = static_cast<VARTYPE>(base | VT_BYREF);
    v.byref = target;
    return v;
}

VARIANT i4(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace

TEST(VariantChangeType, ByReference) {
    LONG number = 42;
    VARIANT plain = i4(7);
    VARIANT toNumber = byRef(VT_I4, &number);
    VARIANT toPlain = byRef(VT_VARIANT, &plain);
    VARIANT toToNumber = byRef(VT_VARIANT, &toNumber);
    VARIANT chain = byRef(VT_VARIANT, &toPlain);
    VARIANT self = byRef(VT_VARIANT, nullptr);
    self.byref = &self;
    VARIANT loopA = byRef(VT_VARIANT, nullptr), loopB = byRef(VT_VARIANT, &loopA);
    loopA.byref = &loopB;
    VARIANT null = byRef(VT_I4, nullptr);
    VARIANT nullVariant = byRef(VT_VARIANT, nullptr);

    const struct {
        const char* name;
        VARIANT* source;
        HRESULT hr;
        LONG value;            // as VT_I4 and
        const char16_t* text;  // as VT_BSTR, when hr is S_OK
    } cases[] = {
        {"reference to a value", &toNumber, S_OK, 42, u"42"},
        {"reference to a variant", &toPlain, S_OK, 7, u"7"},
        {"reference to a variant holding a reference", &toToNumber, S_OK, 42, u"42"},
        {"reference to a variant reference", &chain, DISP_E_BADVARTYPE, 0, nullptr},
        {"variant reference to itself", &self, DISP_E_BADVARTYPE, 0, nullptr},
        {"two variant references to each other", &loopA, DISP_E_BADVARTYPE, 0, nullptr},
        {"null reference", &null, DISP_E_BADVARTYPE, 0, nullptr},
        {"null variant reference", &nullVariant, DISP_E_BADVARTYPE, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT number, text;
        VariantInit(&number);
        VariantInit(&text);
        EXPECT_EQ(VariantChangeType(&number, c.source, 0, VT_I4), c.hr);
        EXPECT_EQ(VariantChangeType(&text, c.source, 0, VT_BSTR), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(number.vt, VT_I4);
            EXPECT_EQ(number.lVal, c.value);
            ASSERT_EQ(text.vt, VT_BSTR);
            EXPECT_EQ(std::u16string(text.bstrVal, SysStringLen(text.bstrVal)), c.text);
        } else {
            EXPECT_EQ(number.vt, VT_EMPTY);
            EXPECT_EQ(text.vt, VT_EMPTY);
        }
        VariantClear(&text);
    }
}
