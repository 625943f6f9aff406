// The bridge's messages, one at a time: a page (through the extension) creates control
// objects, calls their operations and releases them. Every reply is one JSON object
// serialised as ASCII; requests and replies carry the request's "id".
//
// Requests (the extension fills "origin" from what the browser reports of the sender and
// "owner" with the page instance the objects belong to):
//   {"id":N,"type":"create","origin":O,"owner":W}           -> {"id":N,"object":K}
//   {"id":N,"type":"call","origin":O,"owner":W,"object":K,"op":NAME,"args":[...]}
//                                                  -> {"id":N,"ret":R,"lastError":E,"capiError":C}
//   {"id":N,"type":"release","origin":O,"owner":W,"object":K} -> {"id":N,"released":1}
//   {"id":N,"type":"releaseOwner","owner":W}               -> {"id":N,"released":COUNT}
//   {"id":N,"type":"hello"}                                -> {"id":N,"version":V,"objects":COUNT}
// Failures: {"id":N,"error":{"code":CODE,"message":TEXT}} with CODE one of kError*.
//
// A request is read against its shape (request_shape.h) as it is parsed: an object of at
// most 16 distinct members, each a scalar except "args", an array of at most 16 strings,
// integers or nulls. Anything else stops the parser at the first token that breaks the
// shape: bad_arguments when it is in "args", else bad_message (bad_json for text that is
// not JSON). The extension checks the same before it sends, and answers a page itself
// with opaque_origin (the sending frame's origin is "null" or opaque), origin_mismatch
// (the browser's, the frame's and the frame address's origins differ), too_large (above
// kMaxRequestBytes), host_unavailable and bridge_gone; the host never sends those but
// too_large.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "control/ikscapi.h"
#include "host/bridge/origin_policy.h"
#include "host/bridge/page_guard.h"

namespace bridge {

constexpr const char* kErrorTruncated = "truncated";
constexpr const char* kErrorTooLarge = "too_large";
constexpr const char* kErrorBadJson = "bad_json";
constexpr const char* kErrorBadMessage = "bad_message";
constexpr const char* kErrorUnknownType = "unknown_type";
constexpr const char* kErrorUnknownOp = "unknown_op";
constexpr const char* kErrorBadArguments = "bad_arguments";
constexpr const char* kErrorOriginRefused = "origin_refused";
constexpr const char* kErrorOriginDenied = "origin_denied";
constexpr const char* kErrorNoObject = "no_object";
constexpr const char* kErrorCreateFailed = "create_failed";
constexpr const char* kErrorCallFailed = "call_failed";

// The reply for a failure; `id` null when the request had none (or was unreadable).
std::string errorReply(const std::string& idJson, const std::string& code,
                       const std::string& message);

class BridgeSession {
  public:
    // Makes a new control object, an IDispatch reference the session then owns, or null
    // with a reason.
    using Factory = std::function<IDispatch*(std::string& reason)>;
    // Told the object count after every change (test mode writes it to its log).
    using CountSink = std::function<void(size_t objects)>;

    BridgeSession(Factory factory, OriginPolicy& policy, CountSink countSink = nullptr);
    ~BridgeSession() { close(); }
    BridgeSession(const BridgeSession&) = delete;
    BridgeSession& operator=(const BridgeSession&) = delete;

    // Handles one message body and returns its reply. The body is taken so that it can be
    // freed once read: a large argument is not held twice while the call runs.
    std::string handle(std::string body);
    // The id of the last request handled, as JSON ("null" when it had none): chunks of a
    // long reply carry it.
    const std::string& lastId() const { return lastId_; }
    // The guard told which page's call runs (not owned; null: none).
    void setGuard(PageGuard* guard) { guard_ = guard; }
    // Releases every object. Idempotent.
    void close();

  private:
    struct Entry {
        IDispatch* object;
        std::string origin;
        std::string owner;
    };

    std::string create(const std::string& id, const std::string& origin, const std::string& owner);
    // Empties the arguments' texts as it converts them.
    std::string call(const std::string& id, const Entry& entry, const std::string& op,
                     nlohmann::json& args);
    void changed();

    Factory factory_;
    OriginPolicy& policy_;
    CountSink countSink_;
    PageGuard* guard_ = nullptr;
    std::map<int64_t, Entry> objects_;
    int64_t nextObject_ = 1;
    std::string lastId_ = "null";
};

}  // namespace bridge
