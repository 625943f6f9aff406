#include "host/demo_command.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>

#include "control/guids.h"
#include "control/ks_capi.h"
#include "core/byte_buffer.h"
#include "host/demo_ca.h"
#include "platform/com/bstr.h"
#include "platform/crypt/wincrypt.h"
#include "platform/store/user_database.h"
#include "platform/text/codepage.h"
#include "ui/dialogs.h"

namespace host {
namespace {

using demo::Bytes;
using Json = nlohmann::ordered_json;

constexpr char kCommonName[] = "示範使用者";
constexpr char kContent[] = "示範: 簽章的內容 (demo content)";
constexpr char kFirstPassword[] = "demo-1234";
constexpr char kSecondPassword[] = "demo-5678";

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes fromBase64(const std::string& text) {
    ByteBuffer buffer;
    if (text.empty() || !buffer.decodeBase64Text(text.c_str())) return {};
    return Bytes(buffer.data(), buffer.data() + buffer.length());
}

std::string toBase64(const Bytes& bytes) {
    ByteBuffer buffer;
    if (!buffer.encodeBase64(bytes.data(), static_cast<int32_t>(bytes.size()))) return {};
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.length());
}

Bytes fromHex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes utf16le(const std::string& utf8) {
    Bytes out;
    for (char16_t unit : fromUtf8(utf8)) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

Bytes sha1(const Bytes& data) {
    Bytes out(20);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha1(), nullptr);
    return out;
}

std::string shortened(const std::string& text) {
    return text.size() <= 40 ? text
                             : text.substr(0, 32) + "... (" + std::to_string(text.size()) + ")";
}

// The control object, called through its interface with UTF-8 arguments.
class Control {
  public:
    Control() {
        KSCapi* object = KSCapi::create();
        if (object) {
            object->QueryInterface(IID_IKSCapi, reinterpret_cast<void**>(&capi_));
            object->Release();
        }
    }
    ~Control() {
        if (capi_) capi_->Release();
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    explicit operator bool() const { return capi_ != nullptr; }
    IKSCapi* operator->() const { return capi_; }

    static BstrHolder arg(const std::string& utf8) { return BstrHolder::fromU16(fromUtf8(utf8)); }
    static std::string text(const BstrHolder& result) { return toUtf8(result.text()); }

    long lastError() const {
        LONG code = 0;
        capi_->GetErrorCode(&code);
        return code;
    }
    long capiError() const {
        LONG code = 0;
        capi_->GetCapiErrorCode(&code);
        return code;
    }
    std::string errorMessage() const {
        BstrHolder message;
        capi_->GetErrorMsg(message.out());
        return text(message);
    }

  private:
    IKSCapi* capi_ = nullptr;
};

// One throw-away folder with two homes and a folder for files, removed at the end.
class Workspace {
  public:
    explicit Workspace(bool keep) : keep_(keep) {
        char pattern[] = "/tmp/kscapi-demo-XXXXXX";
        if (const char* made = mkdtemp(pattern)) root_ = made;
        std::error_code ec;
        std::filesystem::create_directories(root_ + "/first", ec);
        std::filesystem::create_directories(root_ + "/second", ec);
        std::filesystem::create_directories(root_ + "/files", ec);
    }
    ~Workspace() {
        closeUserDatabase();
        if (previous_.empty())
            unsetenv("KSCAPI_HOME");
        else
            setenv("KSCAPI_HOME", previous_.c_str(), 1);
        std::error_code ec;
        if (!keep_ && !root_.empty()) std::filesystem::remove_all(root_, ec);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    bool ready() const { return !root_.empty(); }
    const std::string& root() const { return root_; }
    std::string files() const { return root_ + "/files"; }
    // Makes `name` the per-user state of the calls that follow.
    void useHome(const std::string& name) {
        if (previous_.empty())
            if (const char* old = getenv("KSCAPI_HOME")) previous_ = old;
        closeUserDatabase();
        setenv("KSCAPI_HOME", (root_ + "/" + name).c_str(), 1);
    }

  private:
    bool keep_;
    std::string root_;
    std::string previous_;
};

class Report {
  public:
    Report(std::ostream& out, bool json) : out_(out), json_(json) {}

