#include "ev_common/cyber/certificate.hpp"
#include "ev_common/cyber/openssl_free.hpp"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <array>
#include <chrono>
#include <memory>
#include <utility>

namespace ev_common {

namespace {

using namespace ev_common::openssl;

constexpr char kMarker[] = "-----";
constexpr size_t kMarkerLength = 5;

std::string pemOf(const X509* certificate) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return {};
    }
    return memoryText(bio.get());
}

X509* duplicate(const X509* certificate) {
    return certificate != nullptr ? X509_dup(certificate) : nullptr;
}

// ASN1_TIME_set takes a time_t, which is 32 bits on armhf and would wrap after
// 2038; splitting the 64-bit value into days and seconds keeps it exact.
bool setTime(ASN1_TIME* time, int64_t epoch) {
    int64_t days = epoch / 86400;
    int64_t seconds = epoch % 86400;
    if (seconds < 0) {
        seconds += 86400;
        days -= 1;
    }
    return ASN1_TIME_adj(time, 0, static_cast<int>(days), static_cast<long>(seconds)) != nullptr;
}

bool setRandomSerial(X509* certificate) {
    std::array<unsigned char, 20> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return false;
    }
    std::unique_ptr<BIGNUM, BignumFree> number(
        BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    if (!number) {
        return false;
    }
    std::unique_ptr<ASN1_INTEGER, Asn1IntegerFree> serial(
        BN_to_ASN1_INTEGER(number.get(), nullptr));
    return serial && X509_set_serialNumber(certificate, serial.get()) == 1;
}

bool appendRequestExtensions(X509* certificate, X509_REQ* request, bool selfIssued) {
    std::unique_ptr<STACK_OF(X509_EXTENSION), ExtensionsFree> extensions(
        X509_REQ_get_extensions(request));
    if (!extensions) {
        return true;
    }
    const int count = sk_X509_EXTENSION_num(extensions.get());
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions.get(), i);
        if (X509_add_ext(certificate, extension, -1) != 1) {
            return false;
        }
    }
    if (!selfIssued) {
        return true;
    }
    // A self-issued certificate names itself as issuer, so its subject
    // alternative names are its issuer alternative names too.
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions.get(), i);
        if (OBJ_obj2nid(X509_EXTENSION_get_object(extension)) != NID_subject_alt_name) {
            continue;
        }
        std::unique_ptr<X509_EXTENSION, ExtensionFree> copy(X509_EXTENSION_dup(extension));
        if (!copy || X509_EXTENSION_set_object(copy.get(), OBJ_nid2obj(NID_issuer_alt_name)) != 1 ||
            X509_add_ext(certificate, copy.get(), -1) != 1) {
            return false;
        }
    }
    return true;
}

// Unlike the data signing helpers, whose fallback is SHA-256, an issued
// certificate takes the strongest digest for any value but the two named
// weaker ones.
const EVP_MD* signingDigest(DigestAlgorithm digest) {
    return digestOf(digest, DigestAlgorithm::sha512);
}

std::unique_ptr<X509, X509Free> build(X509_REQ* request, const Certificate* issuer, EVP_PKEY* key,
                                      DigestAlgorithm digest, int64_t notBefore, int64_t notAfter) {
    if (request == nullptr || key == nullptr ||
        (issuer != nullptr && issuer->handle() == nullptr)) {
        return nullptr;
    }
    std::unique_ptr<X509, X509Free> certificate(X509_new());
    std::unique_ptr<ASN1_TIME, Asn1TimeFree> time(ASN1_TIME_new());
    if (!certificate || !time) {
        return nullptr;
    }
    if (X509_set_version(certificate.get(), X509_REQ_get_version(request)) != 1 ||
        !setTime(time.get(), notBefore) ||
        X509_set1_notBefore(certificate.get(), time.get()) != 1 || !setTime(time.get(), notAfter) ||
        X509_set1_notAfter(certificate.get(), time.get()) != 1 ||
        !setRandomSerial(certificate.get())) {
        return nullptr;
    }
    const X509_NAME* issuerName = issuer != nullptr ? X509_get_subject_name(issuer->handle())
                                                    : X509_REQ_get_subject_name(request);
    EVP_PKEY* requestKey = X509_REQ_get0_pubkey(request);
    if (requestKey == nullptr || X509_set_issuer_name(certificate.get(), issuerName) != 1 ||
        X509_set_subject_name(certificate.get(), X509_REQ_get_subject_name(request)) != 1 ||
        X509_set_pubkey(certificate.get(), requestKey) != 1 ||
        !appendRequestExtensions(certificate.get(), request, issuer == nullptr)) {
        return nullptr;
    }
    if (issuer != nullptr) {
        std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> issuerNames(static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(issuer->handle(), NID_subject_alt_name, nullptr, nullptr)));
        if (issuerNames) {
            std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
                X509V3_EXT_i2d(NID_issuer_alt_name, 0, issuerNames.get()));
            if (!extension || X509_add_ext(certificate.get(), extension.get(), -1) != 1) {
                return nullptr;
            }
        }
    }
    // Requests are always version 1, but extensions are only allowed in
    // version 3 certificates; strict verifiers refuse anything else.
    if (X509_get_ext_count(certificate.get()) > 0 &&
        X509_set_version(certificate.get(), X509_VERSION_3) != 1) {
        return nullptr;
    }
    if (X509_sign(certificate.get(), key, signingDigest(digest)) <= 0) {
        return nullptr;
    }
    return certificate;
}

}  // namespace

