// Builds keys, requests and certificates with chosen names and extensions for
// the X.509 tests, so that every case states exactly what it feeds in.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace x509_test {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* x) const { X509_free(x); }
};
struct RequestFree {
    void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using RequestPtr = std::unique_ptr<X509_REQ, RequestFree>;

using NameEntries = std::vector<std::pair<std::string, std::string>>;
// (extension NID, configuration value as in an openssl extension section)
using Extensions = std::vector<std::pair<int, std::string>>;

// RSA keys are slow to make under emulation, so a few are shared per process.
EVP_PKEY* rsaKey(int which = 0);
KeyPtr ecKey();

struct CertProfile {
    NameEntries subject{{"CN", "test"}};
    NameEntries issuer;  // empty: same as subject
    Extensions extensions;
    std::vector<uint8_t> serial{0x01};
    std::string notBefore = "20240101000000Z";
    std::string notAfter = "20340101000000Z";
    EVP_PKEY* subjectKey = nullptr;  // public key of the certificate
    EVP_PKEY* signingKey = nullptr;  // defaults to subjectKey
    const EVP_MD* digest = nullptr;  // defaults to SHA-256; none for EdDSA signers
};

CertPtr makeCertificate(const CertProfile& profile);
std::string toPem(const X509* certificate);
std::vector<uint8_t> toDer(const X509* certificate);
RequestPtr makeRequest(const NameEntries& subject, EVP_PKEY* key, const Extensions& extensions);

}  // namespace x509_test
