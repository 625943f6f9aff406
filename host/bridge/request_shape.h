// The shape of a request, checked while its JSON is read: a message of any other shape
// is refused at the first token that breaks it, before the rest is read or kept, so a
// page cannot make the host build a large tree from a small message.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace bridge {

// A request has at most this many members...
constexpr size_t kMaxRequestFields = 16;
// ...and its "args" at most this many arguments; no operation takes more than five.
constexpr size_t kMaxArguments = 16;

// Why a request was refused: one of the kError* codes of bridge_session.h and a text.
struct ShapeFailure {
    std::string code;
    std::string message;
    // The request's "id" as JSON when it was read before the failure, else "null".
    std::string idJson = "null";
};

// Reads `body` as one request: a JSON object of at most kMaxRequestFields members with
// distinct names, each a string, number, boolean or null, except "args", an array of at
// most kMaxArguments strings, integers or nulls. On success `message` holds the request
// and true is returned; otherwise `message` is left null and `failure` says why:
// bad_json for text that is not JSON (or not UTF-8), bad_arguments for arguments of
// another shape, bad_message for anything else.
bool parseRequest(const std::string& body, nlohmann::json& message, ShapeFailure& failure);

}  // namespace bridge
