// Numbers to and from text in VariantChangeType must not follow LC_NUMERIC: a page's
// "1.5" is one and a half under a German desktop too. The expected texts are Python's
// '%.15g' % value and the expected numbers Python's float(text) (as float.hex()), so the
// table does not come from the code it checks.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace {

struct FormatRow {
    double value;
    const char* text;
};
const FormatRow kFormats[] = {
    {0.1, "0.1"},
    {1.0 / 3.0, "0.333333333333333"},
    {1e21, "1e+21"},
    {1e-7, "1e-07"},
    {123456789012345678.0, "1.23456789012346e+17"},
    {-2.5, "-2.5"},
    {1e15, "1e+15"},
    {1e16, "1e+16"},
    {2.5e-05, "2.5e-05"},
    {1234.5, "1234.5"},
    {-0.0, "-0"},
    {5e-324, "4.94065645841247e-324"},
    {1.7976931348623157e308, "1.79769313486232e+308"},
};

struct ParseRow {
    const char16_t* text;
    bool accepted;
    double value;
};
const ParseRow kParses[] = {
    {u"1.5", true, 0x1.8p+0},
    {u" -2.25e3 ", true, -0x1.194p+11},
    {u"+.5", true, 0x1p-1},
    {u"007", true, 0x1.cp+2},
    {u"-1E-5", true, -0x1.4f8b588e368f1p-17},
    {u"123456789012345678901234567890", true, 0x1.8ee90ff6c373ep+96},
    // Refused: a decimal comma, two signs, a bare exponent mark, and results out of the
    // range of normal doubles.
    {u"1,5", false, 0},
    {u"+-1", false, 0},
    {u"1e", false, 0},
    {u"1e309", false, 0},
    {u"1e-310", false, 0},
};

std::string formatted(double value) {
    VARIANT in;
    VariantInit(&in);
    in.vt = VT_R8;
    in.dblVal = value;
    VARIANT out;
    VariantInit(&out);
    if (VariantChangeType(&out, &in, 0, VT_BSTR) != S_OK) return "(failed)";
    BstrHolder text(out.bstrVal);
    std::u16string wide = text.text();
    return std::string(wide.begin(), wide.end());
}

void checkConversions() {
    for (const FormatRow& row : kFormats) EXPECT_EQ(formatted(row.value), row.text) << row.text;
    for (const ParseRow& row : kParses) {
        BstrHolder text = BstrHolder::fromU16(row.text);
        VARIANT in;
        VariantInit(&in);
        in.vt = VT_BSTR;
        in.bstrVal = text.get();
        VARIANT out;
        VariantInit(&out);
        HRESULT hr = VariantChangeType(&out, &in, 0, VT_R8);
        std::string label(row.text, row.text + std::char_traits<char16_t>::length(row.text));
        if (!row.accepted) {
            EXPECT_EQ(hr, DISP_E_TYPEMISMATCH) << label;
            continue;
        }
        ASSERT_EQ(hr, S_OK) << label;
        EXPECT_EQ(out.dblVal, row.value) << label;
    }
}

}  // namespace

TEST(VariantNumbers, CLocale) {
    checkConversions();
}

TEST(VariantNumbers, CommaDecimalLocale) {
    struct Restore {
        std::string saved = std::setlocale(LC_NUMERIC, nullptr);
        ~Restore() { std::setlocale(LC_NUMERIC, saved.c_str()); }
    } restore;
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale";
    checkConversions();
}
