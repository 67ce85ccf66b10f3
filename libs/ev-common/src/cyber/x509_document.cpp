#include "ev_common/cyber/x509_document.hpp"
#include "ev_common/cyber/openssl_free.hpp"
#include "ev_common/system/file_io.hpp"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <array>
#include <ctime>
#include <fstream>
#include <memory>
#include <system_error>

namespace ev_common {

namespace {

using namespace ev_common::openssl;

// The signature of everything fed to a signing context: a buffer of the key's
// size, cut to the length written; empty when signing fails.
std::vector<uint8_t> finishSignature(EVP_MD_CTX* ctx, EVP_PKEY* key) {
    std::vector<uint8_t> signature;
    const int maxSize = EVP_PKEY_get_size(key);
    if (maxSize <= 0) {
        return signature;
    }
    signature.resize(static_cast<size_t>(maxSize));
    size_t length = signature.size();
    if (EVP_DigestSignFinal(ctx, signature.data(), &length) != 1) {
        signature.clear();
        return signature;
    }
    signature.resize(length);
    return signature;
}

const EVP_MD* digestFor(DigestAlgorithm digest) {
    return digestOf(digest, DigestAlgorithm::sha256);
}

// Days from 1970-01-01 to the given proleptic Gregorian date, in 64 bits so
// that no step depends on the platform's time_t.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void appendUri(const GENERAL_NAME* location, std::vector<std::string>& to) {
    if (location == nullptr || location->type != GEN_URI) {
        return;
    }
    std::string uri = asn1StringToUtf8(location->d.uniformResourceIdentifier);
    if (!uri.empty()) {
        to.push_back(std::move(uri));
    }
}

}  // namespace

std::string nameToText(const X509_NAME* name) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return {};
    }
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE) < 0) {
        return {};
    }
    return memoryText(bio.get());
}

void readNameComponents(const X509_NAME* name, DistinguishedName& components) {
    if (name == nullptr) {
        return;
    }
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const char* shortName = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
        if (shortName == nullptr) {
            continue;
        }
        const std::string kind(shortName);
        std::string* target = nullptr;
        if (kind == "C") {
            target = &components.country;
        } else if (kind == "ST") {
            target = &components.stateOrProvince;
        } else if (kind == "L") {
            target = &components.locality;
        } else if (kind == "O") {
            target = &components.organization;
        } else if (kind == "OU") {
            target = &components.organizationalUnit;
        } else if (kind == "CN") {
            target = &components.commonName;
        } else if (kind == "emailAddress") {
            target = &components.emailAddress;
        }
        if (target != nullptr) {
            *target = asn1StringToUtf8(X509_NAME_ENTRY_get_data(entry));
        }
    }
}

std::string asn1StringToUtf8(const ASN1_STRING* value) {
    if (value == nullptr) {
        return {};
    }
    if (ASN1_STRING_type(value) == V_ASN1_UTF8STRING) {
        const int length = ASN1_STRING_length(value);
        const unsigned char* data = ASN1_STRING_get0_data(value);
        if (length <= 0 || data == nullptr) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    }
    unsigned char* converted = nullptr;
    const int length = ASN1_STRING_to_UTF8(&converted, value);
    std::unique_ptr<unsigned char, OpenSslFree> owner(converted);
    if (length <= 0 || converted == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(converted), static_cast<size_t>(length));
}

std::vector<std::string> generalNamesToText(GENERAL_NAMES* names) {
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> owner(names);
    std::vector<std::string> result;
    if (names == nullptr) {
        return result;
    }
    const int count = sk_GENERAL_NAME_num(names);
    for (int i = 0; i < count; ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS || name->type == GEN_EMAIL) {
            result.push_back(asn1StringToUtf8(name->d.ia5));
        } else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
            std::array<char, INET_ADDRSTRLEN> text{};
            if (inet_ntop(AF_INET, ASN1_STRING_get0_data(name->d.iPAddress), text.data(),
                          static_cast<socklen_t>(text.size())) != nullptr) {
                result.emplace_back(text.data());
            }
        }
    }
    return result;
}

int64_t asn1TimeToEpoch(const ASN1_TIME* time) {
    // ASN1_TIME_to_tm would report the current time for null, which is never
    // what a certificate field means.
    if (time == nullptr) {
        return 0;
    }
    std::tm broken{};
    if (ASN1_TIME_to_tm(time, &broken) != 1) {
        return 0;
    }
    const int64_t days = daysFromCivil(int64_t{broken.tm_year} + 1900, int64_t{broken.tm_mon} + 1,
                                       int64_t{broken.tm_mday});
    return days * 86400 + int64_t{broken.tm_hour} * 3600 + int64_t{broken.tm_min} * 60 +
           int64_t{broken.tm_sec};
}

