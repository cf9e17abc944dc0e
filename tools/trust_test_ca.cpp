// Trusts the test CA inside a test Wine prefix: adds the certificate (PEM or
// DER file) to the LocalMachine ROOT store and drops earlier test CAs of the
// same subject, so a remade CA replaces the old one instead of piling up.
// Only ever run inside a test prefix (tools/prepare-test-prefix).

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct store_closer {
    void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), /*flags*/ 0); }
};
using store_owner = std::unique_ptr<void, store_closer>;

struct context_freer {
    void operator()(const CERT_CONTEXT* context) const { CertFreeCertificateContext(context); }
};
using context_owner = std::unique_ptr<const CERT_CONTEXT, context_freer>;

std::runtime_error windows_failure(const char* what) {
    return std::runtime_error(std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")");
}

std::vector<BYTE> read_certificate(const wchar_t* file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the certificate file");
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.find("-----BEGIN") == std::string::npos) return {bytes.begin(), bytes.end()};

    DWORD size = 0;
    if (!CryptStringToBinaryA(bytes.c_str(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                              /*buffer*/ nullptr, &size, /*skipped*/ nullptr, /*flags*/ nullptr))
        throw windows_failure("cannot decode the PEM certificate");
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(bytes.c_str(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, /*skipped*/ nullptr, /*flags*/ nullptr))
        throw windows_failure("cannot decode the PEM certificate");
    der.resize(size);
    return der;
}

// The registry part of the LocalMachine ROOT store. Wine's full ROOT store
// also holds in-memory copies, from which a delete does not last.
store_owner open_root_registry() {
    store_owner store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, /*encoding*/ 0, /*crypt provider*/ 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    if (!store) throw windows_failure("cannot open the LocalMachine ROOT store");
    return store;
}

bool same_bytes(const CERT_CONTEXT* a, const CERT_CONTEXT* b) {
    return a->cbCertEncoded == b->cbCertEncoded && std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// The certificates of the store with the subject of `certificate`.
std::vector<context_owner> same_subject(HCERTSTORE store, const CERT_CONTEXT* certificate) {
    std::vector<context_owner> found_ones;
    for (const CERT_CONTEXT* found = nullptr; (found = CertEnumCertificatesInStore(store, found)) != nullptr;) {
        if (CertCompareCertificateName(X509_ASN_ENCODING, &found->pCertInfo->Subject,
                                       &certificate->pCertInfo->Subject))
            found_ones.emplace_back(CertDuplicateCertificateContext(found));
    }
    return found_ones;
}

// Removes certificates with the subject of `certificate` but other contents.
// They are collected first: deleting while enumerating loses the place.
void remove_replaced(HCERTSTORE store, const CERT_CONTEXT* certificate) {
    for (context_owner& old : same_subject(store, certificate)) {
        if (same_bytes(old.get(), certificate)) continue;
        // Deleting frees the context it is given, also on failure.
        if (!CertDeleteCertificateFromStore(old.release())) throw windows_failure("cannot remove an earlier test CA");
    }
}

// Reads the registry back. (This process's full ROOT store is a snapshot
// taken before the change; new processes see the registry.)
void check_trusted(const CERT_CONTEXT* certificate) {
    const store_owner store = open_root_registry();
    const std::vector<context_owner> found = same_subject(store.get(), certificate);
    if (found.empty()) throw std::runtime_error("the test CA did not reach the ROOT store");
    for (const context_owner& one : found)
        if (!same_bytes(one.get(), certificate)) throw std::runtime_error("an earlier test CA is still in the ROOT store");
}

void trust(const wchar_t* file) {
    const std::vector<BYTE> der = read_certificate(file);
    const context_owner certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (!certificate) throw windows_failure("the file holds no valid certificate");

    {
        const store_owner store = open_root_registry();
        remove_replaced(store.get(), certificate.get());
        if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              /*added context*/ nullptr))
            throw windows_failure("cannot add the test CA to the ROOT store");
    }  // closing the store writes the changes
    check_trusted(certificate.get());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: trust-test-ca <certificate.pem|certificate.der>\n", stderr);
        return 2;
    }
    try {
        trust(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "trust-test-ca: %s\n", error.what());
        return 1;
    }
    return 0;
}
