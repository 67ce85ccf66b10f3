#include "test_pki.hpp"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace x509_test {

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test PKI: ") + what);
    }
}

std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> makeName(const NameEntries& entries) {
    std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
    for (const auto& [field, value] : entries) {
        check(X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                         -1, 0) == 1,
              "name entry");
    }
    return name;
}

}  // namespace

EVP_PKEY* rsaKey(int which) {
    static KeyPtr keys[3];
    KeyPtr& key = keys[which % 3];
    if (!key) {
        key.reset(EVP_RSA_gen(2048));
        check(key != nullptr, "rsa key");
    }
    return key.get();
}

KeyPtr ecKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "ec key");
    return key;
}

CertPtr makeCertificate(const CertProfile& profile) {
    CertPtr certificate(X509_new());
    check(certificate && X509_set_version(certificate.get(), X509_VERSION_3) == 1, "version");

    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        BN_bin2bn(profile.serial.data(), static_cast<int>(profile.serial.size()), nullptr),
        BN_free);
    std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> serial(
        BN_to_ASN1_INTEGER(number.get(), nullptr), ASN1_INTEGER_free);
    check(serial && X509_set_serialNumber(certificate.get(), serial.get()) == 1, "serial");

    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> time(ASN1_TIME_new(), ASN1_TIME_free);
    check(ASN1_TIME_set_string_X509(time.get(), profile.notBefore.c_str()) == 1 &&
              X509_set1_notBefore(certificate.get(), time.get()) == 1,
          "notBefore");
    check(ASN1_TIME_set_string_X509(time.get(), profile.notAfter.c_str()) == 1 &&
              X509_set1_notAfter(certificate.get(), time.get()) == 1,
          "notAfter");

    const auto subject = makeName(profile.subject);
    const auto issuer = makeName(profile.issuer.empty() ? profile.subject : profile.issuer);
    check(X509_set_subject_name(certificate.get(), subject.get()) == 1 &&
              X509_set_issuer_name(certificate.get(), issuer.get()) == 1,
          "names");
    check(profile.subjectKey != nullptr &&
              X509_set_pubkey(certificate.get(), profile.subjectKey) == 1,
          "public key");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, nullptr, certificate.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : profile.extensions) {
        std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
            X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str()), X509_EXTENSION_free);
        check(extension && X509_add_ext(certificate.get(), extension.get(), -1) == 1, "extension");
    }
    EVP_PKEY* signer = profile.signingKey != nullptr ? profile.signingKey : profile.subjectKey;
    // EdDSA hashes as part of its own algorithm: no digest is named.
    const int signerType = EVP_PKEY_get_base_id(signer);
    const bool eddsa = signerType == EVP_PKEY_ED25519 || signerType == EVP_PKEY_ED448;
    const EVP_MD* digest = profile.digest != nullptr ? profile.digest : EVP_sha256();
    check(X509_sign(certificate.get(), signer, eddsa ? nullptr : digest) > 0, "sign");
    return certificate;
}

std::string toPem(const X509* certificate) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(PEM_write_bio_X509(bio.get(), certificate) == 1, "pem");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::vector<uint8_t> toDer(const X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    check(length > 0, "der");
    std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

RequestPtr makeRequest(const NameEntries& subject, EVP_PKEY* key, const Extensions& extensions) {
    RequestPtr request(X509_REQ_new());
    const auto name = makeName(subject);
    check(request && X509_REQ_set_subject_name(request.get(), name.get()) == 1 &&
              X509_REQ_set_pubkey(request.get(), key) == 1,
          "request");
    if (!extensions.empty()) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, nullptr, nullptr, request.get(), nullptr, 0);
        STACK_OF(X509_EXTENSION)* stack = sk_X509_EXTENSION_new_null();
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str());
            check(extension != nullptr, "request extension");
            sk_X509_EXTENSION_push(stack, extension);
        }
        const int added = X509_REQ_add_extensions(request.get(), stack);
        sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free);
        check(added == 1, "request extensions");
    }
    check(X509_REQ_sign(request.get(), key, EVP_sha256()) > 0, "request sign");
    return request;
}

}  // namespace x509_test
