#include "control/operation_table.h"

#include <iterator>

namespace {

// One row per operation, two lines each: a table kept in its own layout.
// clang-format off
const OperationInfo kOperations[] = {
    {1, 1, "GetVersion", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetVersion(&r->str); }},
    {2, 2, "GetErrorCode", 0, {}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetErrorCode(&r->i); }},
    {3, 3, "GetErrorMsg", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetErrorMsg(&r->str); }},
    {4, 4, "GetCapiErrorCode", 0, {}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCapiErrorCode(&r->i); }},
    {5, 5, "GetCapiErrorMsg", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCapiErrorMsg(&r->str); }},
    {6, 6, "GetMacAddress", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetMacAddress(&r->str); }},
    {7, 7, "GetWindowsSystemName", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetWindowsSystemName(&r->str); }},
    {8, 20, "RegReadHKCU", 1, {{"strName", ValueType::String}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->RegReadHKCU(a[0].str, &r->str); }},
    {9, 21, "RegWriteHKCUInt", 2, {{"strName", ValueType::String}, {"dw", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->RegWriteHKCUInt(a[0].str, a[1].i, &r->i); }},
    {10, 22, "RegWriteHKCUStr", 2, {{"strName", ValueType::String}, {"str", ValueType::String}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->RegWriteHKCUStr(a[0].str, a[1].str, &r->i); }},
    {11, 30, "Hash", 2, {{"strPlainText", ValueType::String}, {"dwFlags", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->Hash(a[0].str, a[1].i, &r->str); }},
    {12, 31, "HashFile", 2, {{"strFileName", ValueType::String}, {"dwFlags", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->HashFile(a[0].str, a[1].i, &r->str); }},
    {13, 40, "SetProviderName", 1, {{"strProviderName", ValueType::String}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->SetProviderName(a[0].str, &r->i); }},
    {14, 41, "CreatePKCS10", 3, {{"commonName", ValueType::String}, {"keyBits", ValueType::Int}, {"genKeyFlags", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->CreatePKCS10(a[0].str, a[1].i, a[2].i, &r->str); }},
    {15, 42, "AcceptPKCS7", 1, {{"strPkcs7", ValueType::String}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->AcceptPKCS7(a[0].str, &r->i); }},
    {16, 50, "PresetPasswdLengthRange", 2, {{"min", ValueType::Int}, {"max", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->PresetPasswdLengthRange(a[0].i, a[1].i, &r->i); }},
    {17, 51, "ImportPfxToIE", 5, {{"strPfxPath", ValueType::String}, {"strPfxName", ValueType::String}, {"strPasswd", ValueType::String}, {"dwFlags", ValueType::Int}, {"dwKeyUsage", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->ImportPfxToIE(a[0].str, a[1].str, a[2].str, a[3].i, a[4].i, &r->i); }},
    {18, 52, "SetDefaultPfxFileName", 1, {{"strPrefix", ValueType::String}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->SetDefaultPfxFileName(a[0].str, &r->i); }},
    {19, 53, "ExportPfxFromIE", 5, {{"strSubject", ValueType::String}, {"strPfxPath", ValueType::String}, {"strPassword", ValueType::String}, {"dwFlags", ValueType::Int}, {"dwKeyUsage", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->ExportPfxFromIE(a[0].str, a[1].str, a[2].str, a[3].i, a[4].i, &r->i); }},
    {20, 54, "ExportMobileFromPfx", 5, {{"strPfxPath", ValueType::String}, {"strPfxName", ValueType::String}, {"strPasswd", ValueType::String}, {"dwFlags", ValueType::Int}, {"dwKeyUsage", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->ExportMobileFromPfx(a[0].str, a[1].str, a[2].str, a[3].i, a[4].i, &r->str); }},
    {21, 55, "ExportMobileFromIE", 4, {{"strSubject", ValueType::String}, {"strPasswd", ValueType::String}, {"dwFlags", ValueType::Int}, {"dwKeyUsage", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->ExportMobileFromIE(a[0].str, a[1].str, a[2].i, a[3].i, &r->str); }},
    {22, 56, "GetExportedPfxFilePath", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetExportedPfxFilePath(&r->str); }},
    {23, 57, "GetExportedPfxFileName", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetExportedPfxFileName(&r->str); }},
    {24, 58, "ChangePfxPasswd", 5, {{"strPfxPath", ValueType::String}, {"strPfxName", ValueType::String}, {"strOldPass", ValueType::String}, {"strNewPass", ValueType::String}, {"dwFlags", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->ChangePfxPasswd(a[0].str, a[1].str, a[2].str, a[3].str, a[4].i, &r->i); }},
    {25, 70, "SelectSigner", 3, {{"certFilter", ValueType::String}, {"dwFlags", ValueType::Int}, {"dwKeyUsage", ValueType::Int}}, ValueType::Int,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->SelectSigner(a[0].str, a[1].i, a[2].i, &r->i); }},
    {26, 71, "GetSignerPfxFilePath", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetSignerPfxFilePath(&r->str); }},
    {27, 72, "GetSignerPfxFileName", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetSignerPfxFileName(&r->str); }},
    {28, 73, "SignPkcs1", 2, {{"strContent", ValueType::String}, {"dwFlags", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->SignPkcs1(a[0].str, a[1].i, &r->str); }},
    {29, 74, "SignPkcs7", 2, {{"strContent", ValueType::String}, {"dwFlags", ValueType::Int}}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { return o->SignPkcs7(a[0].str, a[1].i, &r->str); }},
    {30, 80, "GetCertB64", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertB64(&r->str); }},
    {31, 81, "GetCertSubject", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertSubject(&r->str); }},
    {32, 82, "GetCertSubjectCN", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertSubjectCN(&r->str); }},
    {33, 83, "GetCertIssuer", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertIssuer(&r->str); }},
    {34, 84, "GetCertSerial", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertSerial(&r->str); }},
    {35, 85, "GetCertNotBefore", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertNotBefore(&r->str); }},
    {36, 86, "GetCertNotAfter", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertNotAfter(&r->str); }},
    {37, 87, "GetCertFinger", 0, {}, ValueType::String,
     [](IKSCapi* o, const OperationArg* a, OperationResult* r) { (void)a; return o->GetCertFinger(&r->str); }},
};
// clang-format on
static_assert(std::size(kOperations) == kOperationCount);

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
