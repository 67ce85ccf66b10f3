#include "ev_common/cyber/certificate_profile.hpp"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "ev_common/cyber/trust_anchor_check.hpp"

namespace ev_common {

namespace {

constexpr std::size_t kIso15118_20MaxDerSize = 1600;
// Contract chains: leaf, sub-CA 2, sub-CA 1, root.
constexpr unsigned kIso15118MaxIntermediates = 2;

std::string curveOf(EVP_PKEY* key) {
    char name[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return {};
    return std::string(name, length);
}

std::string algorithmText(int nid) {
    const char* name = nid == NID_undef ? nullptr : OBJ_nid2ln(nid);
    return name != nullptr ? name : "unknown";
}

// Present and marked critical.
std::optional<std::string> criticalExtensionMissing(const X509* certificate, int nid,
                                                    const char* name) {
    const int at = X509_get_ext_by_NID(certificate, nid, -1);
    if (at < 0) return std::string("no ") + name + " extension";
    if (X509_EXTENSION_get_critical(X509_get_ext(certificate, at)) == 0) {
        return std::string(name) + " not critical";
    }
    return std::nullopt;
}

std::optional<std::string> keyViolation(const X509* certificate, CertificateProfile profile) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    const int signature = X509_get_signature_nid(certificate);
    const bool ec = key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC;
    const std::string curve = ec ? curveOf(key) : std::string();
    if (profile == CertificateProfile::iso15118_2) {
        if (!ec || curve != "prime256v1") return std::string("not an ECDSA P-256 key");
        if (signature != NID_ecdsa_with_SHA256) {
            return "signed with " + algorithmText(signature) + ", not ecdsa-with-SHA256";
        }
        return std::nullopt;
    }
    if (ec && curve == "secp521r1") {
        if (signature != NID_ecdsa_with_SHA512) {
            return "signed with " + algorithmText(signature) + ", not ecdsa-with-SHA512";
        }
        return std::nullopt;
    }
    if (key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_ED448) {
        if (signature != NID_ED448)
            return "signed with " + algorithmText(signature) + ", not Ed448";
        return std::nullopt;
    }
    return std::string("neither an ECDSA secp521r1 nor an Ed448 key");
}

}  // namespace

std::optional<CertificateProfile> certificateProfileNamed(std::string_view name) {
    if (name == "iso15118-2") return CertificateProfile::iso15118_2;
    if (name == "iso15118-20") return CertificateProfile::iso15118_20;
    return std::nullopt;
}

const char* certificateProfileName(CertificateProfile profile) {
    switch (profile) {
        case CertificateProfile::iso15118_2:
            return "iso15118-2";
        case CertificateProfile::iso15118_20:
            return "iso15118-20";
        case CertificateProfile::none:
            break;
    }
    return "none";
}

std::optional<CertificateProfileRules> certificateProfileRules(CertificateProfile profile) {
    switch (profile) {
        case CertificateProfile::iso15118_2:
            return CertificateProfileRules{kIso15118MaxDerSize, kIso15118MaxIntermediates};
        case CertificateProfile::iso15118_20:
            return CertificateProfileRules{kIso15118_20MaxDerSize, kIso15118MaxIntermediates};
        case CertificateProfile::none:
            break;
    }
    return std::nullopt;
}

std::optional<std::string> profileViolation(const X509* certificate, CertificateProfile profile,
                                            ProfileScope scope) {
    const auto rules = certificateProfileRules(profile);
    if (!rules) return std::nullopt;
    const int derSize = i2d_X509(certificate, nullptr);
    if (derSize <= 0 || static_cast<std::size_t>(derSize) > rules->maxDerSize) {
        return std::to_string(derSize) + " bytes of DER, more than " +
               std::to_string(rules->maxDerSize);
    }
    if (auto violation = keyViolation(certificate, profile)) return violation;
    if (profile != CertificateProfile::iso15118_2 || scope == ProfileScope::anchor) {
        return std::nullopt;
    }
    if (auto missing = criticalExtensionMissing(certificate, NID_key_usage, "keyUsage")) {
        return missing;
    }
    return criticalExtensionMissing(certificate, NID_basic_constraints, "basicConstraints");
}

std::optional<CertificateProfile> anchorProfile(const X509* certificate, std::string* why) {
    const auto old =
        profileViolation(certificate, CertificateProfile::iso15118_2, ProfileScope::anchor);
    if (!old) return CertificateProfile::iso15118_2;
    const auto current =
        profileViolation(certificate, CertificateProfile::iso15118_20, ProfileScope::anchor);
    if (!current) return CertificateProfile::iso15118_20;
    if (why != nullptr) {
        *why = "fits neither ISO 15118-2 (" + *old + ") nor ISO 15118-20 (" + *current + ")";
    }
    return std::nullopt;
}

}  // namespace ev_common