    // One step: what was called, what came back, and the demo's own check of it.
    void step(const std::string& title, const std::string& call, const std::string& result,
              long lastError, const std::string& message, bool ok, const std::string& check) {
        ++count_;
        if (!ok) ++failed_;
        if (json_) {
            Json line{
                {"step", count_},         {"title", title},     {"call", call},   {"ret", result},
                {"lastError", lastError}, {"message", message}, {"check", check}, {"ok", ok}};
            out_ << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
            return;
        }
        out_ << (ok ? "[ok]   " : "[FAIL] ") << count_ << ". " << title << '\n';
        if (!call.empty()) out_ << "       " << call << " -> " << shortened(result) << '\n';
        if (lastError >= 0)
            out_ << "       lastError " << lastError << (message.empty() ? "" : ": ") << message
                 << '\n';
        if (!check.empty()) out_ << "       " << check << '\n';
    }
    void note(const std::string& text) {
        if (json_)
            out_ << Json{{"note", text}}.dump(-1, ' ', false, Json::error_handler_t::replace)
                 << '\n';
        else
            out_ << text << '\n';
    }
    int failed() const { return failed_; }
    int count() const { return count_; }

  private:
    std::ostream& out_;
    bool json_;
    int count_ = 0;
    int failed_ = 0;
};

// A field reader over the decrypted mobile record (big-endian lengths).
class RecordReader {
  public:
    explicit RecordReader(const Bytes& record) : record_(record) {}
    bool take(size_t count, Bytes& out) {
        if (record_.size() - at_ < count) return false;
        out.assign(record_.begin() + static_cast<long>(at_),
                   record_.begin() + static_cast<long>(at_ + count));
        at_ += count;
        return true;
    }
    bool number(uint32_t& value) {
        Bytes four;
        if (!take(4, four)) return false;
        value =
            uint32_t{four[0]} << 24 | uint32_t{four[1]} << 16 | uint32_t{four[2]} << 8 | four[3];
        return true;
    }
    bool counted(Bytes& out) {
        uint32_t length = 0;
        return number(length) && take(length, out);
    }
    bool atEnd() const { return at_ == record_.size(); }

  private:
    const Bytes& record_;
    size_t at_ = 0;
};

struct MobileFields {
    uint32_t bits = 0, exponent = 0;
    Bytes modulus, cn, serial, thumbprint, notBefore, notAfter, certificate;
};

bool parseMobileRecord(const Bytes& record, MobileFields& f) {
    RecordReader r(record);
    Bytes tag, skip;
    if (!r.take(4, tag) || tag != Bytes{'Z', 'E', 'L', 'K'}) return false;
    if (!r.number(f.bits) || f.bits == 0 || f.bits % 16 != 0 || !r.number(f.exponent)) return false;
    size_t full = f.bits / 8, half = f.bits / 16;
    if (!r.take(full, f.modulus)) return false;
    for (int i = 0; i < 5; ++i)
        if (!r.take(half, skip)) return false;
    if (!r.take(full, skip)) return false;
    OPENSSL_cleanse(skip.data(), skip.size());
    return r.counted(f.cn) && r.counted(f.serial) && r.take(20, f.thumbprint) &&
           r.take(14, f.notBefore) && r.take(14, f.notAfter) && r.counted(f.certificate) &&
           r.atEnd();
}

class Demo {
  public:
    Demo(std::ostream& out, bool json, bool keep) : report_(out, json), space_(keep) {}

    int run() {
        if (!space_.ready()) {
            report_.step("Make a throw-away folder", "", "", -1, "", false, "mkdtemp failed");
            return 1;
        }
        report_.note("Kestrune demo in " + space_.root() + " (two homes: first, second)");
        ui::ScopedBackend noDialogs(ui::makeNoneBackend());
        space_.useHome("first");
        {
            Control control;
            if (!control) {
                report_.step("Create the control object", "", "", -1, "", false, "");
                return 1;
            }
            if (makeAuthority() && enroll(control) && sign(control) && exportPfx(control) &&
                changePassword(control)) {
                space_.useHome("second");
                importPfx(control);
                exportMobile(control);
            }
        }
        report_.note(std::to_string(report_.count() - report_.failed()) + " of " +
                     std::to_string(report_.count()) + " steps succeeded");
        return report_.failed() == 0 ? 0 : 1;
    }

  private:
    // Reports a call's outcome with the control's error pair; true when lastError is 0
    // and the demo's own check holds.
    bool called(Control& control, const std::string& title, const std::string& call,
                const std::string& result, bool checked = true, const std::string& check = "") {
        long code = control.lastError();
        bool ok = code == 0 && checked;
        report_.step(title, call, result, code, control.errorMessage(), ok, check);
        return ok;
    }

    bool makeAuthority() {
        bool ok = ca_.create();
        report_.step("Make a certification authority with OpenSSL", "", "", -1, "", ok,
                     ok ? "root \"Kestrune Demo Root CA\", RSA 2048" : "OpenSSL failed");
        return ok;
    }

