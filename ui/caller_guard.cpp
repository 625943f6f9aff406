#include "ui/caller_guard.h"

#include <mutex>

#include "core/paths.h"

namespace ui {
namespace {

class ForwardingGuard final : public CallerGuard {
  public:
    explicit ForwardingGuard(CallerGuard& target) : target_(target) {}
    std::string registryRoot() override { return target_.registryRoot(); }
    bool mayStoreValue(const std::string& keyPath, const std::string& valueName,
                       size_t bytes) override {
        return target_.mayStoreValue(keyPath, valueName, bytes);
    }
    bool allowSignature(const CertificateSummary& certificate,
                        std::u16string_view content) override {
        return target_.allowSignature(certificate, content);
    }
    bool allowKeyExport(const CertificateSummary& certificate, KeyExport how,
                        bool deletesCertificate) override {
        return target_.allowKeyExport(certificate, how, deletesCertificate);
    }
    bool allowNewKeyContainer() override { return target_.allowNewKeyContainer(); }
    bool allowNewCertificates(std::span<const StoreAddition> additions) override {
        return target_.allowNewCertificates(additions);
    }
    bool useGivenPath(const std::string& path, PathUse use) override {
        return target_.useGivenPath(path, use);
    }
    void pathHanded(const std::string& path, PathUse use) override {
        target_.pathHanded(path, use);
    }
    bool tryGivenPassword(const std::string& path) override {
        return target_.tryGivenPassword(path);
    }
    void passwordTried(const std::string& path, bool right) override {
        target_.passwordTried(path, right);
    }

  private:
    CallerGuard& target_;
};

std::mutex g_mutex;
std::unique_ptr<CallerGuard> g_guard;

}  // namespace

CallerGuard& callerGuard() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_guard) g_guard = std::make_unique<CallerGuard>();
    return *g_guard;
}

std::unique_ptr<CallerGuard> setCallerGuard(std::unique_ptr<CallerGuard> guard) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!guard) guard = std::make_unique<CallerGuard>();
    std::swap(g_guard, guard);
    return guard;
}

void handChosenFile(const std::string& folder, const std::string& fileName, PathUse use) {
    CallerGuard& guard = callerGuard();
    guard.pathHanded(folder, PathUse::Folder);
    guard.pathHanded(joinPath(folder, fileName), use);
}

bool givenFileAccepted(const std::string& path, std::initializer_list<PathUse> uses,
                       bool password) {
    CallerGuard& guard = callerGuard();
    for (PathUse use : uses)
        if (!guard.useGivenPath(path, use)) return false;
    return !password || guard.tryGivenPassword(path);
}

std::unique_ptr<CallerGuard> makeForwardingGuard(CallerGuard& target) {
    return std::make_unique<ForwardingGuard>(target);
}

}  // namespace ui
