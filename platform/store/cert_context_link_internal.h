// How certificate contexts and the stores holding them meet, inside the platform layer.
// A store creates its elements here with no reference: the store keeps them "parked"
// and hands them out with certContextAcquire. When the last outside reference goes,
// the context is given back to its owner instead of being freed, so a store keeps its
// parsed certificates for as long as it lives and frees them itself.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypt/wincrypt.h"

class CertContextOwner {
  public:
    // The context's last reference was dropped. The owner keeps it or frees it with
    // certContextDestroy. Called without any lock of the layer held.
    virtual void contextUnused(PCCERT_CONTEXT context) = 0;
    // A caller sets (pvData not null) or removes property dwPropId of one of the owner's
    // contexts; pvData is the caller's structure, already checked. Called before the
    // context changes: FALSE (last error set) refuses the change.
    virtual BOOL propertyChanging(PCCERT_CONTEXT context, DWORD dwPropId, const void* pvData) = 0;

  protected:
    ~CertContextOwner() = default;
};

// A new context with no reference, no store and no owner. Null with the
// CertCreateCertificateContext errors.
PCCERT_CONTEXT certContextCreateParked(const BYTE* encoded, DWORD size);
// The same, taking the bytes over from `encoded` (left empty) on success; on failure
// `encoded` keeps them.
PCCERT_CONTEXT certContextCreateParked(std::vector<BYTE>& encoded);
// The SHA-1 of `size` bytes at `data` into `out`, with the digest fetched once per
// process. False (OpenSSL's error queue cleared) when no SHA-1 is available.
bool certSha1(const BYTE* data, size_t size, std::array<BYTE, 20>& out);
// Gives the context its store and owner (once, before it is handed out).
void certContextAttach(PCCERT_CONTEXT context, HCERTSTORE store, CertContextOwner* owner);
// Adds a reference for a hand-out. True when the context had none (it was parked).
bool certContextAcquire(PCCERT_CONTEXT context);
// Frees a context regardless of references (its owner decides it is no longer used).
void certContextDestroy(PCCERT_CONTEXT context);

// A property in a form that survives the process: the blob's bytes, or for
// CERT_KEY_PROV_INFO_PROP_ID a pointer-free encoding of the record. The key context
// (a handle of this process) has no such form.
using PortableProperty = std::pair<DWORD, std::vector<BYTE>>;
using PortableProperties = std::vector<PortableProperty>;

// The context's properties in portable form, in ascending id order.
PortableProperties certContextPortableProperties(PCCERT_CONTEXT context);
// The portable form of a caller's value for dwPropId (the pvData of
// CertSetCertificateContextProperty). False for the key context.
bool portablePropertyValue(DWORD dwPropId, const void* pvData, std::vector<BYTE>& out);
// Sets one portable property on a context quietly. False for bytes that do not decode.
bool certContextApplyPortable(PCCERT_CONTEXT context, const PortableProperty& property);
// The container name in the portable form of a CERT_KEY_PROV_INFO_PROP_ID value;
// `present` is false for a record without one (the default container). False when the
// bytes do not decode.
bool portableKeyProvInfoContainer(const std::vector<BYTE>& bytes, std::u16string& container,
                                  bool& present);
// Removes every property but the key context quietly, then applies `properties`.
void certContextReplacePortable(PCCERT_CONTEXT context, const PortableProperties& properties);
