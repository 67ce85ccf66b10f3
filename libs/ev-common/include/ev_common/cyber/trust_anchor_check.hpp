// What a certificate must be to become a trust anchor of a trust domain: the
// only certificate of its text, a CA that may sign certificates, self-signed,
// within its validity, and for the ISO 15118 PKIs small and on the P-256
// curve. The domain stores check every addition with it; the rules follow
// from the domain's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ev_common/cyber/certificate.hpp"

namespace ev_common {

inline constexpr std::size_t kIso15118MaxDerSize = 800;

struct TrustAnchorRules {
    // ISO 15118 PKIs: at most kIso15118MaxDerSize bytes of DER and an ECDSA
    // key on P-256 (prime256v1).
    bool iso15118 = false;
};

// ISO 15118 rules for "v2g", "mo" and "oem", the general ones otherwise.
TrustAnchorRules trustAnchorRulesFor(const std::string& domain);

// Why `certificate` may not be a trust anchor under `rules` at `now` (seconds
// since 1970), as a phrase for a log line; nothing when it may. The checks
// run in this order: one PEM block in the text, basicConstraints CA:TRUE,
// keyCertSign when a keyUsage is present, self-signed (issuer named as the
// subject, signature verified with its own key), not before its start of
// validity, not after its end, then the ISO 15118 size and key. The certificate must be valid().
std::optional<std::string> trustAnchorRefusal(const Certificate& certificate,
                                              const TrustAnchorRules& rules, std::int64_t now);

}  // namespace ev_common
