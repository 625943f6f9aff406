// The network adapter list with the platform's record layout: the machine's network
// interfaces in interface-index order, loopback excluded.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/types.h"

constexpr int MAX_ADAPTER_NAME_LENGTH = 256;
constexpr int MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr int MAX_ADAPTER_ADDRESS_LENGTH = 8;

struct IP_ADDRESS_STRING {
    char String[16];
};
struct IP_ADDR_STRING {
    IP_ADDR_STRING* Next;
    IP_ADDRESS_STRING IpAddress;
    IP_ADDRESS_STRING IpMask;
    DWORD Context;
};

// One adapter record. Its size is fixed at 640 bytes, so a 10240-byte buffer holds 16.
struct IP_ADAPTER_INFO {
    IP_ADAPTER_INFO* Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
    // Pads the record to 640 bytes: the fields above take 528 bytes with 8-byte pointers
    // (4 bytes of alignment after DhcpEnabled, 48-byte address strings), 504 with 4-byte ones.
    BYTE Reserved[sizeof(void*) == 8 ? 640 - 528 : 640 - 504];
};
static_assert(sizeof(IP_ADAPTER_INFO) == 640);
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;

// One interface as the system reports it.
struct AdapterRecord {
    DWORD index = 0;
    std::string name;
    UINT type = 0;  // MIB_IF_TYPE_* (6 Ethernet, 71 wireless, 1 other)
    std::vector<BYTE> address;
};

// Where the adapter list comes from. The Linux source reads the system's interfaces;
// tests install their own for a scope.
class AdapterSource {
  public:
    virtual ~AdapterSource() = default;
    // The interfaces in index order, loopback excluded. False when the system cannot
    // be asked.
    virtual bool list(std::vector<AdapterRecord>& out) = 0;
};
std::unique_ptr<AdapterSource> makeSystemAdapterSource();
// Installs the source GetAdaptersInfo reads (null: the system's) and returns the
// previous one.
std::unique_ptr<AdapterSource> setAdapterSource(std::unique_ptr<AdapterSource> source);

class ScopedAdapterSource {
  public:
    explicit ScopedAdapterSource(std::unique_ptr<AdapterSource> s)
        : previous_(setAdapterSource(std::move(s))) {}
    ~ScopedAdapterSource() { setAdapterSource(std::move(previous_)); }
    ScopedAdapterSource(const ScopedAdapterSource&) = delete;
    ScopedAdapterSource& operator=(const ScopedAdapterSource&) = delete;

  private:
    std::unique_ptr<AdapterSource> previous_;
};

// Fills the caller's buffer with linked adapter records. Results: ERROR_SUCCESS;
// ERROR_BUFFER_OVERFLOW with *pOutBufLen set to the size needed; ERROR_NO_DATA when there
// is no adapter; ERROR_NOT_SUPPORTED when the list cannot be read; ERROR_INVALID_PARAMETER
// for a null size. Address holds at most the first 8 address bytes; AddressLength is the
// system's length. The IP address lists are not filled in (they read "0.0.0.0").
DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG pOutBufLen);
