#include "ev_common/cyber/trust_anchor_check.hpp"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/cyber/certificate_profile.hpp"
#include "ev_common/system/utc_time.hpp"

namespace ev_common {

namespace {

bool issuedByOneOf(const Certificate& certificate, const std::vector<IssuerIdentity>& issuers) {
    for (const auto& issuer : issuers) {
        if (isIssuedBy(certificate, issuer)) return true;
    }
    return false;
}

// Self-signed, or signed by one of the rules' issuers where they allow it.
std::optional<std::string> issuerRefusal(const Certificate& certificate,
                                         const TrustAnchorRules& rules) {
    if (rules.issuedOnly) {
        if (issuedByOneOf(certificate, rules.issuers)) return std::nullopt;
        return "not signed by " + rules.issuersText;
    }
    const IssuerIdentity own = issuerIdentity(certificate);
    if (sameName(certificate.issuerDer(), own.subjectDer)) {
        if (isIssuedBy(certificate, own)) return std::nullopt;
        if (!issuedByOneOf(certificate, rules.issuers)) {
            return std::string("not self-signed (the signature does not verify with its own key)");
        }
        return std::nullopt;
    }
    if (issuedByOneOf(certificate, rules.issuers)) return std::nullopt;
    if (!rules.issuers.empty()) {
        return std::string("neither self-signed nor signed by a root of the domain");
    }
    return std::string("not self-signed (the issuer is not the subject)");
}

}  // namespace

TrustAnchorRules trustAnchorRulesFor(const std::string& domain) {
    TrustAnchorRules rules;
    rules.iso15118 = domain == "v2g" || domain == "mo" || domain == "oem";
    rules.heldRootsSign = domain == "csms";
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
    if (auto refused = issuerRefusal(certificate, rules)) return refused;
    if (now < certificate.notBefore()) {
        return "not valid before " + formatUtcTime(certificate.notBefore());
    }
    // Valid through its last second, as the expiry watch counts it.
    if (certificate.notAfter() < now) return "expired on " + formatUtcTime(certificate.notAfter());
    if (!rules.iso15118) return std::nullopt;
    std::string why;
    if (!anchorProfile(certificate.handle(), &why)) return why;
    return std::nullopt;
}

}  // namespace ev_common
