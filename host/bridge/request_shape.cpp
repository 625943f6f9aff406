#include "host/bridge/request_shape.h"

#include <utility>

#include "host/bridge/bridge_session.h"

namespace bridge {

namespace {

// Builds the request from the parser's events and stops the parser (by returning false)
// at the first event the shape does not allow. The depth is 0 outside the request, 1 in
// its object and 2 in its "args" array; nothing nests deeper.
class ShapeReader {
  public:
    using Json = nlohmann::json;

    ShapeReader(Json& message, ShapeFailure& failure) : message_(message), failure_(failure) {}

    bool null() { return scalar(nullptr); }
    bool boolean(bool value) { return depth_ == 2 ? badArgument() : scalar(value); }
    bool number_integer(Json::number_integer_t value) { return scalar(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return scalar(value); }
    bool number_float(Json::number_float_t value, const Json::string_t&) {
        return depth_ == 2 ? badArgument() : scalar(value);
    }
    bool string(Json::string_t& value) { return scalar(std::move(value)); }
    bool binary(Json::binary_t&) { return refuse(kErrorBadMessage, "binary values are not JSON"); }

    bool start_object(std::size_t) {
        if (depth_ == 0) {
            message_ = Json::object();
            depth_ = 1;
            return true;
        }
        if (depth_ == 2) return badArgument();
        return nested();
    }
    bool key(Json::string_t& name) {
        if (message_.size() == kMaxRequestFields)
            return refuse(kErrorBadMessage,
                          "more than " + std::to_string(kMaxRequestFields) + " fields");
        if (message_.contains(name)) return refuse(kErrorBadMessage, "field " + name + " repeated");
        key_ = std::move(name);
        return true;
    }
    bool end_object() {
        depth_ = 0;
        return true;
    }
    bool start_array(std::size_t) {
        if (depth_ == 0) return refuse(kErrorBadMessage, "not a JSON object");
        if (depth_ == 2) return badArgument();
        if (key_ != "args") return nested();
        message_[key_] = Json::array();
        depth_ = 2;
        return true;
    }
    bool end_array() {
        depth_ = 1;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        // Only text that is not JSON at all is bad_json; what the shape refused first
        // keeps its own code.
        if (failure_.code.empty()) {
            failure_.code = kErrorBadJson;
            failure_.message = "not JSON";
        }
        return false;
    }

  private:
    template <typename T>
    bool scalar(T&& value) {
        if (depth_ == 0) return refuse(kErrorBadMessage, "not a JSON object");
        if (depth_ == 1) {
            message_[key_] = std::forward<T>(value);
            return true;
        }
        Json& args = message_[key_];
        if (args.size() == kMaxArguments)
            return refuse(kErrorBadArguments,
                          "more than " + std::to_string(kMaxArguments) + " arguments");
        args.push_back(std::forward<T>(value));
        return true;
    }
    bool nested() {
        if (key_ == "args") return refuse(kErrorBadArguments, "args must be an array");
        return refuse(kErrorBadMessage, "field " + key_ + " must not be an object or array");
    }
    bool badArgument() {
        return refuse(kErrorBadArguments, "arguments must be strings, integers or null");
    }
    bool refuse(const char* code, std::string message) {
        failure_.code = code;
        failure_.message = std::move(message);
        return false;
    }

    Json& message_;
    ShapeFailure& failure_;
    int depth_ = 0;
    std::string key_;
};

}  // namespace

bool parseRequest(const std::string& body, nlohmann::json& message, ShapeFailure& failure) {
    message = nullptr;
    failure = ShapeFailure{};
    ShapeReader reader(message, failure);
    if (nlohmann::json::sax_parse(body, &reader)) return true;
    if (failure.code.empty()) {
        failure.code = kErrorBadJson;
        failure.message = "not JSON";
    }
    if (failure.code != kErrorBadJson && message.is_object()) {
        auto id = message.find("id");
        if (id != message.end() && id->is_number_integer()) failure.idJson = id->dump();
    }
    message = nullptr;
    return false;
}

}  // namespace bridge
