#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/system/files.h"
#include "ui/deferred_backend.h"
#include "ui/dialogs.h"

namespace ui {
namespace {

class NoneBackend final : public DialogBackend {
  public:
    const char* name() const override { return "none"; }
    FileChooserAnswer fileChooser(const FileChooserModel&) override {
        return {DialogOutcome::Failed, {}};
    }
    int messageBox(const std::string&, const std::string&, UINT) override { return IDOK; }
};

// Passes every dialog to the backend `target` returns, with `enter` called before each
// and `leave` after it when they are given.
class ForwardingBackend final : public DialogBackend {
  public:
    explicit ForwardingBackend(std::function<DialogBackend&()> target,
                               std::function<void()> enter = {}, std::function<void()> leave = {})
        : target_(std::move(target)), enter_(std::move(enter)), leave_(std::move(leave)) {}
    const char* name() const override { return target_().name(); }
    FileChooserAnswer fileChooser(const FileChooserModel& model) override {
        Call call(*this);
        return target_().fileChooser(model);
    }
    FolderBrowserAnswer folderBrowser(const FolderBrowserModel& model) override {
        Call call(*this);
        return target_().folderBrowser(model);
    }
    int messageBox(const std::string& text, const std::string& caption, UINT type) override {
        Call call(*this);
        return target_().messageBox(text, caption, type);
    }
    DialogOutcome runCredentialsDialog(CredentialsDialog& dialog) override {
        Call call(*this);
        return target_().runCredentialsDialog(dialog);
    }
    DialogOutcome runCertListDialog(CertListDialog& dialog) override {
        Call call(*this);
        return target_().runCertListDialog(dialog);
    }
    DialogOutcome runKeyAccessDialog(KeyAccessDialog& dialog) override {
        Call call(*this);
        return target_().runKeyAccessDialog(dialog);
    }
    DialogOutcome runPinDialog(PinDialog& dialog) override {
        Call call(*this);
        return target_().runPinDialog(dialog);
    }
    DialogOutcome runOriginConsentDialog(OriginConsentDialog& dialog) override {
        Call call(*this);
        return target_().runOriginConsentDialog(dialog);
    }
    DialogOutcome runSignConsentDialog(SignConsentDialog& dialog) override {
        Call call(*this);
        return target_().runSignConsentDialog(dialog);
    }
    DialogOutcome runKeyExportConsentDialog(KeyExportConsentDialog& dialog) override {
        Call call(*this);
        return target_().runKeyExportConsentDialog(dialog);
    }
    DialogOutcome runRootInstallDialog(RootInstallDialog& dialog) override {
        Call call(*this);
        return target_().runRootInstallDialog(dialog);
    }
    DialogOutcome runStoreGrowthConsentDialog(StoreGrowthConsentDialog& dialog) override {
        Call call(*this);
        return target_().runStoreGrowthConsentDialog(dialog);
    }

  private:
    // Brackets one dialog with the hooks, also when it throws.
    class Call {
      public:
        explicit Call(ForwardingBackend& owner) : owner_(owner) {
            if (owner_.enter_) owner_.enter_();
        }
        ~Call() {
            if (owner_.leave_) owner_.leave_();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

      private:
        ForwardingBackend& owner_;
    };

