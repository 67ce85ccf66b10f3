// What a certificate must be to become a trust anchor of a trust domain: the
// only certificate of its text, a CA that may sign certificates, self-signed
// (or signed by a root the domain trusts already, where the domain allows
// it), within its validity, and for the ISO 15118 PKIs fitting one of the
// profiles (certificate_profile.hpp). The domain stores check every addition
// with it; the rules follow from the domain's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <vector>

#include "ev_common/cyber/certificate.hpp"
#include "ev_common/cyber/certificate_details.hpp"

namespace ev_common {

inline constexpr std::size_t kIso15118MaxDerSize = 800;

struct TrustAnchorRules {
    // ISO 15118 PKIs: the certificate fits the ISO 15118-2 or the ISO
    // 15118-20 profile.
    bool iso15118 = false;
    // Roots whose signature makes a certificate an anchor as well as its own.
    std::vector<IssuerIdentity> issuers;
    // Only `issuers` may have signed it (a self-signed certificate does not
    // pass); refused as "not signed by " + issuersText.
    bool issuedOnly = false;
    std::string issuersText;
    // The domain's store lets every root it holds sign a new one (csms,
    // whose new roots are signed by the old).
    bool heldRootsSign = false;
};

// ISO 15118 rules for "v2g", "mo" and "oem", roots signed by held roots for
// "csms", the general ones otherwise.
TrustAnchorRules trustAnchorRulesFor(const std::string& domain);

// Why `certificate` may not be a trust anchor under `rules` at `now` (seconds
// since 1970), as a phrase for a log line; nothing when it may. The checks
// run in this order: one PEM block in the text, basicConstraints CA:TRUE,
// keyCertSign when a keyUsage is present, self-signed (issuer named as the
// subject, signature verified with its own key) or issued by one of the
// rules' issuers, not before its start of validity, not after its end, then
// the ISO 15118 profiles. The certificate must be valid().
std::optional<std::string> trustAnchorRefusal(const Certificate& certificate,
                                              const TrustAnchorRules& rules, std::int64_t now);

}  // namespace ev_common
