// One chain built over the fixtures of tests/fixtures/make_chain.sh (leaf, intermediate
// in the user's "CA", root in the user's "ROOT", in a private $KSCAPI_HOME): with the
// machine's own trust anchors, which are read for every chain, and with none.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/crypt/wincrypt_msg.h"
#include "platform/store/user_database.h"

namespace {

std::vector<BYTE> fixture(const std::string& name) {
    std::ifstream in(std::string(KSCAPI_SOURCE_DIR) + "/tests/fixtures/chain/" + name + ".der",
                     std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

PCCERT_CONTEXT parse(const std::vector<BYTE>& der) {
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()));
}

void addToStore(const char* store, const char* name) {
    HCERTSTORE s = CertOpenSystemStoreA(0, store);
    PCCERT_CONTEXT c = parse(fixture(name));
    CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertFreeCertificateContext(c);
    CertCloseStore(s, 0);
}

void runChain(benchmark::State& state, bool machineAnchors) {
    char tmpl[] = "/tmp/kscapi-bench-XXXXXX";
    std::string home = mkdtemp(tmpl);
    setenv("KSCAPI_HOME", home.c_str(), 1);
    if (machineAnchors) {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
    } else {
        setenv("SSL_CERT_FILE", (home + "/none.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", home.c_str(), 1);
    }
    addToStore("CA", "inter");
    addToStore("ROOT", "root");
    PCCERT_CONTEXT leaf = parse(fixture("leaf"));
    CERT_CHAIN_PARA para{sizeof para, {USAGE_MATCH_TYPE_AND, {0, nullptr}}};
    for (auto _ : state) {
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!CertGetCertificateChain(HCCE_CURRENT_USER, leaf, nullptr, nullptr, &para, 0, nullptr,
                                     &chain) ||
            chain->TrustStatus.dwErrorStatus != 0) {
            state.SkipWithError("chain not built or not trusted");
            CertFreeCertificateChain(chain);
            break;
        }
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(leaf);
    closeUserDatabase();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
}

void BM_ChainWithMachineAnchors(benchmark::State& state) {
    runChain(state, true);
}
void BM_ChainWithoutAnchors(benchmark::State& state) {
    runChain(state, false);
}
BENCHMARK(BM_ChainWithMachineAnchors)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainWithoutAnchors)->Unit(benchmark::kMillisecond);

}  // namespace
