// Private keys at rest: every private key in the user database is sealed with
// AES-256-GCM under a master key of the database. The master key lives in the desktop's
// Secret Service (GNOME Keyring, KWallet) when one answers at the time the database is
// set up, else in a 0600 file beside the database ("kestrune.key"), which is no stronger
// than the file's permissions. The database records which of the two holds its key and
// the key's random id (table key_protection), so a database set up under a key file stays
// readable when a Secret Service appears later, and a copy of the database without its
// master key opens no private key.
//
// A sealed key is "KSK1", a 12-byte random nonce, the ciphertext of the PKCS#8 DER and
// the 16-byte tag; the associated data is the container's keyset, its upper-cased name
// and the slot, each followed by a zero byte (the slot as decimal text), so a sealed key
// moved to another container or slot does not open. The master key is never printed or
// logged; copies of it in this process are wiped when released.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/openssl_holders.h"
#include "platform/system/types.h"

class DbConnection;

enum class KeyProtection { None, SecretService, File };

// "secret-service", "file", or "" for KeyProtection::None.
const char* keyProtectionName(KeyProtection protection);

// The protection the database records; None when it records none or cannot be read.
KeyProtection recordedKeyProtection(DbConnection& db);

// The slot's place, bound to a sealed key.
struct SealedKeyPlace {
    std::string keyset;
    std::string fold;  // the container name with ASCII letters upper-cased
    DWORD keySpec;
};

// Seals the PKCS#8 DER of a private key for its place under the database's master key.
// True with `sealed` filled; false when the master key cannot be had (the Secret
// Service does not answer, the key file is gone) or the cipher fails.
bool sealPrivateKey(DbConnection& db, const SealedKeyPlace& place, const SecretBytes& der,
                    std::vector<BYTE>& sealed);
// Opens a sealed key into `der` (wiped when the caller releases it). False when the
// master key cannot be had, or the bytes are not a key sealed for this place under it.
bool openPrivateKey(DbConnection& db, const SealedKeyPlace& place, const std::vector<BYTE>& sealed,
                    SecretBytes& der);

// The schema step that sets up the protection of a database: chooses where the master
// key lives, makes it, records it and seals every private key stored before, inside the
// caller's write transaction. SQLITE_OK, SQLITE_CANTOPEN when no master key can be
// made or stored, or the failing SQLite code; the caller's rollback then leaves the
// database as it was.
int setUpKeyProtection(DbConnection& db);

// How long the Secret Service may take to answer before the key file is used instead.
constexpr int kSecretServiceTimeoutMs = 3000;
