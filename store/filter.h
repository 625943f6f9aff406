// The certificate filter: the short text by which a page names the certificate it wants,
// how it is cut into alternatives and name items, how the items are compared with a
// certificate's subject, issuer and serial, and the two searches that apply a filter to
// the certificates of a store.
//
// Filter syntax: alternatives separated by "//"; in each, items "S_<kind>=<value>" for
// the subject and "I_<kind>=<value>" for the issuer, separated by commas, line breaks or
// a literal backslash-n, where the kinds compared are C, O, OU, CN and SN (the serial
// number in hex, or a surname attribute). Example: "S_CN=王小明,I_O=Some CA//S_SN=00AB12".
//
// Text is narrow, in the process's ANSI code page. Under a double-byte code page (950
// Big5, 936, 949, 932) every scan and every comparison steps over whole characters: a
// trail byte may be 0x5C or an ASCII letter ("許" is B3 5C), and is never read as a
// backslash, a letter of a kind or a letter to fold.
//
// The store holders wrap the search over their open store; HCERTSTORE store_ and DWORD
// platformError are the holder's fields:
//
//   ErrorCode CertStore::FindCertificates(CertList* list, std::string_view filter,
//                                         int32_t dwFlags, int32_t dwKeyUsage) {
//       return searchCertificates(enumerateStore(CertEnumCertificatesInStore, store_), list,
//                                 filter, dwFlags, dwKeyUsage, CertSearch::AllWithMode,
//                                 platformError);
//   }
//   ErrorCode PfxStore::FindFirstCertificate(CertList* list, std::string_view filter,
//                                            int32_t dwFlags, int32_t dwKeyUsage) {
//       return searchCertificates(enumerateStore(CertEnumCertificatesInStore, store_), list,
//                                 filter, dwFlags, dwKeyUsage, CertSearch::FirstOnly,
//                                 platformError);
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/wincrypt.h"
#include "status/error_pair.h"
#include "store/cert_list.h"

// Bits of dwFlags that the filter reads; callers keep the higher bits for their own options.
constexpr int32_t kFilterModeMask = 0x3;  // selection mode; the search tells only 2 apart
constexpr int32_t kFilterModeBest = 2;    // keep the single best certificate by the order key
constexpr int32_t kFilterCheckValidity = 0x4;
constexpr int32_t kFilterMatchIssuer = 0x8;     // filter-driven matching of subject and issuer
constexpr int32_t kFilterEarliestStart = 0x20;  // order keys of mode 2, in precedence order;
constexpr int32_t kFilterLatestEnd = 0x40;      // with none of them the latest start wins
constexpr int32_t kFilterEarliestEnd = 0x80;

// Whether the certificate list dialog decides among `count` found certificates under the
// selection mode of dwFlags: mode 1 always, mode 2 never (the first is taken), modes 0
// and 3 when there is more than one.
bool listDialogChooses(int32_t dwFlags, size_t count);

// Cuts a filter into its alternatives at every "//", keeping in order the pieces longer
// than 3 bytes. Empty (no name test at all) for a filter shorter than 2 bytes or one whose
// pieces are all too short.
std::vector<std::string> SplitAlternatives(std::string_view filter);

// Cuts text (an alternative, or a certificate's subject or issuer string) into name
// items "kind=value". A literal backslash-n, a line feed and a comma separate items, and
// carriage returns vanish; one blank on either side of "=" is dropped; a comma-separated
// piece without "=" (or starting with it) belongs to the value before it, so "O=ACME,
// Inc." stays one item; items are trimmed of white space. With a prefix ("S_" or "I_"),
// only the items starting with it exactly are kept, without it. Empty for empty text.
std::vector<std::string> SplitItems(std::string_view text, std::string_view prefix);

// How a name test ended. `item` is, for Missing, the index of the item not found: a
// filter item for testByFilter, a certificate item for testByCertificate.
struct NameTest {
    enum class Outcome {
        Match,
        NoCertificateItems,  // filter items against a name without items
        Missing,             // an item was not found
        NothingCompared,     // no item of a compared kind on the side that drives
    };
    Outcome outcome = Outcome::Match;
    size_t item = 0;
    bool matched() const { return outcome == Outcome::Match; }
};

// MatchByFilter and MatchByCertificate with the place where they stopped; the two
// booleans are these tests' matched().
NameTest testByFilter(const std::vector<std::string>& filterItems,
                      const std::vector<std::string>& certItems);
NameTest testByCertificate(const std::vector<std::string>& filterItems,
                           const std::vector<std::string>& certItems);