Certificate::Certificate(const std::string& pemText) : X509Document(pemText) {
    parse();
}

Certificate::Certificate(const char* pemText)
    : Certificate(std::string(pemText != nullptr ? pemText : "")) {}

Certificate::Certificate(const std::filesystem::path& file) : X509Document(file) {
    parse();
}

Certificate::Certificate(const X509* certificate) : X509Document(std::string()) {
    if (certificate == nullptr) {
        return;
    }
    text_ = pemOf(certificate);
    parse();
}

Certificate::Certificate(std::nullptr_t) : X509Document(std::string()) {}

Certificate::Certificate(const std::vector<uint8_t>& der) : X509Document(std::string()) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Free> certificate(
        der.empty() ? nullptr : d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) {
        return;
    }
    text_ = pemOf(certificate.get());
    parse();
}

Certificate::~Certificate() {
    X509_free(handle_);
}

Certificate::Certificate(const Certificate& other)
    : X509Document(other),
      pemBlocks_(other.pemBlocks_),
      chain_(other.chain_),
      serialNumber_(other.serialNumber_),
      serialHex_(other.serialHex_),
      serialHexCompact_(other.serialHexCompact_),
      notBefore_(other.notBefore_),
      notAfter_(other.notAfter_),
      issuer_(other.issuer_),
      issuerText_(other.issuerText_),
      issuerDer_(other.issuerDer_),
      selfSigned_(other.selfSigned_) {
    handle_ = duplicate(other.handle_);
}

Certificate::Certificate(Certificate&& other) noexcept
    : X509Document(std::move(other)),
      pemBlocks_(std::move(other.pemBlocks_)),
      chain_(std::move(other.chain_)),
      serialNumber_(std::move(other.serialNumber_)),
      serialHex_(std::move(other.serialHex_)),
      serialHexCompact_(std::move(other.serialHexCompact_)),
      notBefore_(other.notBefore_),
      notAfter_(other.notAfter_),
      issuer_(std::move(other.issuer_)),
      issuerText_(std::move(other.issuerText_)),
      issuerDer_(std::move(other.issuerDer_)),
      selfSigned_(other.selfSigned_) {
    other.handle_ = nullptr;
    other.valid_ = false;
}

Certificate& Certificate::operator=(const Certificate& other) {
    if (this == &other) {
        return *this;
    }
    // Copy into a temporary first so that a failing allocation leaves this
    // object untouched, then take the copy over.
    Certificate copy(other);
    *this = std::move(copy);
    return *this;
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    X509_free(handle_);
    X509Document::operator=(std::move(other));
    pemBlocks_ = std::move(other.pemBlocks_);
    chain_ = std::move(other.chain_);
    serialNumber_ = std::move(other.serialNumber_);
    serialHex_ = std::move(other.serialHex_);
    serialHexCompact_ = std::move(other.serialHexCompact_);
    notBefore_ = other.notBefore_;
    notAfter_ = other.notAfter_;
    issuer_ = std::move(other.issuer_);
    issuerText_ = std::move(other.issuerText_);
    issuerDer_ = std::move(other.issuerDer_);
    selfSigned_ = other.selfSigned_;
    other.handle_ = nullptr;
    other.valid_ = false;
    return *this;
}

Certificate Certificate::issue(X509_REQ* request, const Certificate* issuer, EVP_PKEY* key,
                               DigestAlgorithm digest, int64_t notBefore, int64_t notAfter) {
    const std::unique_ptr<X509, X509Free> certificate =
        build(request, issuer, key, digest, notBefore, notAfter);
    return Certificate(static_cast<const X509*>(certificate.get()));
}

