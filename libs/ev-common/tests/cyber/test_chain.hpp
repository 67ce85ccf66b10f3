// Certificate chains for the verification tests: parties that issue each
// other's certificates on P-256 keys unless told otherwise, a certificate of
// an exact DER size, and a copy of a certificate with a broken signature.
#pragma once

#include "test_pki.hpp"

#include <cstddef>
#include <string>

namespace x509_test {

// basicConstraints CA:TRUE and keyUsage keyCertSign, both critical.
extern const Extensions kChainCa;
// basicConstraints CA:FALSE and keyUsage digitalSignature, both critical.
extern const Extensions kChainLeaf;

struct Party {
    KeyPtr ownKey;
    EVP_PKEY* key = nullptr;
    NameEntries name;
    CertPtr certificate;
    std::string pem() const { return toPem(certificate.get()); }
};

// `profile` with the subject {CN=commonName}, a new P-256 key unless profile.subjectKey is set,
// signed by `issuer` (self-signed without one); the extensions default to kChainCa.
Party issueParty(const std::string& commonName, const Party* issuer, CertProfile profile = {});
// The same with a DER encoding of exactly `size` bytes (a comment
// extension pads it).
Party issueSizedParty(const std::string& commonName, const Party* issuer, std::size_t size,
                      CertProfile profile = {});
// The PEM text of `certificate` with one byte of its signature changed.
std::string tamperedPem(const X509* certificate);

}  // namespace x509_test
