#include "ev_common/cyber/trust_anchor_check.hpp"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/system/utc_time.hpp"

namespace ev_common {

namespace {

std::string keyText(const PublicKeyInfo& key) {
    if (key.keyType.empty()) return "unknown";
    return key.curveName.empty() ? key.keyType : key.keyType + " " + key.curveName;
}

}  // namespace

TrustAnchorRules trustAnchorRulesFor(const std::string& domain) {
    TrustAnchorRules rules;
    rules.iso15118 = domain == "v2g" || domain == "mo" || domain == "oem";
    return rules;
}

std::optional<std::string> trustAnchorRefusal(const Certificate& certificate,
                                              const TrustAnchorRules& rules, std::int64_t now) {
    // Whatever else the text holds would reach the folder and the bundle
    // without having been checked.
    if (certificate.pemBlocks().size() != 1) {
        return "the text holds " + std::to_string(certificate.pemBlocks().size()) +
               " PEM blocks, not one certificate";
    }
    if (!certificate.basicConstraints().ca) {
        return std::string("not a CA certificate (no basicConstraints CA:TRUE)");
    }
    // A keyUsage that leaves keyCertSign out makes every chain through the
    // root fail; without the extension any use is allowed.
    X509* const handle = certificate.handle();
    if ((X509_get_extension_flags(handle) & EXFLAG_KUSAGE) != 0 &&
        (X509_get_key_usage(handle) & KU_KEY_CERT_SIGN) == 0) {
        return std::string("cannot sign certificates (keyUsage without keyCertSign)");
    }
    const IssuerIdentity own = issuerIdentity(certificate);
    if (!sameName(certificate.issuerDer(), own.subjectDer)) {
        return std::string("not self-signed (the issuer is not the subject)");
    }
    if (!isIssuedBy(certificate, own)) {
        return std::string("not self-signed (the signature does not verify with its own key)");
    }
    if (now < certificate.notBefore()) {
        return "not valid before " + formatUtcTime(certificate.notBefore());
    }
    // Valid through its last second, as the expiry watch counts it.
    if (certificate.notAfter() < now) return "expired on " + formatUtcTime(certificate.notAfter());
    if (!rules.iso15118) return std::nullopt;
    const int derSize =
        certificate.handle() != nullptr ? i2d_X509(certificate.handle(), nullptr) : 0;
    if (derSize <= 0 || static_cast<std::size_t>(derSize) > kIso15118MaxDerSize) {
        return std::to_string(derSize) + " bytes of DER, more than " +
               std::to_string(kIso15118MaxDerSize);
    }
    const PublicKeyInfo& key = certificate.publicKey();
    if (key.keyType != "id-ecPublicKey" || key.curveName != "prime256v1") {
        return "not an ECDSA P-256 key (" + keyText(key) + ")";
    }
    return std::nullopt;
}

}  // namespace ev_common
