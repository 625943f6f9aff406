#include "platform/system/adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/system/last_error.h"

namespace {

constexpr UINT MIB_IF_TYPE_OTHER = 1;
constexpr UINT MIB_IF_TYPE_ETHERNET = 6;
constexpr UINT MIB_IF_TYPE_PPP = 23;
constexpr UINT IF_TYPE_IEEE80211 = 71;

// The list getifaddrs returns, freed with it.
class InterfaceList {
  public:
    InterfaceList() = default;
    ~InterfaceList() { close(); }
    InterfaceList(const InterfaceList&) = delete;
    InterfaceList& operator=(const InterfaceList&) = delete;
    bool open() {
        close();
        return ::getifaddrs(&head_) == 0;
    }
    void close() {
        if (head_) ::freeifaddrs(head_);
        head_ = nullptr;
    }
    const ifaddrs* head() const { return head_; }

  private:
    ifaddrs* head_ = nullptr;
};

UINT adapterType(const std::string& name, unsigned short hardwareType) {
    if (hardwareType == ARPHRD_PPP) return MIB_IF_TYPE_PPP;
    if (hardwareType != ARPHRD_ETHER) return MIB_IF_TYPE_OTHER;
    // Wireless interfaces look like Ethernet to the packet layer; sysfs tells them apart.
    struct stat st {};
    std::string wireless = "/sys/class/net/" + name + "/wireless";
    return ::stat(wireless.c_str(), &st) == 0 ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
}

// The machine's interfaces from their link-layer (AF_PACKET) entries, which carry the
// interface index and hardware address of every interface, up or down.
class SystemAdapterSource : public AdapterSource {
  public:
    bool list(std::vector<AdapterRecord>& out) override {
        out.clear();
        InterfaceList interfaces;
        if (!interfaces.open()) return false;
        for (const ifaddrs* i = interfaces.head(); i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET) continue;
            if (i->ifa_flags & IFF_LOOPBACK) continue;
            sockaddr_ll link{};
            std::memcpy(&link, i->ifa_addr, sizeof(link));
            AdapterRecord record;
            record.index = static_cast<DWORD>(link.sll_ifindex);
            record.name = i->ifa_name ? i->ifa_name : "";
            record.type = adapterType(record.name, link.sll_hatype);
            size_t length = std::min<size_t>(link.sll_halen, sizeof(link.sll_addr));
            record.address.assign(link.sll_addr, link.sll_addr + length);
            out.push_back(std::move(record));
        }
        std::stable_sort(
            out.begin(), out.end(),
            [](const AdapterRecord& a, const AdapterRecord& b) { return a.index < b.index; });
        return true;
    }
};

std::mutex g_sourceLock;
std::unique_ptr<AdapterSource> g_source;  // null: the system's

void copyText(char* field, size_t fieldSize, const std::string& text) {
    size_t n = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

}  // namespace

std::unique_ptr<AdapterSource> makeSystemAdapterSource() {
    return std::make_unique<SystemAdapterSource>();
}

std::unique_ptr<AdapterSource> setAdapterSource(std::unique_ptr<AdapterSource> source) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    std::swap(source, g_source);
    return source;
}

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG pOutBufLen) {
    if (!pOutBufLen) return ERROR_INVALID_PARAMETER;
    std::vector<AdapterRecord> adapters;
    {
        std::lock_guard<std::mutex> lock(g_sourceLock);
        if (!g_source) g_source = makeSystemAdapterSource();
        if (!g_source->list(adapters)) return ERROR_NOT_SUPPORTED;
    }
    if (adapters.empty()) return ERROR_NO_DATA;
    const uint64_t needed = static_cast<uint64_t>(adapters.size()) * sizeof(IP_ADAPTER_INFO);
    if (needed > 0xFFFFFFFFu) return ERROR_NOT_SUPPORTED;
    if (!AdapterInfo || *pOutBufLen < needed) {
        *pOutBufLen = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < adapters.size(); ++i) {
        const AdapterRecord& from = adapters[i];
        IP_ADAPTER_INFO& to = AdapterInfo[i];
        std::memset(&to, 0, sizeof(to));
        to.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
        to.ComboIndex = from.index;
        copyText(to.AdapterName, sizeof(to.AdapterName), from.name);
        copyText(to.Description, sizeof(to.Description), from.name);
        // The stated length is the system's, even when the field keeps only its start.
        to.AddressLength = static_cast<UINT>(from.address.size());
        if (!from.address.empty())
            std::memcpy(to.Address, from.address.data(),
                        std::min(from.address.size(), sizeof(to.Address)));
        to.Index = from.index;
        to.Type = from.type;
        copyText(to.IpAddressList.IpAddress.String, sizeof(to.IpAddressList.IpAddress.String),
                 "0.0.0.0");
        copyText(to.IpAddressList.IpMask.String, sizeof(to.IpAddressList.IpMask.String), "0.0.0.0");
        copyText(to.GatewayList.IpAddress.String, sizeof(to.GatewayList.IpAddress.String),
                 "0.0.0.0");
        copyText(to.GatewayList.IpMask.String, sizeof(to.GatewayList.IpMask.String), "0.0.0.0");
    }
    return ERROR_SUCCESS;
}
