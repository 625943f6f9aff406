#include "control/operation_table.h"

#include <iterator>

namespace {

#define KSOP_FIELD_String str
#define KSOP_FIELD_Int i
#define KSOP_TABLE_PARAM(index, type, name) {#name, ValueType::type},
#define KSOP_TABLE_ARG(index, type, name) a[index].KSOP_FIELD_##type,
#define KS_OPERATION(slot, dispid, name, result, clears, count, params)                           \
    {slot,                                                                                        \
     dispid,                                                                                      \
     #name,                                                                                       \
     count,                                                                                       \
     {KSOP_EACH_PARAM(count, KSOP_TABLE_PARAM, params)},                                          \
     ValueType::result,                                                                           \
     ErrorClearing::clears,                                                                       \
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) {                                  \
         (void)a;                                                                                 \
         return o->name(KSOP_EACH_PARAM(count, KSOP_TABLE_ARG, params) & r->KSOP_FIELD_##result); \
     }},
constexpr OperationInfo kOperations[] = {
#include "control/operations.def"
};
#undef KS_OPERATION

// Slots number the rows from 1: a row out of place would move an interface slot.
constexpr bool slotsInOrder() {
    for (size_t i = 0; i < std::size(kOperations); ++i)
        if (kOperations[i].slot != static_cast<int>(i) + 1) return false;
    return true;
}
static_assert(slotsInOrder());

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

void clearErrors(ErrorPair& status, ErrorClearing rule) {
    if (rule == ErrorClearing::Nothing) return;
    status.lastError = 0;
    if (rule == ErrorClearing::Both) status.capiError = 0;
}

const OperationInfo* operations() {
    return kOperations;
}

const OperationInfo* findOperation(std::string_view name) {
    for (const auto& op : kOperations)
        if (sameName(op.name, name)) return &op;
    return nullptr;
}

const OperationInfo* findOperationByDispid(DISPID dispid) {
    for (const auto& op : kOperations)
        if (op.dispid == dispid) return &op;
    return nullptr;
}
