// The consent dialog for protected keys: what it shows, how each backend answers it, and
// the platform asking through it once installed.
#include "ui/key_access_dialog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/crypt/key_container.h"
#include "platform/text/codepage.h"
#include "tests/store_support.h"
#include "tests/temp_home.h"
#include "tests/test_support.h"
#include "ui/scripted_backend.h"
#include "ui/terminal_backend.h"

namespace {

using ui::DialogOutcome;

const KeyUseRequest kRequest{MS_ENHANCED_PROV_A, "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                             AT_KEYEXCHANGE, "CryptSignHash"};

TEST(KeyAccessDialog, NamesTheContainerAndTheOperation) {
    testing_support::ScopedCodePage big5(950);
    ui::KeyAccessDialog dialog(kRequest);
    EXPECT_EQ(dialog.caption(), toAnsi(u"私密金鑰存取"));
    EXPECT_EQ(dialog.message(), toAnsi(u"有程式要求使用受保護的私密金鑰。\n金鑰容器：3F2504E0-"
                                       u"4F89-11D3-9A0C-0305E82C3301\n作業：CryptSignHash\n"
                                       u"是否允許這次使用？"));
    EXPECT_EQ(dialog.resource().id, 207);
    // The operations of the platform layer are described in the dialog's language.
    struct Case {
        const char* operation;
        const char16_t* shown;
    };
    for (const Case& c : {Case{"sign a hash", u"簽署雜湊值"}, Case{"sign a message", u"簽署訊息"},
                          Case{"sign a certificate request", u"簽署憑證申請"},
                          Case{"export", u"匯出憑證與私密金鑰"}}) {
        KeyUseRequest request = kRequest;
        request.operation = c.operation;
        ui::KeyAccessDialog described(request);
        EXPECT_NE(described.message().find(toAnsi(u"作業：") + toAnsi(c.shown) + "\n"),
                  std::string::npos)
            << c.operation;
        EXPECT_EQ(described.operation(), c.operation);
    }
    // The certificate whose key it is comes before the container.
    const ui::CertificateSummary alice{"Alice", "Test CA", std::string(40, 'A')};
    ui::KeyAccessDialog named(kRequest, &alice);
    EXPECT_NE(named.message().find(toAnsi(u"。\n憑證持有者：Alice\n發行者：Test CA\n金鑰容器：")),
              std::string::npos);
    EXPECT_FALSE(dialog.allowed());
    dialog.pressOk();
    EXPECT_TRUE(dialog.allowed());
    dialog.pressCancel();
    EXPECT_FALSE(dialog.allowed());
}

TEST(KeyAccessDialog, ScriptedAnswersAllowOnlyOnOk) {
    testing_support::ScopedCodePage big5(950);
    struct Case {
        const char* what;
        bool queue;
        DialogOutcome queued;
        DialogOutcome result;
        bool reported;  // the dialog's line was printed
        const char* note;
    };
    const Case cases[] = {
        {"ok", true, DialogOutcome::Ok, DialogOutcome::Ok, true, nullptr},
        {"cancel", true, DialogOutcome::Cancel, DialogOutcome::Cancel, true, nullptr},
        {"fail", true, DialogOutcome::Failed, DialogOutcome::Failed, false, nullptr},
        {"no answer", false, DialogOutcome::Ok, DialogOutcome::Cancel, true, "no answer queued"},
    };
    for (const Case& c : cases) {
        std::vector<nlohmann::json> lines;
        ui::ScriptedBackend backend(
            [&](const std::string& line) { lines.push_back(nlohmann::json::parse(line)); });
        std::string reason;
        if (c.queue) {
            ASSERT_TRUE(
                backend.queue("KeyAccessDialog", c.queued, nlohmann::json::object(), reason));
        }
        ui::KeyAccessDialog dialog(kRequest);
        EXPECT_EQ(backend.runKeyAccessDialog(dialog), c.result) << c.what;
        EXPECT_EQ(dialog.allowed(), c.result == DialogOutcome::Ok) << c.what;
        ASSERT_EQ(lines.size(), (c.reported ? 1u : 0u) + (c.note ? 1u : 0u)) << c.what;
        if (c.reported) {
            EXPECT_EQ(lines[0]["dialog"], "KeyAccessDialog");
            EXPECT_EQ(lines[0]["title"], "私密金鑰存取");
            EXPECT_EQ(lines[0]["container"], kRequest.container);
            EXPECT_EQ(lines[0]["operation"], "CryptSignHash");
        }
        if (c.note) {
            EXPECT_EQ(lines.back()["note"], c.note);
        }
    }
    ui::ScriptedBackend backend(nullptr);
    std::string reason;
    EXPECT_FALSE(backend.queue("KeyAccessDialog", DialogOutcome::Ok, {{"index", 1}}, reason));
    EXPECT_EQ(reason, "KeyAccessDialog answers take no keys, not index");
}

TEST(KeyAccessDialog, TerminalAllowsOnlyAnExplicitYes) {
    struct Case {
        const char* input;
        DialogOutcome result;
    };
    const Case cases[] = {
        {"y\n", DialogOutcome::Ok},    {"Y\r\n", DialogOutcome::Ok},
        {"\n", DialogOutcome::Cancel}, {"yes please\n", DialogOutcome::Cancel},
        {"", DialogOutcome::Cancel},  // end of input
    };
    for (const Case& c : cases) {
        FILE* in = tmpfile();
        fputs(c.input, in);
        rewind(in);
        char* shown = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&shown, &size);
        {
            auto backend = ui::makeTerminalBackend(in, out);
            ui::KeyAccessDialog dialog(kRequest);
            EXPECT_EQ(backend->runKeyAccessDialog(dialog), c.result) << c.input;
            EXPECT_EQ(dialog.allowed(), c.result == DialogOutcome::Ok);
        }
        fclose(out);
        std::string text(shown, size);
        free(shown);
        fclose(in);
        EXPECT_NE(text.find("CryptSignHash"), std::string::npos) << text;
        EXPECT_NE(text.find("[y/N]"), std::string::npos) << text;
    }
}

TEST(KeyAccessDialog, InstalledConsentAsksThroughTheBackend) {
    TempHome home;
    openssl::EvpPkeyPtr rsa = store_test::fixtureKey("user1");
    CryptProvHolder prov;
    ASSERT_TRUE(CryptAcquireContextA(prov.out(), "asked", nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(
        cryptStoreKeyPair(prov.get(), AT_KEYEXCHANGE, rsa.get(), CRYPT_USER_PROTECTED, nullptr));
    KeyConsentHook previous = setKeyConsentHook(nullptr);
    ui::installKeyAccessConsent();

    // The none backend shows nothing: refused.
    {
        ui::ScopedBackend none(ui::makeNoneBackend());
        SetLastError(0);
        EXPECT_EQ(cryptUsePrivateKey(prov.get(), AT_KEYEXCHANGE, "CryptSignHash"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
    }
    std::vector<std::string> lines;
    auto scripted = std::make_unique<ui::ScriptedBackend>(
        [&](const std::string& line) { lines.push_back(line); });
    ui::ScriptedBackend& answers = *scripted;
    ui::ScopedBackend scope(std::move(scripted));
    std::string reason;
    ASSERT_TRUE(
        answers.queue("KeyAccessDialog", DialogOutcome::Ok, nlohmann::json::object(), reason));
    ASSERT_TRUE(answers.queue("KeyAccessDialog", DialogOutcome::Cancel, nullptr, reason));
    EXPECT_NE(cryptUsePrivateKey(prov.get(), AT_KEYEXCHANGE, "CryptSignHash"), nullptr);
    SetLastError(0);
    EXPECT_EQ(cryptUsePrivateKey(prov.get(), AT_KEYEXCHANGE, "CryptSignHash"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["container"], "asked");
    setKeyConsentHook(std::move(previous));
}

}  // namespace
