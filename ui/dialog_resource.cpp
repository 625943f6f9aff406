#include "ui/dialog_resource.h"

#include "platform/text/codepage.h"

namespace ui {
namespace {

constexpr char16_t kOk[] = u"確定";
constexpr char16_t kCancel[] = u"取消";
constexpr char16_t kBrowse[] = u"瀏覽";
constexpr char16_t kFixedsys[] = u"Fixedsys";

constexpr DialogControl kPfxFileControls[] = {
    {IDC_STATIC, ControlKind::Label, u"請選擇要匯入的憑證檔：", {7, 10, 90, 10}},
    {IDC_BROWSE, ControlKind::Button, kBrowse, {105, 7, 39, 14}},
    {IDC_PATH, ControlKind::PathBox, u"", {7, 25, 136, 35}},
    {IDC_STATIC, ControlKind::Label, u"請輸入憑證的保護密碼：", {7, 64, 135, 10}},
    {IDC_PASSWORD, ControlKind::PasswordBox, u"", {7, 77, 136, 14}},
    {IDOK, ControlKind::DefaultButton, kOk, {25, 95, 41, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {82, 95, 41, 14}},
};

constexpr DialogControl kPfxSaveControls[] = {
    {IDC_STATIC,
     ControlKind::Label,
     u"請指定您要匯出的檔案名稱及路徑： \n(預設儲存路徑為桌面)",
     {7, 7, 138, 17}},
    {IDC_PATH, ControlKind::PathBox, u"", {7, 27, 138, 35}},
    {IDC_BROWSE, ControlKind::Button, kBrowse, {108, 67, 37, 14}},
    {IDC_STATIC,
     ControlKind::Label,
     u"請設定保護密碼，當進行憑證匯入時， 要輸入此密碼才允許匯入。",
     {7, 85, 138, 20}},
    {IDC_PASSWORD, ControlKind::PasswordBox, u"", {7, 106, 138, 14}},
    {IDOK, ControlKind::DefaultButton, kOk, {23, 124, 46, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {78, 124, 46, 14}},
};

constexpr DialogControl kChangePasswordControls[] = {
    {IDC_STATIC, ControlKind::Label, u"憑證檔案儲存路徑 :", {7, 10, 74, 10}},
    {IDC_BROWSE, ControlKind::Button, kBrowse, {84, 7, 50, 14}},
    {IDC_PATH, ControlKind::PathBox, u"", {7, 25, 127, 35}},
    {IDC_STATIC, ControlKind::Label, u"輸入原憑證密碼 :", {7, 64, 74, 10}},
    {IDC_PASSWORD, ControlKind::PasswordBox, u"", {7, 77, 127, 14}},
    {IDC_STATIC, ControlKind::Label, u"輸入新憑證密碼 :", {7, 96, 74, 10}},
    {IDC_NEW_PASSWORD, ControlKind::PasswordBox, u"", {7, 110, 127, 14}},
    {IDC_STATIC, ControlKind::Label, u"確認新憑證密碼 :", {7, 129, 74, 10}},
    {IDC_CONFIRM_PASSWORD, ControlKind::PasswordBox, u"", {7, 143, 127, 14}},
    {IDOK, ControlKind::DefaultButton, kOk, {14, 161, 50, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {76, 161, 50, 14}},
};

constexpr DialogControl kPasswordControls[] = {
    {IDC_STATIC, ControlKind::Label, u"輸入憑證密碼 :", {7, 7, 74, 10}},
    {IDC_PASSWORD, ControlKind::PasswordBox, u"", {7, 20, 127, 14}},
    {IDOK, ControlKind::DefaultButton, kOk, {30, 38, 50, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {84, 38, 50, 14}},
};

constexpr DialogControl kCertListControls[] = {
    {IDOK, ControlKind::DefaultButton, kOk, {233, 123, 50, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {295, 123, 50, 14}},
    {IDC_STATIC, ControlKind::GroupBox, u"憑證", {7, 7, 338, 111}},
    {IDC_CERT_LIST, ControlKind::ListView, u"", {13, 20, 325, 90}},
    {IDC_VIEW_CERT, ControlKind::Button, u"檢視憑證", {36, 123, 50, 14}},
};

constexpr DialogControl kKeyAccessControls[] = {
    {IDC_KEY_ACCESS_TEXT, ControlKind::Label, u"", {7, 7, 186, 44}},
    {IDOK, ControlKind::Button, kOk, {47, 56, 50, 14}},
    {IDCANCEL, ControlKind::DefaultButton, kCancel, {103, 56, 50, 14}},
};

constexpr DialogControl kPinControls[] = {
    {IDC_PIN_TEXT, ControlKind::Label, u"", {7, 7, 186, 34}},
    {IDC_PIN, ControlKind::PasswordBox, u"", {7, 44, 186, 14}},
    {IDOK, ControlKind::DefaultButton, kOk, {47, 64, 50, 14}},
    {IDCANCEL, ControlKind::Button, kCancel, {103, 64, 50, 14}},
};

// Deny is the Cancel button, so that Escape and closing the window refuse the origin.
constexpr DialogControl kOriginConsentControls[] = {
    {IDC_ORIGIN_TEXT, ControlKind::Label, u"", {7, 7, 216, 34}},
    {IDC_ALLOW_ONCE, ControlKind::Button, u"允許這次", {7, 48, 66, 14}},
    {IDC_ALLOW_ALWAYS, ControlKind::Button, u"一律允許", {81, 48, 66, 14}},
    {IDCANCEL, ControlKind::DefaultButton, u"拒絕", {155, 48, 66, 14}},
};

// In these four the refusing button is the default one, so that Escape, closing the
// window and a stray Enter refuse.
constexpr DialogControl kSignConsentControls[] = {
    {IDC_CONSENT_TEXT, ControlKind::Label, u"", {7, 7, 246, 52}},
    {IDC_SIGN_CONTENT, ControlKind::PathBox, u"", {7, 62, 246, 80}},
    {IDC_SIGN_FURTHER,
     ControlKind::CheckBox,
     u"允許這個網頁以此憑證簽署其他內容",
     {7, 146, 246, 12}},
    {IDOK, ControlKind::Button, u"簽章", {140, 164, 54, 14}},
    {IDCANCEL, ControlKind::DefaultButton, kCancel, {199, 164, 54, 14}},
};

constexpr DialogControl kKeyExportConsentControls[] = {
    {IDC_CONSENT_TEXT, ControlKind::Label, u"", {7, 7, 226, 70}},
    {IDOK, ControlKind::Button, u"匯出", {120, 82, 54, 14}},
    {IDCANCEL, ControlKind::DefaultButton, kCancel, {179, 82, 54, 14}},
};

constexpr DialogControl kStoreGrowthConsentControls[] = {
    {IDC_CONSENT_TEXT, ControlKind::Label, u"", {7, 7, 226, 70}},
    {IDOK, ControlKind::Button, u"允許", {120, 82, 54, 14}},
    {IDCANCEL, ControlKind::DefaultButton, kCancel, {179, 82, 54, 14}},
};

constexpr DialogControl kRootInstallControls[] = {
    {IDC_CONSENT_TEXT, ControlKind::Label, u"", {7, 7, 226, 82}},
    {IDOK, ControlKind::Button, u"是", {120, 94, 54, 14}},
    {IDCANCEL, ControlKind::DefaultButton, u"否", {179, 94, 54, 14}},
};

}  // namespace

const DialogResource kPfxFileResource{202, u"輸入憑證檔案資訊", 151,
                                      116, kFixedsys,           kPfxFileControls};
const DialogResource kPfxSaveResource{206, u"Dialog", 152, 145, kFixedsys, kPfxSaveControls};
const DialogResource kChangePasswordResource{203, u"變更憑證檔密碼", 141,
                                             182, kFixedsys,         kChangePasswordControls};
const DialogResource kPasswordResource{205, u"執行憑證匯出", 141, 59, u"System", kPasswordControls};
const DialogResource kCertListResource{
    204, u"選擇憑證匯出至憑證交換檔", 352, 144, kFixedsys, kCertListControls};
const DialogResource kKeyAccessResource{207, u"私密金鑰存取", 200,
                                        77,  kFixedsys,       kKeyAccessControls};
const DialogResource kPinResource{209, u"智慧卡 PIN 碼", 200, 85, kFixedsys, kPinControls};
const DialogResource kOriginConsentResource{208, u"網站要求使用憑證", 230,
                                            69,  kFixedsys,           kOriginConsentControls};

const DialogResource kSignConsentResource{210, u"網站要求簽章", 260,
                                          185, kFixedsys,       kSignConsentControls};
const DialogResource kKeyExportConsentResource{211,       u"網站要求匯出私密金鑰",  240, 103,
                                               kFixedsys, kKeyExportConsentControls};
const DialogResource kRootInstallResource{212, u"安全性警告", 240,
                                          115, kFixedsys,     kRootInstallControls};
const DialogResource kStoreGrowthConsentResource{213,       u"網站要求新增金鑰或憑證",  240, 103,
                                                 kFixedsys, kStoreGrowthConsentControls};

std::string DialogControl::ansiText() const {
    return toAnsi(text);
}

std::string DialogResource::ansiCaption() const {
    return toAnsi(caption);
}

const DialogControl* DialogResource::control(int wanted) const {
    for (const DialogControl& c : controls)
        if (c.id == wanted) return &c;
    return nullptr;
}

const DialogControl* DialogResource::labelBefore(int wanted) const {
    const DialogControl* label = nullptr;
    for (const DialogControl& c : controls) {
        if (c.id == wanted) return label;
        if (c.kind == ControlKind::Label) label = &c;
    }
    return nullptr;
}

}  // namespace ui
