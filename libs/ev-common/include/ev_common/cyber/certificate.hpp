// A certificate record: the first certificate of a PEM text parsed into the
// fields of X509Document plus the issuer side, serial, validity, the PEM blocks
// of the text and a chain built from them. Loaded from files by the CA store,
// built from client PEM text by the request handler. Plain value type: a copy
// duplicates the libcrypto handle, a moved-from certificate is invalid.
#pragma once

#include "ev_common/cyber/x509_document.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ev_common {

class Certificate : public X509Document {
public:
    explicit Certificate(const std::string& pemText);
    // Lets a string literal pick the PEM-text constructor rather than the path one.
    explicit Certificate(const char* pemText);
    explicit Certificate(const std::filesystem::path& file);
    // The certificate is copied, not adopted; null gives an empty, invalid object.
    explicit Certificate(const X509* certificate);
    explicit Certificate(std::nullptr_t);
    explicit Certificate(const std::vector<uint8_t>& der);
    ~Certificate() override;

    Certificate(const Certificate& other);
    Certificate(Certificate&& other) noexcept;
    Certificate& operator=(const Certificate& other);
    Certificate& operator=(Certificate&& other) noexcept;

    // Creates and signs a new certificate from a request. With issuer == nullptr
    // the certificate is self-issued (issuer name from the request) and key is
    // its own private key; otherwise key is the issuer's private key. Times are
    // seconds since the epoch; an invalid certificate results on any failure.
    // Signed with SHA-256 for digest 0, SHA-384 for 1, SHA-512 for any other.
    static Certificate issue(X509_REQ* request, const Certificate* issuer, EVP_PKEY* key,
                             DigestAlgorithm digest, int64_t notBefore, int64_t notAfter);
    // notBefore = now, notAfter = now + days * 86400 s.
    static Certificate issue(X509_REQ* request, const Certificate* issuer, EVP_PKEY* key,
                             DigestAlgorithm digest, int32_t days);

    const std::vector<std::string>& pemBlocks() const { return pemBlocks_; }
    const std::vector<Certificate>& chain() const { return chain_; }
    const std::vector<uint8_t>& serialNumber() const { return serialNumber_; }
    const std::string& serialHex() const { return serialHex_; }
    const std::string& serialHexCompact() const { return serialHexCompact_; }
    int64_t notBefore() const { return notBefore_; }
    int64_t notAfter() const { return notAfter_; }
    const DistinguishedName& issuer() const { return issuer_; }
    const std::string& issuerText() const { return issuerText_; }
    const std::vector<uint8_t>& issuerDer() const { return issuerDer_; }
    bool selfSigned() const { return selfSigned_; }

    // Chain verification: non-self-signed entries from start on are the
    // untrusted intermediates, self-signed ones the trust anchors.
    bool verify(const std::vector<Certificate>& certificates) const;
    // Verifies against the rest of chain(); false for a single certificate.
    bool verifyChain() const;
    bool verifySignature(const std::vector<uint8_t>& signature, const void* data, size_t size,
                         DigestAlgorithm digest) const;
    bool verifySignature(const std::vector<uint8_t>& signature, const std::filesystem::path& file,
                         DigestAlgorithm digest) const;

private:
    void parse();
    void splitBlocks();
    void readIssuerSide(X509* certificate);
    bool verify(const std::vector<Certificate>& certificates, size_t start) const;

    std::vector<std::string> pemBlocks_;
    std::vector<Certificate> chain_;
    std::vector<uint8_t> serialNumber_;
    std::string serialHex_;
    std::string serialHexCompact_;
    int64_t notBefore_ = 0;
    int64_t notAfter_ = 0;
    DistinguishedName issuer_;
    std::string issuerText_;
    std::vector<uint8_t> issuerDer_;
    bool selfSigned_ = false;
};

}  // namespace ev_common