// Filter-driven matching: true when every filter item of the kinds C, O, OU, CN and SN is
// found among the certificate items and at least one was (true as well for no filter
// items; false for filter items against no certificate items). C, O and OU items must be
// equal to a certificate item; a CN value must occur in a certificate item holding "CN="
// at a position after its first character; an SN item must equal a certificate item
// holding "SN=" ignoring the case of ASCII letters. Items of other kinds are passed over.
bool MatchByFilter(const std::vector<std::string>& filterItems,
                   const std::vector<std::string>& certItems);

// Certificate-driven matching: true when every C, O, OU and CN item of the certificate
// equals some filter item and there was at least one (true as well for no filter items;
// false for filter items against no certificate items). Other certificate items (the
// serial, E, L, S...) are passed over.
bool MatchByCertificate(const std::vector<std::string>& filterItems,
                        const std::vector<std::string>& certItems);

// The candidates of a search in enumeration order, with the shape of
// CertEnumCertificatesInStore: called with null for the first certificate and then with
// the context it returned last, which it takes over and releases; null after the last.
// The search releases the context it stops at. An empty enumerator stands for a holder
// with no open store.
using CertEnumerator = std::function<PCCERT_CONTEXT(PCCERT_CONTEXT previous)>;

// The certificates of an open store through an enumeration call of the platform's shape
// (CertEnumCertificatesInStore). Empty for a null store or call.
CertEnumerator enumerateStore(PCCERT_CONTEXT (*enumerate)(HCERTSTORE, PCCERT_CONTEXT),
                              HCERTSTORE store);

// The contexts of a vector in order, each handed out as a new reference; null entries are
// passed over. The vector (and its contexts) must outlive the enumerator.
CertEnumerator enumerateContexts(const std::vector<PCCERT_CONTEXT>& contexts);

enum class CertSearch {
    AllWithMode,  // the personal store: every acceptable certificate, or mode 2's best one
    FirstOnly,    // a PFX file's store: the first acceptable certificate
};

// Runs the filter over the candidates and fills `list`, which it empties first, with new
// references (CertDuplicateCertificateContext) to the certificates it accepts; the list's
// owner releases them. Certificates that are CA-like (self-issued, or allowed to sign
// certificates or CRLs) are never accepted, nor those missing a bit of dwKeyUsage (when it
// is greater than 0), nor those matching no alternative of the filter, nor, with
// kFilterCheckValidity, those outside their validity period now.
//
// Returns 0 when a certificate was accepted. Otherwise the reason recorded last: 5017
// (key usage), 5011 (expired) or 5012 (not yet valid); otherwise 5010, which is also the
// answer for an empty enumerator or a null list. AllWithMode records a reason only while
// the list is still empty; FirstOnly records every one it meets and stops at the first
// accepted certificate.
//
// platformError is set to 0 first and then receives the thread's last-error value where
// the platform's search does: for AllWithMode when a reason is recorded, after each
// accepted certificate is duplicated and when the search ends with 5010 after all; for
// FirstOnly after every validity test.
ErrorCode searchCertificates(const CertEnumerator& candidates, CertList* list,
                             std::string_view filter, int32_t dwFlags, int32_t dwKeyUsage,
                             CertSearch search, DWORD& platformError);

// The tests a search makes of each certificate, in its order, and the one that stopped it.
enum class FilterStep {
    Accepted,     // passed every test (mode 2 may still keep a better one)
    Unreadable,   // the certificate cannot be read
    CaLike,       // self-issued, or allowed to sign certificates or CRLs
    KeyUsage,     // lacks a bit of dwKeyUsage (reason 5017)
    Name,         // no alternative of the filter matches
    Expired,      // with kFilterCheckValidity, past its end (5011)
    NotYetValid,  // with kFilterCheckValidity, before its start (5012)
};

// Why the searches accept a certificate or not, for people. `label` names the test that
// failed: "CA", "KEY_USAGE", "VALIDITY", "CERTIFICATE", or for the name test the side
// and kind of the first item that failed in the first alternative ("S_CN", "I_O"; "S_"
// or "I_" alone when no item of a compared kind is there). `reason` says why in the
// ANSI code page, with the certificate's values (every alternative's first failure when
// there are several). Both are empty when the certificate passes.
struct FilterExplanation {
    FilterStep step = FilterStep::Accepted;
    std::string label;
    std::string reason;
};

// Runs the very tests of searchCertificates on one certificate (borrowed) and explains
// the first that fails. Reads the clock for the validity test as the search does.
FilterExplanation explainFilter(PCCERT_CONTEXT certificate, std::string_view filter,
                                int32_t dwFlags, int32_t dwKeyUsage);
