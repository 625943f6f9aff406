// How the host reads call arguments and prints results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One argument as written: a JSON string literal, a bare word, or null.
struct ArgumentToken {
    enum Kind { Literal, Word, Null } kind = Word;
    std::string text;  // the literal with its quotes, or the word
};

// Splits the arguments part of a call line into tokens. JSON string literals may hold
// blanks; everything else is split at blanks and tabs. False with a reason for an
// unterminated literal or a literal followed directly by other characters.
bool tokenize(std::string_view line, std::vector<ArgumentToken>& tokens, std::string& reason);

// Decodes a JSON string literal (RFC 8259 section 7) to UTF-16. \u escapes may give
// any code unit, lone surrogates and U+0000 included. False with a reason when the
// literal is malformed or its raw text is not UTF-8.
bool decodeJsonString(std::string_view literal, std::u16string& out, std::string& reason);

// A decimal (optional sign) or 0x hexadecimal integer, taken modulo 2^32 as a signed
// 32-bit value. Empty when the text is not such a number.
std::optional<int32_t> parseInt(std::string_view text);

// UTF-8 text of a UTF-16 string for printing; a lone surrogate becomes U+FFFD.
std::string printable(const std::u16string& text);

}  // namespace host