    bool enroll(Control& control) {
        LONG ret = 0;
        control->SetProviderName(Control::arg(MS_ENHANCED_PROV_A).get(), &ret);
        if (!called(control, "Choose the key provider",
                    std::string("SetProviderName(\"") + MS_ENHANCED_PROV_A + "\")",
                    std::to_string(ret)))
            return false;

        BstrHolder request;
        control->CreatePKCS10(Control::arg(kCommonName).get(), 2048, 1, request.out());
        std::string requestText = Control::text(request);
        Bytes der = fromBase64(requestText);
        std::string subject;
        bool verified = false;
        bool parsed = !der.empty() && demo::describeRequest(der, subject, verified);
        if (!called(control, "Make a key pair and a PKCS#10 request",
                    std::string("CreatePKCS10(\"") + kCommonName + "\", 2048, 1)", requestText,
                    parsed && verified,
                    parsed ? "request for \"" + subject + "\", signature " +
                                 (verified ? "verified by OpenSSL" : "NOT VALID")
                           : "the request does not decode"))
            return false;

        std::string why;
        leaf_ = ca_.issue(der, why);
        bool issued = !leaf_.empty();
        report_.step("The certification authority issues the certificate", "", "", -1, "", issued,
                     issued ? "signed by the demo root" : why);
        if (!issued) return false;

        std::string chain = toBase64(demo::DemoCa::certificateChain({leaf_, ca_.rootDer()}));
        control->AcceptPKCS7(Control::arg(chain).get(), &ret);
        return called(control, "Install the issued chain",
                      "AcceptPKCS7(<PKCS#7 with 2 certificates>)", std::to_string(ret), true,
                      "root into \"ROOT\", certificate into \"MY\"");
    }

    bool sign(Control& control) {
        LONG ret = 0;
        control->SelectSigner(Control::arg(std::string("S_CN=") + kCommonName).get(), 0, 0, &ret);
        BstrHolder cn;
        control->GetCertSubjectCN(cn.out());
        if (!called(control, "Select the new certificate as signer",
                    std::string("SelectSigner(\"S_CN=") + kCommonName + "\", 0, 0)",
                    std::to_string(ret)))
            return false;

        BstrHolder pkcs1;
        control->SignPkcs1(Control::arg(kContent).get(), 0, pkcs1.out());
        std::string hex = Control::text(pkcs1);
        bool good =
            !hex.empty() && demo::verifyPkcs1(leaf_, utf16le(kContent), fromHex(hex), "SHA1");
        bool ok = called(control, "Sign the text, bare PKCS#1 (SHA-1 of UTF-16LE)",
                         "SignPkcs1(\"" + std::string(kContent) + "\", 0)", hex, good,
                         good ? "signature verified by OpenSSL with the certificate's key"
                              : "signature NOT verified");

        BstrHolder pkcs7;
        control->SignPkcs7(Control::arg(kContent).get(), 0x2000, pkcs7.out());
        std::string b64 = Control::text(pkcs7);
        std::string signer;
        good = !b64.empty() &&
               demo::verifyPkcs7(fromBase64(b64), ca_.rootDer(), utf16le(kContent), false, signer);
        ok &= called(
            control, "Sign the text, PKCS#7 with signing time",
            "SignPkcs7(\"" + std::string(kContent) + "\", 0x2000)", b64, good,
            good ? "message verified by OpenSSL CMS up to the demo root, signer \"" + signer + "\""
                 : "message NOT verified");

        control->SignPkcs7(Control::arg(kContent).get(), 0x400, pkcs7.out());
        b64 = Control::text(pkcs7);
        good = !b64.empty() &&
               demo::verifyPkcs7(fromBase64(b64), ca_.rootDer(), utf16le(kContent), true, signer);
        ok &= called(control, "Sign the text, detached PKCS#7",
                     "SignPkcs7(\"" + std::string(kContent) + "\", 0x400)", b64, good,
                     good ? "verified by OpenSSL CMS with the content supplied separately"
                          : "message NOT verified");
        return ok;
    }

