// What the openssl command line says about a fixture's RSA key and certificate, and
// about a PFX file, for comparing what the control writes with an independent tool.
#pragma once

#include <cctype>
#include <map>
#include <sstream>
#include <string>

#include "tests/test_support.h"

namespace openssl_cli {

// The hex digits of text such as "00:c4:68", upper-case, without separators.
inline std::string hexDigits(const std::string& text) {
    std::string hex;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return hex;
}

// A number's hex digits without leading zero bytes, so that fixed-width fields and
// openssl's sign-padded output compare.
inline std::string normalHex(const std::string& text) {
    std::string hex = hexDigits(text);
    size_t zeros = 0;
    while (zeros + 2 <= hex.size() && hex.compare(zeros, 2, "00") == 0) zeros += 2;
    return hex.substr(zeros);
}

// The numbers `openssl rsa -text -noout` prints, by its names (modulus, publicExponent,
// privateExponent, prime1, prime2, exponent1, exponent2, coefficient) as normalHex, and
// "bits" as decimal text.
inline std::map<std::string, std::string> rsaNumbers(const std::string& keyPem) {
    std::istringstream text(
        testing_support::runCommand("openssl rsa -in '" + keyPem + "' -text -noout 2>/dev/null"));
    std::map<std::string, std::string> numbers;
    std::string line, name, hex;
    auto flush = [&] {
        if (!name.empty()) numbers[name] = normalHex(hex);
        name.clear();
        hex.clear();
    };
    while (std::getline(text, line)) {
        if (line.rfind("Private-Key: (", 0) == 0) {
            numbers["bits"] = line.substr(14, line.find(' ', 14) - 14);
        } else if (line.rfind("publicExponent: ", 0) == 0) {
            flush();
            size_t open = line.find("(0x");
            numbers["publicExponent"] = normalHex(line.substr(open + 3));
        } else if (!line.empty() && line.back() == ':' && line[0] != ' ') {
            flush();
            name = line.substr(0, line.size() - 1);
        } else if (!name.empty()) {
            hex += line;
        }
    }
    flush();
    return numbers;
}

// One line of `openssl x509` output after "key=", trimmed.
inline std::string x509Field(const std::string& derPath, const std::string& options,
                             const std::string& key) {
    std::string out = testing_support::runCommand("openssl x509 -inform DER -in '" + derPath +
                                                  "' -noout " + options + " 2>/dev/null");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(key);
        if (at == std::string::npos) continue;
        size_t eq = line.find('=', at + key.size());
        if (eq == std::string::npos) continue;
        size_t begin = line.find_first_not_of(' ', eq + 1);
        return begin == std::string::npos ? std::string() : line.substr(begin);
    }
    return {};
}

struct CertFields {
    std::string commonName;  // UTF-8; empty when the subject has none
    std::string serial;      // the DER INTEGER's content octets, hex
    std::string sha1;
    std::string notBefore;  // local time in `timeZone`, YYYYMMDDhhmmss
    std::string notAfter;
};

inline std::string localTime(const std::string& opensslDate, const std::string& timeZone) {
    std::string out = testing_support::runCommand("TZ=" + timeZone + " date -d '" + opensslDate +
                                                  "' +%Y%m%d%H%M%S");
    return out.substr(0, out.find('\n'));
}

inline CertFields certFields(const std::string& derPath, const std::string& timeZone) {
    CertFields f;
    f.commonName = x509Field(derPath, "-subject -nameopt multiline,utf8,-esc_msb", "commonName");
    std::string serial = hexDigits(x509Field(derPath, "-serial", "serial"));
    if (serial.size() % 2) serial.insert(0, "0");
    // A content octet with its high bit set would read as negative: DER puts 00 first.
    if (serial.empty() || serial[0] >= '8') serial.insert(0, "00");
    f.serial = serial;
    f.sha1 = hexDigits(x509Field(derPath, "-fingerprint -sha1", "Fingerprint"));
    f.notBefore = localTime(x509Field(derPath, "-startdate", "notBefore"), timeZone);
    f.notAfter = localTime(x509Field(derPath, "-enddate", "notAfter"), timeZone);
    return f;
}

// What `openssl pkcs12 -info -nodes` says about a PFX file opened with the password: its
// notes on safes, bags and algorithms, and apart from them (they go to another stream)
// the bags with their attributes as PEM. `opened` is false when openssl refuses the file
// or the password.
struct Pkcs12Dump {
    bool opened = false;
    std::string notes;
    std::string pem;
};

inline Pkcs12Dump pkcs12Dump(const std::string& path, const std::string& password) {
    testing_support::TempDir dir;
    int status = -1;
    testing_support::runCommand("openssl pkcs12 -in '" + path +
                                    "' -info -nodes -passin 'pass:" + password + "' -out " +
                                    dir.file("out.pem") + " 2>" + dir.file("notes"),
                                &status);
    return {status == 0, testing_support::readFile(dir.file("notes")),
            testing_support::readFile(dir.file("out.pem"))};
}

inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The private keys and certificates openssl finds in the file as "keys/certificates", or
// "refused".
inline std::string pkcs12Counts(const std::string& path, const std::string& password) {
    Pkcs12Dump dump = pkcs12Dump(path, password);
    if (!dump.opened) return "refused";
    return std::to_string(occurrences(dump.pem, "BEGIN PRIVATE KEY")) + "/" +
           std::to_string(occurrences(dump.pem, "BEGIN CERTIFICATE"));
}

}  // namespace openssl_cli
