#include "host/arguments.h"

#include "platform/codepage.h"

namespace host {

namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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
    std::string_view body = literal.substr(1, literal.size() - 2);
    size_t i = 0;
    while (i < body.size()) {
        // Copy a run of plain characters at once.
        size_t j = i;
        while (j < body.size() && body[j] != '\\' && body[j] != '"' &&
               static_cast<unsigned char>(body[j]) >= 0x20)
            ++j;
        if (j > i) {
            std::string_view run = body.substr(i, j - i);
            if (!isWellFormedUtf8(run)) {
                reason = "string literal is not UTF-8";
                return false;
            }
            out += fromUtf8(run);
            i = j;
            continue;
        }
        char c = body[i];
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) {
            reason = c == '"' ? "unescaped quote in string literal"
                              : "control character in string literal";
            return false;
        }
        // c == '\\'
        if (i + 1 >= body.size()) {
            reason = "dangling escape in string literal";
            return false;
        }
        char e = body[i + 1];
        i += 2;
        switch (e) {
            case '"':
                out.push_back(u'"');
                break;
            case '\\':
                out.push_back(u'\\');
                break;
            case '/':
                out.push_back(u'/');
                break;
            case 'b':
                out.push_back(u'\b');
                break;
            case 'f':
                out.push_back(u'\f');
                break;
            case 'n':
                out.push_back(u'\n');
                break;
            case 'r':
                out.push_back(u'\r');
                break;
            case 't':
                out.push_back(u'\t');
                break;
            case 'u': {
                if (i + 4 > body.size()) {
                    reason = "short \\u escape";
                    return false;
                }
                int v = 0;
                for (int k = 0; k < 4; ++k) {
                    int h = hexValue(body[i + k]);
                    if (h < 0) {
                        reason = "bad \\u escape";
                        return false;
                    }
                    v = v * 16 + h;
                }
                i += 4;
                out.push_back(static_cast<char16_t>(v));
                break;
            }
            default:
                reason = std::string("unknown escape \\") + e;
                return false;
        }
    }
    return true;
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
        int d = base == 16 ? hexValue(text[i])
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
