#include "host/bridge/bridge_session.h"

#include <cstdio>

#include "build_version.h"
#include "control/operation_table.h"
#include "host/arguments.h"
#include "host/bridge/request_shape.h"
#include "host/script_runner.h"
#include "platform/com/bstr.h"
#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace bridge {

namespace {

using Json = nlohmann::ordered_json;

// Owners and origins are short texts from the extension; anything longer is not one.
constexpr size_t kMaxNameBytes = 512;

std::string serialise(const Json& reply) {
    // ASCII only, so that a reply can be cut into chunks anywhere.
    return reply.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string okReply(const std::string& idJson, Json fields) {
    Json reply;
    reply["id"] = Json::parse(idJson);
    for (auto& [key, value] : fields.items()) reply[key] = value;
    return serialise(reply);
}

// Owns the automation strings of one call.
struct CallArguments {
    std::vector<OperationArg> args;
    ~CallArguments() {
        for (auto& a : args) SysFreeString(a.str);
    }
};

bool textField(const nlohmann::json& message, const char* key, std::string& value) {
    auto it = message.find(key);
    if (it == message.end() || !it->is_string()) return false;
    value = it->get<std::string>();
    return !value.empty() && value.size() <= kMaxNameBytes;
}

// A page's number for an int parameter: an integer that fits 32 bits, signed or not
// (flag words such as 0x80000000 arrive from script as positive numbers).
bool intArgument(const nlohmann::json& value, LONG& out) {
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        if (v > UINT32_MAX) return false;
        out = static_cast<LONG>(static_cast<uint32_t>(v));
        return true;
    }
    if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        if (v < INT32_MIN || v > INT32_MAX) return false;
        out = static_cast<LONG>(v);
        return true;
    }
    return false;
}

}  // namespace

std::string errorReply(const std::string& idJson, const std::string& code,
                       const std::string& message) {
    Json reply;
    reply["id"] = Json::parse(idJson);
    reply["error"] = {{"code", code}, {"message", message}};
    return serialise(reply);
}

BridgeSession::BridgeSession(Factory factory, OriginPolicy& policy, CountSink countSink)
    : factory_(std::move(factory)), policy_(policy), countSink_(std::move(countSink)) {}

void BridgeSession::close() {
    bool any = !objects_.empty();
    for (auto& [key, entry] : objects_) entry.object->Release();
    objects_.clear();
    if (any) changed();
}

void BridgeSession::changed() {
    if (countSink_) countSink_(objects_.size());
}

std::string BridgeSession::handle(std::string body) {
    lastId_ = "null";
    nlohmann::json message;
    ShapeFailure failure;
    bool parsed = parseRequest(body, message, failure);
    std::string().swap(body);
    if (!parsed) {
        lastId_ = failure.idJson;
        return errorReply(lastId_, failure.code, failure.message);
    }
    // The id goes back as it came when it is a number the extension can match.
    std::string id = "null";
    if (auto it = message.find("id"); it != message.end()) {
        if (!it->is_number_integer())
            return errorReply("null", kErrorBadMessage, "id must be an integer");
        id = it->dump();
    }
    lastId_ = id;
    auto typeIt = message.find("type");
    if (typeIt == message.end() || !typeIt->is_string())
        return errorReply(id, kErrorBadMessage, "type must be a string");
    const std::string type = typeIt->get<std::string>();

    if (type == "hello")
        return okReply(id, {{"version", KSCAPI_VERSION_TEXT}, {"objects", objects_.size()}});

    if (type != "create" && type != "call" && type != "release" && type != "releaseOwner")
        return errorReply(id, kErrorUnknownType, "unknown message type: " + type);
    std::string origin, owner;
    if (!textField(message, "owner", owner))
        return errorReply(id, kErrorBadMessage, "owner must be a short string");
    if (type == "releaseOwner") {
        size_t released = 0;
        for (auto it = objects_.begin(); it != objects_.end();) {
            if (it->second.owner == owner) {
                it->second.object->Release();
                it = objects_.erase(it);
                ++released;
            } else {
                ++it;
            }
        }
        if (released) changed();
        return okReply(id, {{"released", released}});
    }
    if (!textField(message, "origin", origin))
        return errorReply(id, kErrorBadMessage, "origin must be a short string");
    if (type == "create") return create(id, origin, owner);

    auto objectIt = message.find("object");
    if (objectIt == message.end() || !objectIt->is_number_integer())
        return errorReply(id, kErrorBadMessage, "object must be an integer");
    // Another page's object, or one from another origin, is as absent as a released one.
    auto entry = objects_.find(objectIt->get<int64_t>());
    if (entry == objects_.end() || entry->second.origin != origin || entry->second.owner != owner)
        return errorReply(id, kErrorNoObject, "no such object");
    if (type == "release") {
        entry->second.object->Release();
        objects_.erase(entry);
        changed();
        return okReply(id, {{"released", 1}});
    }
    auto opIt = message.find("op");
    if (opIt == message.end() || !opIt->is_string())
        return errorReply(id, kErrorBadMessage, "op must be a string");
    auto argsIt = message.find("args");
    nlohmann::json none = nlohmann::json::array();
    nlohmann::json& args = argsIt == message.end() ? none : *argsIt;
    if (!args.is_array()) return errorReply(id, kErrorBadArguments, "args must be an array");
    return call(id, entry->second, opIt->get<std::string>(), args);
}