    bool exportPfx(Control& control) {
        LONG ret = 0;
        control->ExportPfxFromIE(Control::arg(std::string("S_CN=") + kCommonName).get(),
                                 Control::arg(space_.files()).get(),
                                 Control::arg(kFirstPassword).get(), 0, 0, &ret);
        BstrHolder folder, name;
        control->GetExportedPfxFilePath(folder.out());
        control->GetExportedPfxFileName(name.out());
        pfxName_ = Control::text(name);
        std::string path = Control::text(folder) + "/" + pfxName_;
        bool written = std::filesystem::is_regular_file(path);
        return called(control, "Export the certificate and key to a PFX file",
                      "ExportPfxFromIE(\"S_CN=" + std::string(kCommonName) + "\", \"" +
                          space_.files() + "\", \"" + kFirstPassword + "\", 0, 0)",
                      std::to_string(ret), written,
                      written ? "written: " + path : "no file at " + path);
    }

    bool changePassword(Control& control) {
        LONG ret = 0;
        control->ChangePfxPasswd(Control::arg(space_.files()).get(), Control::arg(pfxName_).get(),
                                 Control::arg(kFirstPassword).get(),
                                 Control::arg(kSecondPassword).get(), 0, &ret);
        return called(control, "Change the PFX file's password",
                      "ChangePfxPasswd(..., \"" + pfxName_ + "\", \"" + kFirstPassword + "\", \"" +
                          kSecondPassword + "\", 0)",
                      std::to_string(ret));
    }

    bool importPfx(Control& control) {
        LONG ret = 0;
        control->ImportPfxToIE(Control::arg(space_.files()).get(), Control::arg(pfxName_).get(),
                               Control::arg(kSecondPassword).get(), 1, 0, &ret);
        if (!called(control, "Import the PFX file into the second home",
                    "ImportPfxToIE(..., \"" + pfxName_ + "\", \"" + kSecondPassword + "\", 1, 0)",
                    std::to_string(ret)))
            return false;
        control->SelectSigner(Control::arg(std::string("S_CN=") + kCommonName).get(), 0, 0, &ret);
        BstrHolder pkcs1;
        control->SignPkcs1(Control::arg(kContent).get(), 0, pkcs1.out());
        std::string hex = Control::text(pkcs1);
        bool good =
            !hex.empty() && demo::verifyPkcs1(leaf_, utf16le(kContent), fromHex(hex), "SHA1");
        return called(control, "Sign with the imported key in the second home",
                      "SelectSigner + SignPkcs1(\"" + std::string(kContent) + "\", 0)", hex, good,
                      good ? "signature verified by OpenSSL" : "signature NOT verified");
    }

    bool exportMobile(Control& control) {
        BstrHolder mobile;
        control->ExportMobileFromPfx(Control::arg(space_.files()).get(),
                                     Control::arg(pfxName_).get(),
                                     Control::arg(kSecondPassword).get(), 0, 0, mobile.out());
        std::string text = Control::text(mobile);
        std::string check = "the record does not decrypt";
        bool good = false;
        if (!text.empty()) {
            // The key: SHA-1 of the password's ANSI bytes, then the record's tag.
            Bytes key = sha1(bytesOf(utf8ToAnsi(kSecondPassword)));
            key.insert(key.end(), {'Z', 'E', 'L', 'K'});
            Bytes record = demo::decryptDesEde3(fromBase64(text), key);
            OPENSSL_cleanse(key.data(), key.size());
            MobileFields f;
            if (!record.empty() && parseMobileRecord(record, f)) {
                std::string cn = ansiToUtf8(std::string(f.cn.begin(), f.cn.end()));
                good = f.modulus == demo::rsaModulus(leaf_) && f.certificate == leaf_ &&
                       f.thumbprint == sha1(leaf_) && cn == kCommonName;
                check = "decrypted with OpenSSL 3DES: tag ZELK, " + std::to_string(f.bits) +
                        "-bit key, e " + std::to_string(f.exponent) + ", CN \"" + cn +
                        "\", valid " + std::string(f.notBefore.begin(), f.notBefore.end()) +
                        " to " + std::string(f.notAfter.begin(), f.notAfter.end()) +
                        (good ? "; modulus, thumbprint and certificate match"
                              : "; fields do NOT match the certificate");
            }
            OPENSSL_cleanse(record.data(), record.size());
        }
        return called(
            control, "Export the key in the mobile format and read it back",
            "ExportMobileFromPfx(..., \"" + pfxName_ + "\", \"" + kSecondPassword + "\", 0, 0)",
            text, good, check);
    }

    Report report_;
    Workspace space_;
    demo::DemoCa ca_;
    Bytes leaf_;
    std::string pfxName_;
};

}  // namespace

int runDemo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false, keep = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else if (a == "--keep")
            keep = true;
        else {
            err << "usage: kscapi demo [--json] [--keep]\n";
            return 2;
        }
    }
    return Demo(out, json, keep).run();
}

}  // namespace host
