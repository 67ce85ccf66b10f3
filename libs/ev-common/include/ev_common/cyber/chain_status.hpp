// The results of a certificate chain verification. The verifier returns them
// and the same values travel on the wire, so clients of the trust service use
// this header without anything of libcrypto.
#pragma once

#include <cstdint>

namespace ev_common {

enum class ChainStatus : std::uint32_t {
    valid = 0,
    expired = 1,
    not_yet_valid = 2,
    invalid_signature = 3,
    // No root of the domains anchors the chain.
    issuer_not_found = 4,
    // CA flags, key usage, path length, too many intermediates.
    invalid_chain = 5,
    profile_violation = 6,
    hostname_mismatch = 7,
    // The request itself: no certificate, a private key in the text, an
    // unknown domain, bad options.
    invalid_input = 8,
};

// "valid", "expired", ...; "INVALID_ENUM_VALUE" outside the table.
inline const char* chainStatusName(ChainStatus status) {
    static const char* const names[] = {
        "valid",
        "expired",
        "not_yet_valid",
        "invalid_signature",
        "issuer_not_found",
        "invalid_chain",
        "profile_violation",
        "hostname_mismatch",
        "invalid_input",
    };
    const auto index = static_cast<std::uint32_t>(status);
    return index < sizeof names / sizeof names[0] ? names[index] : "INVALID_ENUM_VALUE";
}

}  // namespace ev_common
