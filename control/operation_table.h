// The operation table: slot, dispatch identifier, name, parameters, result and the error
// values it clears of every operation, in slot order, expanded from
// control/operations.def. Hosts, late binding and the type information all read it.
#pragma once

#include <cstddef>
#include <string_view>

#include "control/ikscapi.h"
#include "status/error_pair.h"

enum class ValueType { String, Int };

// Which of the engine's error values an operation resets before it runs.
enum class ErrorClearing { Nothing, LastError, Both };

// Resets the values `rule` names. Every engine entry calls it first, with its row's
// rule: the one place an operation's error state is cleared.
void clearErrors(ErrorPair& status, ErrorClearing rule);

struct ParamInfo {
    const char* name;
    ValueType type;
};

// One argument of a call made through the table: `str` for string parameters (the
// caller keeps ownership), `i` for int parameters.
struct OperationArg {
    BSTR str = nullptr;
    LONG i = 0;
};

// The result of a call made through the table; the caller owns `str` and frees it.
struct OperationResult {
    BSTR str = nullptr;
    LONG i = 0;
};

struct OperationInfo {
    int slot;
    DISPID dispid;
    const char* name;
    int paramCount;
    ParamInfo params[5];
    ValueType result;
    ErrorClearing clears;
    // Calls the operation on `object` through its interface slot with `args` (paramCount
    // of them, in parameter order) and stores the result.
    HRESULT (*invoke)(IKSCapi* object, const OperationArg* args, OperationResult* result);
};

#define KS_OPERATION(slot, dispid, name, result, clears, count, params) +1
constexpr size_t kOperationCount = 0
#include "control/operations.def"
    ;
#undef KS_OPERATION

// All operations in slot order.
const OperationInfo* operations();
// The operation with this name, compared without regard to ASCII case; null if none.
const OperationInfo* findOperation(std::string_view name);
// The operation with this dispatch identifier; null if none.
const OperationInfo* findOperationByDispid(DISPID dispid);

// Dispatch identifiers for a method name and its parameter names (ASCII case ignored):
// the operation's DISPID, then each parameter's position. Unknown names get
// DISPID_UNKNOWN and the result DISP_E_UNKNOWNNAME; E_POINTER for missing arrays.
HRESULT idsOfNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId);