    std::function<DialogBackend&()> target_;
    std::function<void()> enter_;
    std::function<void()> leave_;
};

std::mutex g_mutex;
std::unique_ptr<DialogBackend> g_backend;
std::string g_requester;

}  // namespace

FolderBrowserAnswer DialogBackend::folderBrowser(const FolderBrowserModel&) {
    return {DialogOutcome::Failed, {}};
}

DialogOutcome DialogBackend::runCredentialsDialog(CredentialsDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runCertListDialog(CertListDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runKeyAccessDialog(KeyAccessDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runPinDialog(PinDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runOriginConsentDialog(OriginConsentDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runSignConsentDialog(SignConsentDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runKeyExportConsentDialog(KeyExportConsentDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runRootInstallDialog(RootInstallDialog&) {
    return DialogOutcome::Failed;
}

DialogOutcome DialogBackend::runStoreGrowthConsentDialog(StoreGrowthConsentDialog&) {
    return DialogOutcome::Failed;
}

void setDialogRequester(const std::string& requester) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requester = requester;
}

const std::string& dialogRequester() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_requester;
}

std::string shownCaption(const std::string& title) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_requester.empty()) return title;
    return title + " - " + g_requester;
}

DialogBackend& backend() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_backend) g_backend = std::make_unique<NoneBackend>();
    return *g_backend;
}

std::unique_ptr<DialogBackend> setBackend(std::unique_ptr<DialogBackend> b) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!b) b = std::make_unique<NoneBackend>();
    std::swap(g_backend, b);
    return b;
}

std::unique_ptr<DialogBackend> makeNoneBackend() {
    return std::make_unique<NoneBackend>();
}

std::unique_ptr<DialogBackend> makeForwardingBackend(DialogBackend& target) {
    return std::make_unique<ForwardingBackend>([&target]() -> DialogBackend& { return target; });
}

std::unique_ptr<DialogBackend> makeForwardingBackend(std::unique_ptr<DialogBackend> target,
                                                     std::function<void()> enter,
                                                     std::function<void()> leave) {
    std::shared_ptr<DialogBackend> owned(std::move(target));
    if (!owned) owned = makeNoneBackend();
    return std::make_unique<ForwardingBackend>([owned]() -> DialogBackend& { return *owned; },
                                               std::move(enter), std::move(leave));
}

std::unique_ptr<DialogBackend> makeDeferredBackend(
    std::function<std::unique_ptr<DialogBackend>()> choose) {
    struct Choice {
        std::once_flag once;
        std::function<std::unique_ptr<DialogBackend>()> choose;
        std::unique_ptr<DialogBackend> chosen;
    };
    auto choice = std::make_shared<Choice>();
    choice->choose = std::move(choose);
    return std::make_unique<ForwardingBackend>([choice]() -> DialogBackend& {
        std::call_once(choice->once, [&] {
            choice->chosen = choice->choose();
            if (!choice->chosen) choice->chosen = makeNoneBackend();
        });
        return *choice->chosen;
    });
}

bool sessionNamesDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

std::string chooserStartFolder(const FileChooserModel& model) {
    if (!model.initialFolder.empty()) return model.initialFolder;
    char folder[4096];
    return getcwd(folder, sizeof folder) ? ansiPath(folder) : std::string();
}

FileChooserAnswer showFileChooser(const FileChooserModel& model) {
    return backend().fileChooser(model);
}

FolderBrowserAnswer showFolderBrowser(const FolderBrowserModel& model) {
    return backend().folderBrowser(model);
}

DialogOutcome runDialog(CredentialsDialog& dialog) {
    return backend().runCredentialsDialog(dialog);
}

DialogOutcome runDialog(CertListDialog& dialog) {
    return backend().runCertListDialog(dialog);
}

DialogOutcome runDialog(KeyAccessDialog& dialog) {
    return backend().runKeyAccessDialog(dialog);
}

DialogOutcome runDialog(PinDialog& dialog) {
    return backend().runPinDialog(dialog);
}

DialogOutcome runDialog(OriginConsentDialog& dialog) {
    return backend().runOriginConsentDialog(dialog);
}

DialogOutcome runDialog(SignConsentDialog& dialog) {
    return backend().runSignConsentDialog(dialog);
}

DialogOutcome runDialog(KeyExportConsentDialog& dialog) {
    return backend().runKeyExportConsentDialog(dialog);
}

DialogOutcome runDialog(RootInstallDialog& dialog) {
    return backend().runRootInstallDialog(dialog);
}

DialogOutcome runDialog(StoreGrowthConsentDialog& dialog) {
    return backend().runStoreGrowthConsentDialog(dialog);
}

}  // namespace ui