std::string bytesToHex(const uint8_t* data, size_t size, const char* separator) {
    static const char digits[] = "0123456789abcdef";
    std::string result;
    const std::string sep(separator != nullptr ? separator : "");
    result.reserve(size * (2 + sep.size()));
    for (size_t i = 0; i < size; ++i) {
        if (i != 0) {
            result += sep;
        }
        result += digits[data[i] >> 4];
        result += digits[data[i] & 0x0f];
    }
    return result;
}

std::vector<uint8_t> signData(const void* data, size_t size, DigestAlgorithm digest,
                              EVP_PKEY* key) {
    std::vector<uint8_t> signature;
    if (data == nullptr || key == nullptr) {
        return signature;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, digestFor(digest), nullptr, key) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, size) != 1) {
        return signature;
    }
    return finishSignature(ctx.get(), key);
}

bool verifyData(const std::vector<uint8_t>& signature, const void* data, size_t size,
                DigestAlgorithm digest, EVP_PKEY* key) {
    if (signature.empty() || data == nullptr || key == nullptr) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, digestFor(digest), nullptr, key) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, size) != 1) {
        return false;
    }
    return EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size()) == 1;
}

namespace {

// Feeds the file to the context in 1024-byte chunks; false when it cannot be opened.
bool digestFile(EVP_MD_CTX* ctx, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::array<char, 1024> chunk{};
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize got = in.gcount();
        if (got > 0 && EVP_DigestUpdate(ctx, chunk.data(), static_cast<size_t>(got)) != 1) {
            return false;
        }
    }
    return !in.bad();
}

}  // namespace

std::vector<uint8_t> signFile(const std::filesystem::path& file, DigestAlgorithm digest,
                              EVP_PKEY* key) {
    std::vector<uint8_t> signature;
    if (key == nullptr) {
        return signature;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, digestFor(digest), nullptr, key) != 1 ||
        !digestFile(ctx.get(), file)) {
        return signature;
    }
    return finishSignature(ctx.get(), key);
}

bool verifyFile(const std::vector<uint8_t>& signature, const std::filesystem::path& file,
                DigestAlgorithm digest, EVP_PKEY* key) {
    if (signature.empty() || key == nullptr) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, digestFor(digest), nullptr, key) != 1 ||
        !digestFile(ctx.get(), file)) {
        return false;
    }
    return EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size()) == 1;
}

const EVP_MD* digestOf(DigestAlgorithm digest, DigestAlgorithm otherwise) {
    switch (digest) {
        case DigestAlgorithm::sha256:
            return EVP_sha256();
        case DigestAlgorithm::sha384:
            return EVP_sha384();
        case DigestAlgorithm::sha512:
            return EVP_sha512();
    }
    return digestOf(otherwise, DigestAlgorithm::sha256);
}

X509Document::X509Document(const std::string& text) : text_(text) {}

X509Document::X509Document(const std::filesystem::path& file) {
    // Links are followed (the system's trust folder is made of them), but only
    // a regular file is read: a FIFO behind a link must not hold the caller.
    std::error_code error;
    if (auto content = readRegularFile(file, error)) {
        text_ = std::move(*content);
    }
}

X509Document::~X509Document() = default;

std::string X509Document::sha256Fingerprint() const {
    if (handle_ == nullptr) return {};
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (X509_digest(handle_, EVP_sha256(), digest.data(), &length) != 1) return {};
    return bytesToHex(digest.data(), length, "");
}

bool X509Document::save(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    out.close();
    return !out.fail();
}

void X509Document::readSubjectSide(X509* certificate) {
    const X509_NAME* name = X509_get_subject_name(certificate);
    subjectText_ = nameToText(name);
    readNameComponents(name, subject_);
}

void X509Document::readSignatureNames(X509* certificate) {
    int digestNid = NID_undef;
    if (X509_get_signature_info(certificate, &digestNid, nullptr, nullptr, nullptr) == 1) {
        const char* digest = OBJ_nid2sn(digestNid);
        signatureDigest_ = digest != nullptr ? digest : "";
    }
    const char* algorithm = OBJ_nid2sn(X509_get_signature_nid(certificate));
    signatureAlgorithm_ = algorithm != nullptr ? algorithm : "";
}

