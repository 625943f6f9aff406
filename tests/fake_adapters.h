// An adapter list given by the test, for GetAdaptersInfo and what is built on it.
#pragma once

#include <vector>

#include "platform/system/adapters.h"

class FakeAdapterSource : public AdapterSource {
  public:
    explicit FakeAdapterSource(std::vector<AdapterRecord> adapters, bool available = true)
        : adapters_(std::move(adapters)), available_(available) {}
    bool list(std::vector<AdapterRecord>& out) override {
        out = adapters_;
        return available_;
    }

  private:
    std::vector<AdapterRecord> adapters_;
    bool available_;
};

// `count` Ethernet adapters with indexes from 2 and addresses 02-00-00-00-00-<index>.
inline std::vector<AdapterRecord> numberedAdapters(size_t count) {
    std::vector<AdapterRecord> list;
    for (size_t i = 0; i < count; ++i) {
        BYTE index = static_cast<BYTE>(i + 2);
        list.push_back({index, "eth" + std::to_string(i), 6, {0x02, 0, 0, 0, 0, index}});
    }
    return list;
}

// Installs a fake list for the holder's lifetime.
inline ScopedAdapterSource fakeAdapters(std::vector<AdapterRecord> adapters,
                                        bool available = true) {
    return ScopedAdapterSource(std::make_unique<FakeAdapterSource>(std::move(adapters), available));
}