std::string BridgeSession::create(const std::string& id, const std::string& origin,
                                  const std::string& owner) {
    ui::ScopedDialogRequester requester(utf8ToAnsi(origin));
    switch (policy_.admit(origin)) {
        case Admission::Allowed:
            break;
        case Admission::Refused:
            return errorReply(id, kErrorOriginRefused, refusalMessage(origin));
        case Admission::Denied:
            return errorReply(id, kErrorOriginDenied, "the user denied " + origin);
    }
    std::string reason;
    IDispatch* object = factory_(reason);
    if (!object) return errorReply(id, kErrorCreateFailed, reason);
    int64_t key = nextObject_++;
    objects_[key] = Entry{object, origin, owner};
    changed();
    return okReply(id, {{"object", key}});
}

std::string BridgeSession::call(const std::string& id, const Entry& entry,
                                const std::string& opName, nlohmann::json& args) {
    // Names are matched exactly: a page's script spells them as the interface does.
    const OperationInfo* op = findOperation(opName);
    if (!op || opName != op->name)
        return errorReply(id, kErrorUnknownOp, "unknown operation: " + opName);
    if (args.size() != static_cast<size_t>(op->paramCount))
        return errorReply(id, kErrorBadArguments,
                          std::string(op->name) + " takes " + std::to_string(op->paramCount) +
                              " argument(s), got " + std::to_string(args.size()));
    CallArguments call;
    call.args.resize(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        const ParamInfo& param = op->params[i];
        nlohmann::json& value = args[i];
        if (param.type == ValueType::Int) {
            if (!intArgument(value, call.args[i].i))
                return errorReply(
                    id, kErrorBadArguments,
                    std::string("argument ") + param.name + " must be a 32-bit integer");
            continue;
        }
        if (value.is_null()) continue;
        if (!value.is_string())
            return errorReply(id, kErrorBadArguments,
                              std::string("argument ") + param.name + " must be a string or null");
        std::u16string text = fromUtf8(value.get_ref<const std::string&>());
        value = nullptr;
        call.args[i].str = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!call.args[i].str) return errorReply(id, kErrorCallFailed, "out of memory");
    }

    ui::ScopedDialogRequester requester(utf8ToAnsi(entry.origin));
    ScopedPageCall page(guard_, entry.origin);
    std::u16string text;
    LONG number = 0, lastError = 0, capiError = 0;
    HRESULT hr = host::invokeByName(entry.object, *op, call.args.data(), text, number);
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return errorReply(id, kErrorCallFailed, std::string(op->name) + " failed: " + code);
    }
    host::readErrorPair(entry.object, lastError, capiError);
    Json fields;
    if (op->result == ValueType::String)
        fields["ret"] = host::printable(text);
    else
        fields["ret"] = number;
    fields["lastError"] = lastError;
    fields["capiError"] = capiError;
    return okReply(id, std::move(fields));
}

}  // namespace bridge
