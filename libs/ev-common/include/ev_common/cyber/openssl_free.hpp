// Deleters that let std::unique_ptr own libcrypto objects; shared by the
// X.509 document and certificate code.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <string>

namespace ev_common::openssl {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

struct StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};

struct StoreCtxFree {
    void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); }
};

struct Asn1TimeFree {
    void operator()(ASN1_TIME* t) const { ASN1_TIME_free(t); }
};

struct Asn1IntegerFree {
    void operator()(ASN1_INTEGER* i) const { ASN1_INTEGER_free(i); }
};

struct BignumFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};

struct ExtensionsFree {
    void operator()(STACK_OF(X509_EXTENSION) * stack) const {
        sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free);
    }
};

struct ExtensionFree {
    void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};

struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct OpenSslFree {
    void operator()(void* p) const { OPENSSL_free(p); }
};

// What was written into a memory BIO, as text; empty when there is nothing.
inline std::string memoryText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    if (size <= 0 || data == nullptr) return {};
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace ev_common::openssl
