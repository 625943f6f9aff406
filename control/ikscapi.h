// The control's interface with the platform's object layout: IUnknown's three
// functions first, then IDispatch's four, then the interface's own in slot order, as
// control/operations.def lists them.
#pragma once

#include "control/operation_list.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/variant.h"
#include "platform/system/types.h"

// The control's dual interface: 37 operations, each returning S_OK with its result in Ret.
struct IKSCapi : IDispatch {
#define KS_OPERATION(slot, dispid, name, result, clears, count, params)                            \
    virtual HRESULT name(KSOP_EACH_PARAM(count, KSOP_C_PARAM_BEFORE, params) KSOP_C_TYPE(result) * \
                         Ret) = 0;
#include "control/operations.def"
#undef KS_OPERATION
};
