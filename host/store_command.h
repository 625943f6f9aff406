// `kscapi store ...` and `kscapi keys ...`: the user's certificate stores and key
// containers, for people and for tests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs one store subcommand; `args` are the words after "store", UTF-8 as the shell gives
// them:
//   list [MY|ROOT|CA]                 the certificates of the store (default MY)
//   add STORE FILE                    adds a DER or PEM certificate (an existing one is
//                                     replaced, keeping its properties)
//   delete STORE THUMBPRINT           removes the certificates with that SHA-1 thumbprint
//   import-pfx FILE PASSWORD [--exportable]
//                                     loads a PFX file and adds its certificates that
//                                     come with a private key to MY, keeping their keys
// Each certificate is one JSON object per line on `out`: thumbprint, subject, issuer,
// serial, notBefore, notAfter (YYYYMMDDhhmmss, local time), keyUsage (the first key-usage
// byte), hasKey, container and provider (null without a key-provider property). delete
// prints {"deleted", "count"}. Failures print one JSON object {"error", "code"} on `err`
// ("capiError" too for the control's codes). Returns 0 on success, 1 when the operation
// failed, 2 for a usage error.
int runStoreCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Runs `kscapi filter FILTER [FLAGS [KEYUSAGE]] [--store MY|ROOT|CA]` (the words after
// "filter"): the certificate search of SelectSigner over the store (default MY), with the
// filter, dwFlags and dwKeyUsage given (decimal or 0x hex, default 0). Prints one JSON
// object per certificate on `out`: first those the search accepts, in its order, as
// {"match": true, <the fields of store list>}; then every other certificate of the store,
// in enumeration order, as {"match": false, <the same fields>, "failed", "reason"}, where
// "failed" names the test that stopped it ("CA", "KEY_USAGE", "VALIDITY", "CERTIFICATE"
// for an unreadable one, "BEST" for mode 2's losers, or the first filter item that failed,
// such as "S_CN" or "I_O") and "reason"
// says why with the certificate's values. Returns 0 when a certificate is accepted; 1 when
// none is, with {"error", "code", "capiError"} on `err` carrying the search's code (5010,
// 5011, 5012 or 5017); 2 for a usage error or a filter whose text names no item the
// search compares ({"error", "code": 87} on `err`).
int runFilterCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Runs one keys subcommand (the words after "keys"):
//   list    every key container, oldest first: {"provider", "container", "slots": [
//           {"keySpec", "slot", "bits", "exportable", "userProtected"}]}
// Return values as runStoreCommand.
int runKeysCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Runs one providers subcommand (the words after "providers"):
//   list                              every provider in enumeration order: {"name", "type",
//                                     "backend", "builtIn", "source"} and "module", "token"
//                                     for tokens; source is "built-in", "user" or the
//                                     machine file that defines it
//                                     (remove refuses the machine's: ERROR_ACCESS_DENIED)
//   add-pkcs11 NAME [MODULE] [--token LABEL]
//                                     registers a token provider of type 1 on the PKCS#11
//                                     module (default: p11-kit's proxy), checking that the
//                                     module loads; only the token LABEL when given
//   remove NAME                       removes a registered provider (its keys stay where
//                                     they are)
// Return values as runStoreCommand.
int runProvidersCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
