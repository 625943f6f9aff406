#include "host/bridge/request_shape.h"

#include <utility>

#include "host/bridge/bridge_session.h"

namespace bridge {

namespace {

// Builds the request from the parser's events. At the first event the shape does not
// allow it records the failure and from then on keeps nothing: the parser goes on only
// until it meets the request's id (so that the refusal carries it), and stops there. The
// depth is 0 outside the request, 1 in its object, 2 in a member's array or object.
class ShapeReader {
  public:
    using Json = nlohmann::json;

    ShapeReader(Json& message, ShapeFailure& failure) : message_(message), failure_(failure) {}

    bool null() { return scalar(nullptr); }
    bool boolean(bool value) { return depth_ == 2 && !refused() ? badArgument() : scalar(value); }
    bool number_integer(Json::number_integer_t value) { return scalar(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return scalar(value); }
    bool number_float(Json::number_float_t value, const Json::string_t&) {
        return depth_ == 2 && !refused() ? badArgument() : scalar(value);
    }
    bool string(Json::string_t& value) { return scalar(std::move(value)); }
    bool binary(Json::binary_t&) { return refuse(kErrorBadMessage, "binary values are not JSON"); }

    bool start_object(std::size_t) {
        if (refused()) return enter();
        if (depth_ == 0) {
            message_ = Json::object();
            return enter();
        }
        enter();
        return depth_ == 3 ? badArgument() : nested();
    }
    bool key(Json::string_t& name) {
        if (depth_ != 1) return true;
        std::string why;
        if (!refused() && message_.size() == kMaxRequestFields)
            why = "more than " + std::to_string(kMaxRequestFields) + " fields";
        else if (!refused() && message_.contains(name))
            why = "field " + name + " repeated";
        key_ = std::move(name);
        return why.empty() || refuse(kErrorBadMessage, std::move(why));
    }
    bool end_object() {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) {
        if (refused()) return enter();
        if (depth_ == 0) {
            enter();
            return refuse(kErrorBadMessage, "not a JSON object");
        }
        enter();
        if (depth_ == 3) return badArgument();
        if (key_ != "args") return nested();
        message_[key_] = Json::array();
        return true;
    }
    bool end_array() {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        // Only text that is not JSON at all is bad_json; what the shape refused first
        // keeps its own code.
        if (!refused()) {
            failure_.code = kErrorBadJson;
            failure_.message = "not JSON";
        }
        return false;
    }

    // The id read, as JSON, or "null" when none was or it is not an integer.
    std::string idJson() const { return id_.is_number_integer() ? id_.dump() : "null"; }

  private:
    bool refused() const { return !failure_.code.empty(); }
    bool enter() {
        ++depth_;
        return true;
    }

    template <typename T>
    bool scalar(T&& value) {
        if (depth_ == 1 && key_ == "id") {
            if (!id_.is_null()) return !refused();
            id_ = value;
            if (refused()) return false;  // all that was still wanted
        }
        if (refused() || depth_ > 2) return true;
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
    // Records the failure; the parser goes on while the id is still to be found.
    bool refuse(const char* code, std::string message) {
        failure_.code = code;
        failure_.message = std::move(message);
        message_ = nullptr;
        return id_.is_null();
    }

    Json& message_;
    ShapeFailure& failure_;
    int depth_ = 0;
    std::string key_;
    Json id_;
};

}  // namespace

bool parseRequest(const std::string& body, nlohmann::json& message, ShapeFailure& failure) {
    message = nullptr;
    failure = ShapeFailure{};
    ShapeReader reader(message, failure);
    if (nlohmann::json::sax_parse(body, &reader) && failure.code.empty()) return true;
    if (failure.code.empty()) {
        failure.code = kErrorBadJson;
        failure.message = "not JSON";
    }
    if (failure.code != kErrorBadJson) failure.idJson = reader.idJson();
    message = nullptr;
    return false;
}

}  // namespace bridge
