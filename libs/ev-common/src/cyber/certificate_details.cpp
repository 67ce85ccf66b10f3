#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/cyber/openssl_free.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <memory>

namespace ev_common {

namespace {

using namespace ev_common::openssl;

struct NameFree {
    void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};
struct PubkeyFree {
    void operator()(X509_PUBKEY* key) const { X509_PUBKEY_free(key); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;
using PubkeyPtr = std::unique_ptr<X509_PUBKEY, PubkeyFree>;

NamePtr decodeName(const std::vector<std::uint8_t>& der) {
    const unsigned char* cursor = der.data();
    return NamePtr(der.empty() ? nullptr
                               : d2i_X509_NAME(nullptr, &cursor, static_cast<long>(der.size())));
}

PubkeyPtr decodePublicKeyInfo(const std::vector<std::uint8_t>& der) {
    const unsigned char* cursor = der.data();
    return PubkeyPtr(
        der.empty() ? nullptr : d2i_X509_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
}

// Lower-case hex of the digest, empty when libcrypto refuses.
std::string digestHex(const EVP_MD* md, const unsigned char* data, std::size_t size) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, md, nullptr) != 1) return {};
    return bytesToHex(digest.data(), length, "");
}

const EVP_MD* ocppDigest(const std::string& algorithm) {
    if (algorithm == "SHA384") return EVP_sha384();
    if (algorithm == "SHA512") return EVP_sha512();
    return EVP_sha256();
}

std::vector<std::uint8_t> subjectDerOf(X509* certificate) {
    const unsigned char* der = nullptr;
    std::size_t length = 0;
    if (certificate == nullptr ||
        X509_NAME_get0_der(X509_get_subject_name(certificate), &der, &length) != 1 ||
        der == nullptr) {
        return {};
    }
    return std::vector<std::uint8_t>(der, der + length);
}

// libcrypto keeps a negative serial as its magnitude and a flag.
std::string serialOf(const Certificate& certificate) {
    std::string serial = serialNumberHex(certificate.serialNumber());
    const ASN1_INTEGER* integer =
        certificate.handle() != nullptr ? X509_get0_serialNumber(certificate.handle()) : nullptr;
    if (integer != nullptr && ASN1_STRING_type(integer) == V_ASN1_NEG_INTEGER) {
        serial.insert(0, "-");
    }
    return serial;
}

}  // namespace

const std::vector<std::string>& ocppHashAlgorithms() {
    static const std::vector<std::string> algorithms = {"SHA256", "SHA384", "SHA512"};
    return algorithms;
}

std::string serialNumberHex(const std::vector<std::uint8_t>& content) {
    const std::string hex = bytesToHex(content.data(), content.size(), "");
    const std::size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? "0" : hex.substr(first);
}

CertificateDetails describeCertificate(const Certificate& certificate) {
    CertificateDetails details;
    details.issuer = certificate.issuerText();
    details.serial = serialOf(certificate);
    details.notBefore = certificate.notBefore();
    details.notAfter = certificate.notAfter();
    details.isCa = certificate.basicConstraints().ca;
    details.selfSigned = certificate.selfSigned();
    std::array<unsigned char, EVP_MAX_MD_SIZE> fingerprint{};
    unsigned int length = 0;
    if (certificate.handle() != nullptr &&
        X509_digest(certificate.handle(), EVP_sha256(), fingerprint.data(), &length) == 1) {
        details.sha256 = bytesToHex(fingerprint.data(), length, "");
    }
    return details;
}

IssuerIdentity issuerIdentity(const Certificate& certificate) {
    IssuerIdentity identity{subjectDerOf(certificate.handle()), {}};
    // The key as the certificate encodes it, not as libcrypto would encode
    // it again: the key hash is over these very bytes, and a key of a kind
    // libcrypto cannot use still has them.
    const X509_PUBKEY* key =
        certificate.handle() != nullptr ? X509_get_X509_PUBKEY(certificate.handle()) : nullptr;
    unsigned char* der = nullptr;
    const int length = key != nullptr ? i2d_X509_PUBKEY(key, &der) : 0;
    if (length > 0 && der != nullptr) identity.publicKeyInfoDer.assign(der, der + length);
    OPENSSL_free(der);
    return identity;
}

bool sameName(const std::vector<std::uint8_t>& first, const std::vector<std::uint8_t>& second) {
    if (first == second) return !first.empty();
    const NamePtr a = decodeName(first);
    const NamePtr b = decodeName(second);
    return a && b && X509_NAME_cmp(a.get(), b.get()) == 0;
}

bool isIssuedBy(const Certificate& subject, const IssuerIdentity& issuer) {
    if (subject.handle() == nullptr || !sameName(subject.issuerDer(), issuer.subjectDer)) {
        return false;
    }
    const PubkeyPtr publicKey = decodePublicKeyInfo(issuer.publicKeyInfoDer);
    EVP_PKEY* key = publicKey ? X509_PUBKEY_get0(publicKey.get()) : nullptr;
    const bool verified = key != nullptr && X509_verify(subject.handle(), key) == 1;
    // A candidate that is not the issuer, or a key libcrypto cannot use,
    // leaves its reasons on the thread's error queue, where they would be
    // taken for the next call's.
    ERR_clear_error();
    return verified;
}

std::vector<OcppHashData> ocppHashData(const Certificate& certificate,
                                       const IssuerIdentity& issuer) {
    const PubkeyPtr publicKey = decodePublicKeyInfo(issuer.publicKeyInfoDer);
    const unsigned char* keyBits = nullptr;
    int keyLength = 0;
    if (!publicKey ||
        X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLength, nullptr, publicKey.get()) != 1 ||
        keyBits == nullptr || keyLength <= 0) {
        ERR_clear_error();
        return {};
    }
    const std::vector<std::uint8_t>& issuerName = certificate.issuerDer();
    const std::string serial = serialOf(certificate);
    std::vector<OcppHashData> result;
    for (const std::string& algorithm : ocppHashAlgorithms()) {
        const EVP_MD* md = ocppDigest(algorithm);
        OcppHashData data;
        data.hashAlgorithm = algorithm;
        data.issuerNameHash = digestHex(md, issuerName.data(), issuerName.size());
        data.issuerKeyHash = digestHex(md, keyBits, static_cast<std::size_t>(keyLength));
        data.serialNumber = serial;
        if (data.issuerNameHash.empty() || data.issuerKeyHash.empty()) return {};
        result.push_back(std::move(data));
    }
    ERR_clear_error();
    return result;
}

}  // namespace ev_common
