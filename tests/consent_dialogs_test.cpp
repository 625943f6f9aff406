// The consent dialogs of a page's signature and of a private key leaving for a page: what
// they show, and how the scripted and terminal backends answer them.
#include "ui/consent_dialogs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "platform/text/codepage.h"
#include "tests/dialog_fakes.h"
#include "tests/test_support.h"
#include "ui/terminal_backend.h"

namespace {

using ui::DialogOutcome;

const ui::CertificateSummary kCertificate{"Alice", "Test CA",
                                          "0123456789ABCDEF0123456789ABCDEF01234567"};
const std::string kSite = "https://shop.example";

// SHA-256 of the UTF-8 bytes, as Python's hashlib computes it.
std::string pythonSha256(const std::string& utf8) {
    testing_support::TempDir dir;
    testing_support::writeFile(dir.file("t"), utf8);
    std::string out = testing_support::runCommand(
        "python3 -c \"import hashlib,sys; "
        "print(hashlib.sha256(open(sys.argv[1],'rb').read()).hexdigest().upper())\" " +
        dir.file("t"));
    return out.substr(0, out.find('\n'));
}

TEST(SignConsentDialog, ShowsShortTextsWholeAndLongOnesByStartLengthAndDigest) {
    testing_support::ScopedCodePage utf8(65001);
    const std::u16string pair = u"\U0001F600";  // one character, two UTF-16 units
    struct Case {
        const char* what;
        std::u16string text;
        size_t length;
        bool whole;
        std::u16string start;  // what the box begins with
    };
    const Case cases[] = {
        {"short", u"pay 100 to Bob", 14, true, u"pay 100 to Bob"},
        {"at the limit", std::u16string(ui::kSignTextShownWhole, u'a'), ui::kSignTextShownWhole,
         true, std::u16string(ui::kSignTextShownWhole, u'a')},
        {"one above", std::u16string(ui::kSignTextShownWhole + 1, u'b'),
         ui::kSignTextShownWhole + 1, false, std::u16string(ui::kSignTextShownWhole, u'b') + u"\n"},
        {"a pair at the cut stays whole",
         std::u16string(ui::kSignTextShownWhole - 1, u'c') + pair + u"tail",
         ui::kSignTextShownWhole + 4, false,
         std::u16string(ui::kSignTextShownWhole - 1, u'c') + pair + u"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ui::SignConsentDialog dialog(kSite, kCertificate, c.text);
        EXPECT_EQ(dialog.length(), c.length);
        EXPECT_EQ(dialog.shownWhole(), c.whole);
        EXPECT_EQ(dialog.sha256(), pythonSha256(toUtf8(c.text)));
        const std::string shown = dialog.shownText();
        EXPECT_EQ(shown.rfind(toAnsi(c.start), 0), 0u);
        if (c.whole) {
            EXPECT_EQ(shown, toAnsi(c.text));
        } else {
            EXPECT_NE(shown.find(std::to_string(c.length)), std::string::npos);
            EXPECT_NE(shown.find(dialog.sha256()), std::string::npos);
        }
        for (const std::string& part :
             {kCertificate.holder, kCertificate.issuer, kCertificate.thumbprint})
            EXPECT_NE(dialog.message().find(part), std::string::npos) << part;
    }
}

// One consent dialog of each kind, asked through the process's backend.
struct Kind {
    const char* name;
    std::function<bool(bool* further)> ask;
};

const Kind kKinds[] = {
    {"SignConsent",
     [](bool* further) { return ui::askSignConsent(kSite, kCertificate, u"text", further); }},
    {"KeyExportConsent",
     [](bool*) {
         return ui::askKeyExportConsent(kSite, kCertificate, ui::KeyExport::PfxFile, true);
     }},
};

TEST(ConsentDialogs, ScriptedAnswersAllowOnlyOnOk) {
    struct Case {
        const char* what;
        bool queue;
        DialogOutcome outcome;
        nlohmann::json values;
        bool allowed, further, reported;
    };
    const Case cases[] = {
        {"ok", true, DialogOutcome::Ok, nlohmann::json::object(), true, false, true},
        {"cancel", true, DialogOutcome::Cancel, nullptr, false, false, true},
        {"fail", true, DialogOutcome::Failed, nullptr, false, false, false},
        {"no answer", false, DialogOutcome::Ok, nullptr, false, false, true},
    };
    for (const Kind& kind : kKinds) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(kind.name) + " " + c.what);
            ScriptedDialogs dialogs;
            if (c.queue) dialogs.queue(kind.name, c.outcome, c.values);
            bool further = true;
            EXPECT_EQ(kind.ask(&further), c.allowed);
            ASSERT_GE(dialogs.lines.size(), c.reported ? 1u : 0u);
            if (!c.reported) {
                EXPECT_TRUE(dialogs.lines.empty());
                continue;
            }
            const nlohmann::json& shown = dialogs.lines[0];
            EXPECT_EQ(shown["dialog"], kind.name);
            EXPECT_EQ(shown["site"], kSite);
            EXPECT_EQ(shown["holder"], "Alice");
            EXPECT_EQ(shown["thumbprint"], kCertificate.thumbprint);
        }
    }
    // "further" lets the page sign on; only a boolean fits it.
    ScriptedDialogs dialogs;
    dialogs.queue("SignConsent", DialogOutcome::Ok, {{"further", true}});
    bool further = false;
    EXPECT_TRUE(kKinds[0].ask(&further));
    EXPECT_TRUE(further);
    std::string reason;
    EXPECT_FALSE(
        dialogs.backend().queue("SignConsent", DialogOutcome::Ok, {{"further", "yes"}}, reason));
    EXPECT_EQ(reason, "SignConsent answer further must be true or false");
}

TEST(ConsentDialogs, TerminalAllowsOnlyAnExplicitYes) {
    struct Case {
        const char* input;
        bool allowed, further;
    };
    const Case cases[] = {
        {"y\ny\n", true, true},  {"y\n\n", true, false}, {"\n", false, false},
        {"yes\n", false, false}, {"", false, false},
    };
    for (const Case& c : cases) {
        FILE* in = tmpfile();
        fputs(c.input, in);
        rewind(in);
        char* printed = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&printed, &size);
        bool further = false;
        bool allowed;
        {
            ui::ScopedBackend terminal(ui::makeTerminalBackend(in, out));
            allowed = kKinds[0].ask(&further);
        }
        fclose(out);
        std::string text(printed, size);
        free(printed);
        fclose(in);
        EXPECT_EQ(allowed, c.allowed) << c.input;
        EXPECT_EQ(further, c.further) << c.input;
        EXPECT_NE(text.find(kSite), std::string::npos) << text;
    }
}

}  // namespace