Certificate Certificate::issue(X509_REQ* request, const Certificate* issuer, EVP_PKEY* key,
                               DigestAlgorithm digest, int32_t days) {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    return issue(request, issuer, key, digest, now, now + int64_t{days} * 86400);
}

void Certificate::splitBlocks() {
    size_t from = 0;
    for (;;) {
        const size_t a = text_.find(kMarker, from);
        if (a == std::string::npos) {
            return;
        }
        const size_t b = text_.find(kMarker, a + kMarkerLength);
        if (b == std::string::npos) {
            return;
        }
        const size_t c = text_.find(kMarker, b + kMarkerLength);
        if (c == std::string::npos) {
            return;
        }
        const size_t d = text_.find(kMarker, c + kMarkerLength);
        if (d == std::string::npos) {
            return;
        }
        pemBlocks_.push_back(text_.substr(a, d + kMarkerLength - a));
        from = d + kMarkerLength;
    }
}

void Certificate::readIssuerSide(X509* certificate) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    const unsigned char* serialBytes = ASN1_STRING_get0_data(serial);
    const int serialLength = ASN1_STRING_length(serial);
    if (serialBytes != nullptr && serialLength > 0) {
        serialNumber_.assign(serialBytes, serialBytes + serialLength);
        serialHex_ = bytesToHex(serialNumber_.data(), serialNumber_.size(), ":");
        serialHexCompact_ = bytesToHex(serialNumber_.data(), serialNumber_.size(), "");
    }
    notBefore_ = asn1TimeToEpoch(X509_get0_notBefore(certificate));
    notAfter_ = asn1TimeToEpoch(X509_get0_notAfter(certificate));

    const X509_NAME* name = X509_get_issuer_name(certificate);
    issuerText_ = nameToText(name);
    readNameComponents(name, issuer_);
    const unsigned char* der = nullptr;
    size_t derLength = 0;
    if (X509_NAME_get0_der(name, &der, &derLength) == 1 && der != nullptr) {
        issuerDer_.assign(der, der + derLength);
    }
}

void Certificate::parse() {
    splitBlocks();
    if (pemBlocks_.empty()) {
        return;
    }
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(text_.data(), static_cast<int>(text_.size())));
    std::unique_ptr<X509, X509Free> certificate(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (certificate) {
        valid_ = true;
        readIssuerSide(certificate.get());
        readSubjectSide(certificate.get());
        selfSigned_ = issuerText_ == subjectText_;
        readSignatureNames(certificate.get());
        readPublicKey(certificate.get());
        readExtensions(certificate.get());
        handle_ = certificate.release();
    }
    if (pemBlocks_.size() < 2) {
        chain_.push_back(*this);
        return;
    }
    chain_.reserve(pemBlocks_.size());
    for (const std::string& block : pemBlocks_) {
        chain_.emplace_back(block);
    }
}

bool Certificate::verify(const std::vector<Certificate>& certificates, size_t start) const {
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    std::unique_ptr<STACK_OF(X509), StackFree> trusted(sk_X509_new_null());
    if (!ctx || !untrusted || !trusted || handle_ == nullptr ||
        X509_STORE_CTX_init(ctx.get(), nullptr, handle_, nullptr) != 1) {
        return false;
    }
    for (size_t i = start; i < certificates.size(); ++i) {
        X509* entry = certificates[i].handle();
        if (entry == nullptr) {
            continue;
        }
        if (sk_X509_push(certificates[i].selfSigned() ? trusted.get() : untrusted.get(), entry) <=
            0) {
            return false;
        }
    }
    X509_STORE_CTX_set0_untrusted(ctx.get(), untrusted.get());
    X509_STORE_CTX_set0_trusted_stack(ctx.get(), trusted.get());
    return X509_verify_cert(ctx.get()) == 1;
}

bool Certificate::verify(const std::vector<Certificate>& certificates) const {
    return valid_ && verify(certificates, 0);
}

bool Certificate::verifyChain() const {
    return chain_.size() > 1 && verify(chain_, 1);
}

bool Certificate::verifySignature(const std::vector<uint8_t>& signature, const void* data,
                                  size_t size, DigestAlgorithm digest) const {
    return handle_ != nullptr &&
           verifyData(signature, data, size, digest, X509_get0_pubkey(handle_));
}

bool Certificate::verifySignature(const std::vector<uint8_t>& signature,
                                  const std::filesystem::path& file, DigestAlgorithm digest) const {
    return handle_ != nullptr && verifyFile(signature, file, digest, X509_get0_pubkey(handle_));
}

}  // namespace ev_common
