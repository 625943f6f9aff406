// Fakes for driving dialog models without a user: a shell that records message boxes and
// answers choosers with prepared picks, an opener that records what it was asked to
// show, certificate contexts of the fixtures for the list dialog, and the scripted
// backend installed for a scope with the lines it reports.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "cert_fixtures.h"
#include "ui/cert_list_dialog.h"
#include "ui/dialogs.h"
#include "ui/scripted_backend.h"

struct ShownMessage {
    std::string text;
    std::string caption;
    UINT type;
};

class FakeShell final : public ui::DialogBackend {
  public:
    const char* name() const override { return "fake"; }
    ui::FileChooserAnswer fileChooser(const ui::FileChooserModel& model) override {
        chooserSeen.push_back(model);
        return chooserAnswer;
    }
    ui::FolderBrowserAnswer folderBrowser(const ui::FolderBrowserModel& model) override {
        browserSeen.push_back(model);
        return browserAnswer;
    }
    int messageBox(const std::string& text, const std::string& caption, UINT type) override {
        messages.push_back({text, caption, type});
        return ui::IDOK;
    }

    ui::FileChooserAnswer chooserAnswer;
    ui::FolderBrowserAnswer browserAnswer;
    std::vector<ui::FileChooserModel> chooserSeen;
    std::vector<ui::FolderBrowserModel> browserSeen;
    std::vector<ShownMessage> messages;
};

class RecordingOpener final : public ui::DocumentOpener {
  public:
    void open(const std::string& path) override { opened.push_back(path); }
    std::vector<std::string> opened;
};

// Certificate contexts of fixtures, freed at the end of the scope.
class FixtureContexts {
  public:
    explicit FixtureContexts(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            ByteBuffer der = loadCert(name);
            contexts_.push_back(
                CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), der.length()));
            encodings_.push_back(der.str());
        }
    }
    ~FixtureContexts() {
        for (PCCERT_CONTEXT c : contexts_) CertFreeCertificateContext(c);
    }
    FixtureContexts(const FixtureContexts&) = delete;
    FixtureContexts& operator=(const FixtureContexts&) = delete;
    std::span<const PCCERT_CONTEXT> list() const { return contexts_; }
    const std::string& der(size_t i) const { return encodings_[i]; }

  private:
    std::vector<PCCERT_CONTEXT> contexts_;
    std::vector<std::string> encodings_;
};

// A scripted backend installed as the process's backend for the scope; its report lines
// are collected.
class ScriptedDialogs {
  public:
    ScriptedDialogs()
        : backend_([this](const std::string& line) {
              raw.push_back(line);
              lines.push_back(nlohmann::json::parse(line));
          }),
          scope_(ui::makeForwardingBackend(backend_)) {}
    void queue(const std::string& kind, ui::DialogOutcome outcome,
               const nlohmann::json& values = nullptr) {
        std::string reason;
        ASSERT_TRUE(backend_.queue(kind, outcome, values, reason)) << reason;
    }
    ui::ScriptedBackend& backend() { return backend_; }
    std::vector<std::string> raw;
    std::vector<nlohmann::json> lines;

  private:
    ui::ScriptedBackend backend_;
    ui::ScopedBackend scope_;
};
