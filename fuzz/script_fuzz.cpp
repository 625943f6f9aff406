// The host's script reader on arbitrary text: statements, argument tokens, JSON string
// literals, integers, objects and queued dialog answers. The calls go late bound to an
// object that only checks and echoes what it receives, so no operation touches files.
// String literals are compared with nlohmann's JSON reader and integers with
// std::from_chars; every line the runner prints must be one JSON object.
#include <charconv>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "control/guids.h"
#include "control/operation_table.h"
#include "fuzz/fuzz_support.h"
#include "host/arguments.h"
#include "host/script_runner.h"
#include "platform/com/com.h"
#include "platform/text/codepage.h"
#include "ui/scripted_backend.h"

namespace {

// Answers every operation of the table through IDispatch: the string result is the
// arguments' text joined, the integer result their sum. Anything the runner passes that
// an operation could not take is a finding.
class EchoObject final : public IDispatch {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown) && !(riid == IID_IDispatch)) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        FUZZ_CHECK(riid == IID_NULL);
        return idsOfNames(names, count, ids);
    }
    HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        FUZZ_CHECK(riid == IID_NULL && flags == DISPATCH_METHOD && params && result);
        const OperationInfo* op = findOperationByDispid(id);
        FUZZ_CHECK(op != nullptr);
        FUZZ_CHECK(params->cArgs == static_cast<UINT>(op->paramCount) && params->cNamedArgs == 0);
        std::u16string text;
        LONG sum = 0;
        for (int i = 0; i < op->paramCount; ++i) {
            const VARIANT& v = params->rgvarg[op->paramCount - 1 - i];
            if (op->params[i].type == ValueType::Int) {
                FUZZ_CHECK(v.vt == VT_I4);
                sum = static_cast<LONG>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(v.lVal));
            } else {
                FUZZ_CHECK(v.vt == VT_BSTR || v.vt == VT_NULL);
                if (v.vt == VT_BSTR) {
                    FUZZ_CHECK(v.bstrVal != nullptr);
                    text.append(v.bstrVal, SysStringLen(v.bstrVal));
                }
            }
        }
        VariantInit(result);
        if (op->result == ValueType::String) {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        } else {
            result->vt = VT_I4;
            result->lVal = sum;
        }
        return S_OK;
    }

  private:
    ULONG refs_ = 1;
};

// A literal we accept is one nlohmann accepts with the same text, unless it spells a lone
// surrogate (which ours keeps and RFC 8259 leaves to the reader); one we refuse, it
// refuses too.
void compareLiteral(const std::string& literal) {
    std::u16string ours;
    std::string reason;
    bool accepted = host::decodeJsonString(literal, ours, reason);
    nlohmann::json theirs = nlohmann::json::parse(literal, nullptr, false);
    bool theyAccept = !theirs.is_discarded() && theirs.is_string();
    if (!accepted) {
        FUZZ_CHECK(!reason.empty());
        FUZZ_CHECK(!theyAccept);
        return;
    }
    if (!fuzz::wellFormedUtf16(ours)) return;
    FUZZ_CHECK(theyAccept);
    FUZZ_CHECK(theirs.get<std::string>() == toUtf8(ours));
}

// Decimal with an optional sign, or 0x hexadecimal, modulo 2^32.
void compareInteger(const std::string& word) {
    std::optional<int32_t> ours = host::parseInt(word);
    std::string_view digits = word;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // from_chars takes no sign of its own here, and only values that fit 64 bits.
    bool plain = !digits.empty() && digits[0] != '+' && digits[0] != '-';
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    bool whole = plain && ec == std::errc() && end == digits.data() + digits.size();
    if (ec == std::errc::result_out_of_range) return;
    FUZZ_CHECK(ours.has_value() == whole);
    if (!whole) return;
    uint32_t low = static_cast<uint32_t>(value);
    if (negative) low = 0u - low;
    FUZZ_CHECK(*ours == static_cast<int32_t>(low));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);

    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        std::vector<host::ArgumentToken> tokens;
        std::string reason;
        if (!host::tokenize(line, tokens, reason)) {
            FUZZ_CHECK(!reason.empty());
            continue;
        }
        for (const host::ArgumentToken& token : tokens) {
            FUZZ_CHECK(!token.text.empty());
            if (token.kind == host::ArgumentToken::Literal)
                compareLiteral(token.text);
            else
                compareInteger(token.text);
        }
    }

    std::ostringstream out;
    int malformed = 0;
    {
        ui::ScriptedBackend scripted([&](const std::string& line) { out << line << '\n'; });
        host::ScriptRunner runner(
            out, &scripted, [](std::string&) -> IDispatch* { return new EchoObject; }, true);
        std::istringstream in(script);
        malformed = runner.runScript(in);
    }
    int errors = 0;
    std::istringstream printed(out.str());
    for (std::string line; std::getline(printed, line);) {
        nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        FUZZ_CHECK(!value.is_discarded() && value.is_object());
        FUZZ_CHECK(value.contains("op") || value.contains("error"));
        if (value.contains("error")) ++errors;
    }
    FUZZ_CHECK(errors == malformed);
    return 0;
}
