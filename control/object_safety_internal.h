// The interface a browser asks before it lets a page script an object.
#pragma once

#include "platform/com/com.h"

constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x00000001;
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x00000002;

struct IObjectSafety : IUnknown {
    virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                              DWORD* pdwEnabledOptions) = 0;
    virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                              DWORD dwEnabledOptions) = 0;
};
