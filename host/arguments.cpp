#include "host/arguments.h"

#include <nlohmann/json.hpp>

#include "platform/text/ascii.h"
#include "platform/text/codepage.h"

namespace host {

namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// The code unit of the \u escape starting at body[i], or none when there is no complete
// one there.
std::optional<char16_t> escapedUnit(std::string_view body, size_t i) {
    if (i + 6 > body.size() || body[i] != '\\' || body[i + 1] != 'u') return std::nullopt;
    unsigned value = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
        int h = text::hexDigitValue(body[k]);
        if (h < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(h);
    }
    return static_cast<char16_t>(value);
}

// Takes the string a JSON text holds, or the parser's account of why it holds none.
class StringReader : public nlohmann::json_sax<nlohmann::json> {
  public:
    std::string value;
    std::string error;

    bool string(string_t& text) override {
        value = std::move(text);
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        error = e.what();
        return false;
    }
    bool null() override { return notString(); }
    bool boolean(bool) override { return notString(); }
    bool number_integer(number_integer_t) override { return notString(); }
    bool number_unsigned(number_unsigned_t) override { return notString(); }
    bool number_float(number_float_t, const string_t&) override { return notString(); }
    bool binary(binary_t&) override { return notString(); }
    bool start_object(std::size_t) override { return notString(); }
    bool key(string_t&) override { return notString(); }
    bool end_object() override { return notString(); }
    bool start_array(std::size_t) override { return notString(); }
    bool end_array() override { return notString(); }

  private:
    bool notString() {
        error = "not a string literal";
        return false;
    }
};

// Appends the UTF-16 text of the JSON string body `run` (no quotes). False with the
// parser's reason when it is malformed or not UTF-8.
bool decodeRun(std::string_view run, std::u16string& out, std::string& reason) {
    std::string literal;
    literal.reserve(run.size() + 2);
    literal.push_back('"');
    literal.append(run);
    literal.push_back('"');
    StringReader reader;
    if (!nlohmann::json::sax_parse(literal, &reader) || !reader.error.empty()) {
        reason = reader.error.empty() ? "malformed string literal" : reader.error;
        return false;
    }
    out += fromUtf8(reader.value);
    return true;
}

}  // namespace

bool tokenize(std::string_view line, std::vector<ArgumentToken>& tokens, std::string& reason) {
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size()) break;
        ArgumentToken token;
        if (line[i] == '"') {
            size_t j = i + 1;
            bool closed = false;
            while (j < line.size()) {
                if (line[j] == '\\') {
                    j += 2;
                    continue;
                }
                if (line[j] == '"') {
                    closed = true;
                    break;
                }
                ++j;
            }
            if (!closed) {
                reason = "unterminated string literal";
                return false;
            }
            if (j + 1 < line.size() && !isBlank(line[j + 1])) {
                reason = "a string literal must be followed by a blank";
                return false;
            }
            token.kind = ArgumentToken::Literal;
            token.text = std::string(line.substr(i, j + 1 - i));
            i = j + 1;
        } else {
            size_t j = i;
            while (j < line.size() && !isBlank(line[j])) ++j;
            token.text = std::string(line.substr(i, j - i));
            token.kind = token.text == "null" ? ArgumentToken::Null : ArgumentToken::Word;
            i = j;
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

bool decodeJsonString(std::string_view literal, std::u16string& out, std::string& reason) {
    out.clear();
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
        reason = "not a string literal";
        return false;
    }
    // The JSON parser refuses a \u escape of a lone surrogate, which a script may write to
    // pass any UTF-16 code unit (RFC 8259 leaves such strings to the reader). Each one is
    // cut out and kept as it is; the runs between them go to the parser.
    std::string_view body = literal.substr(1, literal.size() - 2);
    size_t runStart = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\') continue;
        std::optional<char16_t> unit = escapedUnit(body, i);
        if (!unit || !isSurrogate(*unit)) {
            ++i;  // the escaped character
            continue;
        }
        if (*unit < 0xDC00) {
            std::optional<char16_t> next = escapedUnit(body, i + 6);
            if (next && *next >= 0xDC00 && *next <= 0xDFFF) {
                i += 11;  // a pair: the parser's
                continue;
            }
        }
        if (!decodeRun(body.substr(runStart, i - runStart), out, reason)) return false;
        out.push_back(*unit);
        i += 5;
        runStart = i + 1;
    }
    return decodeRun(body.substr(runStart), out, reason);
}

std::optional<int32_t> parseInt(std::string_view text) {
    if (text.empty()) return std::nullopt;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    uint32_t base = 10;
    if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    uint32_t value = 0;  // arithmetic modulo 2^32
    for (; i < text.size(); ++i) {
        int d = base == 16 ? text::hexDigitValue(text[i])
                           : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (d < 0) return std::nullopt;
        value = value * base + static_cast<uint32_t>(d);
    }
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

std::string printable(const std::u16string& text) {
    return toUtf8(text);
}

}  // namespace host