void X509Document::readPublicKey(X509* certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr) {
        return;
    }
    const int baseId = EVP_PKEY_get_base_id(key);
    const char* type = OBJ_nid2sn(EVP_PKEY_type(baseId));
    publicKey_.keyType = type != nullptr ? type : "";
    publicKey_.keySize = EVP_PKEY_get_bits(key);
    if (baseId == EVP_PKEY_EC) {
        std::array<char, 80> group{};
        size_t length = 0;
        if (EVP_PKEY_get_group_name(key, group.data(), group.size(), &length) == 1) {
            // The provider may answer with the NIST alias; report the object's
            // short name in either case.
            int nid = OBJ_sn2nid(group.data());
            if (nid == NID_undef) {
                nid = EC_curve_nist2nid(group.data());
            }
            const char* curve = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
            publicKey_.curveName = curve != nullptr ? curve : group.data();
        }
    }
    // The certificate's own SubjectPublicKeyInfo holds the very bytes a fresh
    // X509_PUBKEY_set / i2d_PUBKEY of the decoded key would produce; reading
    // them directly saves two passes through the provider encoders, which
    // would otherwise dominate the parse.
    const X509_PUBKEY* spki = X509_get_X509_PUBKEY(certificate);
    const unsigned char* bytes = nullptr;
    int length = 0;
    if (spki != nullptr && X509_PUBKEY_get0_param(nullptr, &bytes, &length, nullptr, spki) == 1 &&
        bytes != nullptr && length > 0) {
        publicKey_.keyData.assign(bytes, bytes + length);
        publicKey_.keyHex = bytesToHex(bytes, static_cast<size_t>(length), ":");
        publicKey_.keyHexCompact = bytesToHex(bytes, static_cast<size_t>(length), "");
    }
    unsigned char* der = nullptr;
    const int derLength = spki != nullptr ? i2d_X509_PUBKEY(spki, &der) : 0;
    std::unique_ptr<unsigned char, OpenSslFree> derOwner(der);
    if (derLength > 0 && der != nullptr) {
        publicKey_.spkiDer.assign(der, der + derLength);
    }
}

void X509Document::readExtensions(X509* certificate) {
    const STACK_OF(X509_EXTENSION)* extensions = X509_get0_extensions(certificate);
    const int count = X509v3_get_ext_count(extensions);
    for (int i = 0; i < count; ++i) {
        const X509_EXTENSION* extension = X509v3_get_ext(extensions, i);
        const int nid =
            OBJ_obj2nid(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension)));
        const char* longName = OBJ_nid2ln(nid);
        extensionNames_.emplace_back(longName != nullptr ? longName : "");
        switch (nid) {
            case NID_subject_alt_name:
                subjectAltNames_ = generalNamesToText(static_cast<GENERAL_NAMES*>(
                    X509_get_ext_d2i(certificate, nid, nullptr, nullptr)));
                break;
            case NID_issuer_alt_name:
                issuerAltNames_ = generalNamesToText(static_cast<GENERAL_NAMES*>(
                    X509_get_ext_d2i(certificate, nid, nullptr, nullptr)));
                break;
            case NID_basic_constraints: {
                auto* constraints = static_cast<BASIC_CONSTRAINTS*>(
                    X509_get_ext_d2i(certificate, nid, nullptr, nullptr));
                if (constraints == nullptr) {
                    break;
                }
                basicConstraints_.present = true;
                if (constraints->ca != 0) {
                    basicConstraints_.ca = true;
                    if (constraints->pathlen != nullptr) {
                        basicConstraints_.pathLength =
                            static_cast<int32_t>(ASN1_INTEGER_get(constraints->pathlen));
                    }
                }
                BASIC_CONSTRAINTS_free(constraints);
                break;
            }
            case NID_info_access: {
                auto* access = static_cast<AUTHORITY_INFO_ACCESS*>(
                    X509_get_ext_d2i(certificate, nid, nullptr, nullptr));
                if (access == nullptr) {
                    break;
                }
                const int entries = sk_ACCESS_DESCRIPTION_num(access);
                for (int j = 0; j < entries; ++j) {
                    const ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access, j);
                    const int method = OBJ_obj2nid(description->method);
                    if (method == NID_ad_OCSP) {
                        appendUri(description->location, ocspResponders_);
                    } else if (method == NID_ad_ca_issuers) {
                        appendUri(description->location, caIssuers_);
                    }
                }
                AUTHORITY_INFO_ACCESS_free(access);
                break;
            }
            default:
                break;
        }
    }
}

}  // namespace ev_common
