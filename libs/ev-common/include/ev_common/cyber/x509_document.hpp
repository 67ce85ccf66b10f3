// One X.509 document held as text, with the subject-side fields read from the
// certificate it contains, plus the libcrypto helpers that turn names, strings,
// general names and times into plain values and sign or verify data.
// Certificate derives from it and runs the parse; the CA store and the request
// handler only read the fields.
#pragma once

#include <openssl/types.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ev_common {

struct DistinguishedName {
    std::string country;
    std::string stateOrProvince;
    std::string locality;
    std::string organization;
    std::string organizationalUnit;
    std::string commonName;
    std::string emailAddress;
};

struct PublicKeyInfo {
    std::vector<uint8_t> keyData;  // contents of the subjectPublicKey BIT STRING
    std::vector<uint8_t> spkiDer;  // the whole SubjectPublicKeyInfo, DER
    std::string keyHex;            // "aa:bb:..."
    std::string keyHexCompact;     // "aabb..."
    int32_t keySize = 0;           // bits
    std::string keyType;           // e.g. rsaEncryption, id-ecPublicKey
    std::string curveName;         // EC keys only, e.g. prime256v1
};

struct BasicConstraints {
    bool present = false;
    bool ca = false;
    int32_t pathLength = 0;
};

// The data signing helpers below take SHA-256 for a value outside the three
// named ones; Certificate::issue takes SHA-512 for anything but 0 and 1.
enum class DigestAlgorithm : int { sha256 = 0, sha384 = 1, sha512 = 2 };

// The libcrypto digest of a DigestAlgorithm value; a value outside the three
// named ones selects `otherwise` (SHA-256 for the data signing helpers,
// SHA-512 for issuing certificates).
const EVP_MD* digestOf(DigestAlgorithm digest, DigestAlgorithm otherwise);

// One-line form of a name ("C = DE, O = Example, CN = Root"); empty on failure.
std::string nameToText(const X509_NAME* name);
// Fills the seven known components; other entries are ignored, later entries win.
void readNameComponents(const X509_NAME* name, DistinguishedName& components);
std::string asn1StringToUtf8(const ASN1_STRING* value);
// Takes ownership of names (may be null). DNS and e-mail names and IPv4
// addresses are kept, every other kind is skipped.
std::vector<std::string> generalNamesToText(GENERAL_NAMES* names);
// Seconds since 1970-01-01T00:00:00Z, independent of the width of time_t;
// 0 for a null or unreadable time.
int64_t asn1TimeToEpoch(const ASN1_TIME* time);
// Lowercase hex, two digits per byte, optionally separated.
std::string bytesToHex(const uint8_t* data, size_t size, const char* separator);

std::vector<uint8_t> signData(const void* data, size_t size, DigestAlgorithm digest, EVP_PKEY* key);
bool verifyData(const std::vector<uint8_t>& signature, const void* data, size_t size,
                DigestAlgorithm digest, EVP_PKEY* key);
std::vector<uint8_t> signFile(const std::filesystem::path& file, DigestAlgorithm digest,
                              EVP_PKEY* key);
bool verifyFile(const std::vector<uint8_t>& signature, const std::filesystem::path& file,
                DigestAlgorithm digest, EVP_PKEY* key);

class X509Document {
public:
    explicit X509Document(const std::string& text);
    explicit X509Document(const std::filesystem::path& file);
    virtual ~X509Document();

    bool valid() const { return valid_; }
    const std::string& text() const { return text_; }
    const DistinguishedName& subject() const { return subject_; }
    const std::string& subjectText() const { return subjectText_; }
    const std::string& signatureAlgorithm() const { return signatureAlgorithm_; }
    const std::string& signatureDigest() const { return signatureDigest_; }
    const PublicKeyInfo& publicKey() const { return publicKey_; }
    const BasicConstraints& basicConstraints() const { return basicConstraints_; }
    const std::vector<std::string>& issuerAltNames() const { return issuerAltNames_; }
    const std::vector<std::string>& subjectAltNames() const { return subjectAltNames_; }
    const std::vector<std::string>& caIssuers() const { return caIssuers_; }
    const std::vector<std::string>& ocspResponders() const { return ocspResponders_; }
    const std::vector<std::string>& extensionNames() const { return extensionNames_; }
    X509* handle() const { return handle_; }
    // SHA-256 of the certificate's DER encoding, 64 lowercase hex digits
    // without separators; empty when no certificate could be parsed.
    std::string sha256Fingerprint() const;

    // Writes text unchanged; false when the file cannot be written completely.
    bool save(const std::filesystem::path& file) const;

protected:
    // Only Certificate copies and moves, because only it owns the handle;
    // keeping these protected stops a slice from sharing the handle.
    X509Document(const X509Document&) = default;
    X509Document(X509Document&&) = default;
    X509Document& operator=(const X509Document&) = default;
    X509Document& operator=(X509Document&&) = default;

    // Subject, signature names, public key and extensions of a parsed certificate.
    void readSubjectSide(X509* certificate);
    void readSignatureNames(X509* certificate);
    void readPublicKey(X509* certificate);
    void readExtensions(X509* certificate);

    bool valid_ = false;
    std::string text_;
    DistinguishedName subject_;
    std::string subjectText_;
    std::string signatureAlgorithm_;
    std::string signatureDigest_;
    PublicKeyInfo publicKey_;
    BasicConstraints basicConstraints_;
    std::vector<std::string> issuerAltNames_;
    std::vector<std::string> subjectAltNames_;
    std::vector<std::string> caIssuers_;
    std::vector<std::string> ocspResponders_;
    std::vector<std::string> extensionNames_;
    X509* handle_ = nullptr;  // owned and freed by Certificate
};

}  // namespace ev_common
