#include "host/script_runner.h"

#include <istream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "control/operation_table.h"
#include "host/arguments.h"
#include "platform/text/codepage.h"

namespace host {

namespace {

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

size_t skipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

// Owns the BSTR arguments of one call.
struct CallArguments {
    std::vector<OperationArg> args;
    ~CallArguments() {
        for (auto& a : args) SysFreeString(a.str);
    }
};

}  // namespace

ScriptRunner::ScriptRunner(std::ostream& out, ui::ScriptedBackend* scripted, ObjectFactory factory,
                           bool lateBound)
    : out_(out), scripted_(scripted), factory_(std::move(factory)), lateBound_(lateBound) {
    if (!factory_) {
        factory_ = [](std::string& reason) -> IDispatch* {
            KSCapi* object = KSCapi::create();
            if (!object) reason = "cannot create the control object";
            return object;
        };
    }
}

ScriptRunner::~ScriptRunner() {
    for (auto& [name, object] : objects_) object->Release();
}

IDispatch* ScriptRunner::current(std::string& reason) {
    if (currentName_.empty()) currentName_ = "main";
    auto it = objects_.find(currentName_);
    if (it != objects_.end()) return it->second;
    IDispatch* object = factory_(reason);
    if (!object) return nullptr;
    objects_[currentName_] = object;
    return object;
}

HRESULT invokeByName(IDispatch* object, const OperationInfo& op, const OperationArg* args,
                     std::u16string& text, LONG& number) {
    const int count = op.paramCount;
    std::u16string wide = fromUtf8(op.name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (FAILED(hr)) return hr;
    // Arguments go last first, as script engines pass them.
    std::vector<VARIANT> values(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        VARIANT& v = values[static_cast<size_t>(count - 1 - i)];
        VariantInit(&v);
        if (op.params[i].type == ValueType::Int) {
            v.vt = VT_I4;
            v.lVal = args[i].i;
        } else if (args[i].str) {
            v.vt = VT_BSTR;
            v.bstrVal = args[i].str;  // borrowed; the caller frees it
        } else {
            v.vt = VT_NULL;
        }
    }
    DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(count), 0};
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 0;
    hr = object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &argErr);
    if (SUCCEEDED(hr)) {
        if (result.vt == VT_BSTR) {
            text = result.bstrVal ? std::u16string(result.bstrVal, SysStringLen(result.bstrVal))
                                  : std::u16string();
        } else if (result.vt == VT_I4) {
            number = result.lVal;
        }
    }
    VariantClear(&result);
    return hr;
}

void readErrorPair(IDispatch* object, LONG& lastError, LONG& capiError) {
    std::u16string ignored;
    invokeByName(object, *findOperation("GetErrorCode"), nullptr, ignored, lastError);
    invokeByName(object, *findOperation("GetCapiErrorCode"), nullptr, ignored, capiError);
}

void ScriptRunner::error(const std::string& message, int lineNumber) {
    nlohmann::ordered_json line;
    line["error"] = message;
    if (lineNumber > 0) line["line"] = lineNumber;
    out_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    out_.flush();
}

