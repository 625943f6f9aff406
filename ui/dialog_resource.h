// The dialog resources: identifiers, captions, control texts and layout of each dialog,
// for backends that lay a dialog out from its resource. Texts are UTF-16 literals; the
// ansi* accessors hand them out in the process's ANSI code page.
#pragma once

#include <span>
#include <string>

#include "ui/dialogs.h"

namespace ui {

// Control identifiers; the OK and Cancel buttons are IDOK and IDCANCEL.
constexpr int IDC_STATIC = -1;
constexpr int IDC_BROWSE = 301;
constexpr int IDC_PATH = 302;
constexpr int IDC_PASSWORD = 303;  // the old password in the change dialog
constexpr int IDC_NEW_PASSWORD = 304;
constexpr int IDC_CONFIRM_PASSWORD = 305;
constexpr int IDC_CERT_LIST = 301;
constexpr int IDC_VIEW_CERT = 302;
constexpr int IDC_KEY_ACCESS_TEXT = 301;
constexpr int IDC_PIN_TEXT = 301;
constexpr int IDC_PIN = 302;
constexpr int IDC_ORIGIN_TEXT = 301;
constexpr int IDC_ALLOW_ONCE = 302;
constexpr int IDC_ALLOW_ALWAYS = 303;
constexpr int IDC_CONSENT_TEXT = 301;
constexpr int IDC_SIGN_CONTENT = 302;
constexpr int IDC_SIGN_FURTHER = 303;

enum class ControlKind {
    Label,
    Button,
    DefaultButton,
    PathBox,      // read-only, several lines: the chosen path
    PasswordBox,  // characters hidden
    ListView,     // report style, single selection
    GroupBox,
    CheckBox,
};

// A rectangle in dialog units.
struct DialogRect {
    int x, y, width, height;
};

struct DialogControl {
    int id;
    ControlKind kind;
    const char16_t* text;  // empty for boxes and lists
    DialogRect rect;
    std::string ansiText() const;
};

struct DialogResource {
    int id;
    const char16_t* caption;
    int width, height;
    const char16_t* font;
    std::span<const DialogControl> controls;  // in tab order
    std::string ansiCaption() const;
    // The control with `id` (null when there is none; the first of a repeated id).
    const DialogControl* control(int id) const;
    // The label placed just before the control with `id` in tab order (null when none).
    const DialogControl* labelBefore(int id) const;
};

// Resources 202, 206, 203, 205, 204, 207, 208 and 209. The message labels of 207, 208 and
// 209 are empty in the resource: their models give the texts.
extern const DialogResource kPfxFileResource;
extern const DialogResource kPfxSaveResource;
extern const DialogResource kChangePasswordResource;
extern const DialogResource kPasswordResource;
extern const DialogResource kCertListResource;
extern const DialogResource kKeyAccessResource;
extern const DialogResource kPinResource;
extern const DialogResource kOriginConsentResource;
// Resources 210, 211 and 212: the consent to a page's signature, to a private key
// leaving for a page, and to a new trusted root. Their message labels are empty in the
// resource: their models give the texts.
extern const DialogResource kSignConsentResource;
extern const DialogResource kKeyExportConsentResource;
extern const DialogResource kRootInstallResource;
// Resource 213: the consent to a page adding keys or certificates beyond its allowance;
// its message label is empty in the resource too.
extern const DialogResource kStoreGrowthConsentResource;

}  // namespace ui