bool ScriptRunner::call(const std::string& opName, const std::vector<ArgumentToken>& tokens,
                        int lineNumber) {
    const OperationInfo* op = findOperation(opName);
    if (!op) {
        error("unknown operation: " + opName, lineNumber);
        return false;
    }
    if (static_cast<int>(tokens.size()) != op->paramCount) {
        error(std::string(op->name) + " takes " + std::to_string(op->paramCount) +
                  " argument(s), got " + std::to_string(tokens.size()),
              lineNumber);
        return false;
    }
    CallArguments call;
    call.args.resize(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        const ParamInfo& param = op->params[i];
        const ArgumentToken& token = tokens[i];
        if (param.type == ValueType::Int) {
            auto value = token.kind == ArgumentToken::Word ? parseInt(token.text) : std::nullopt;
            if (!value) {
                error(std::string("argument ") + param.name + " must be an integer", lineNumber);
                return false;
            }
            call.args[i].i = *value;
            continue;
        }
        std::u16string text;
        if (token.kind == ArgumentToken::Null) {
            call.args[i].str = nullptr;
            continue;
        }
        if (token.kind == ArgumentToken::Literal) {
            std::string reason;
            if (!decodeJsonString(token.text, text, reason)) {
                error(std::string("argument ") + param.name + ": " + reason, lineNumber);
                return false;
            }
        } else {
            if (!isWellFormedUtf8(token.text)) {
                error(std::string("argument ") + param.name + " is not UTF-8", lineNumber);
                return false;
            }
            text = fromUtf8(token.text);
        }
        call.args[i].str = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!call.args[i].str) {
            error("out of memory", lineNumber);
            return false;
        }
    }

    std::string reason;
    IDispatch* object = current(reason);
    if (!object) {
        error(reason, lineNumber);
        return false;
    }
    std::u16string resultText;
    LONG resultNumber = 0, lastError = 0, capiError = 0;
    HRESULT hr;
    if (lateBound_) {
        hr = invokeByName(object, *op, call.args.data(), resultText, resultNumber);
        readErrorPair(object, lastError, capiError);
    } else {
        IKSCapi* capi = nullptr;
        hr = object->QueryInterface(IID_IKSCapi, reinterpret_cast<void**>(&capi));
        if (FAILED(hr)) {
            error("the object does not offer its interface", lineNumber);
            return false;
        }
        OperationResult result;
        hr = op->invoke(capi, call.args.data(), &result);
        BstrHolder text(result.str);
        resultText = text.text();
        resultNumber = result.i;
        capi->GetErrorCode(&lastError);
        capi->GetCapiErrorCode(&capiError);
        capi->Release();
    }

    nlohmann::ordered_json line;
    line["op"] = op->name;
    if (op->result == ValueType::String)
        line["ret"] = printable(resultText);
    else
        line["ret"] = resultNumber;
    line["lastError"] = lastError;
    line["capiError"] = capiError;
    if (hr != S_OK) line["hresult"] = hr;
    out_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    out_.flush();
    return true;
}

bool ScriptRunner::runLine(const std::string& raw, int lineNumber) {
    std::string line = trimRight(raw);
    size_t start = skipBlanks(line, 0);
    if (start >= line.size() || line[start] == '#') return true;
    size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    std::string word = line.substr(start, end - start);
    size_t rest = skipBlanks(line, end);

    if (word == "@new" || word == "@use") {
        std::string name = line.substr(rest);
        if (name.empty() || name.find_first_of(" \t") != std::string::npos) {
            error(word + " takes one name", lineNumber);
            return false;
        }
        if (word == "@use" && !objects_.count(name) && name != "main") {
            error("no object named " + name, lineNumber);
            return false;
        }
        if (word == "@new" && objects_.count(name)) {
            error("an object named " + name + " exists already", lineNumber);
            return false;
        }
        currentName_ = name;
        std::string reason;
        if (!current(reason)) {
            error(reason, lineNumber);
            return false;
        }
        return true;
    }

    if (word == "!dialog") {
        if (!scripted_) {
            error("!dialog needs --ui script", lineNumber);
            return false;
        }
        std::string kind, reason;
        ui::DialogOutcome outcome;
        nlohmann::json values;
        if (!ui::ScriptedBackend::parseAnswer(line.substr(rest), kind, outcome, values, reason)) {
            error("!dialog " + reason, lineNumber);
            return false;
        }
        if (!scripted_->queue(kind, outcome, values, reason)) {
            error(reason, lineNumber);
            return false;
        }
        return true;
    }

    std::vector<ArgumentToken> tokens;
    std::string reason;
    if (!tokenize(std::string_view(line).substr(rest), tokens, reason)) {
        error(reason, lineNumber);
        return false;
    }
    return call(word, tokens, lineNumber);
}

int ScriptRunner::runScript(std::istream& in) {
    int malformed = 0;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!runLine(line, number)) ++malformed;
    }
    return malformed;
}

bool ScriptRunner::runCall(const std::string& op, const std::vector<std::string>& words) {
    std::vector<ArgumentToken> tokens;
    for (const auto& w : words) {
        ArgumentToken t;
        t.text = w;
        if (w == "null")
            t.kind = ArgumentToken::Null;
        else if (w.size() >= 2 && w.front() == '"' && w.back() == '"')
            t.kind = ArgumentToken::Literal;
        else
            t.kind = ArgumentToken::Word;
        tokens.push_back(std::move(t));
    }
    return call(op, tokens, 0);
}

}  // namespace host
