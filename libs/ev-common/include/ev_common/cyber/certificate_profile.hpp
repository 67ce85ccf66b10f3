// The certificate profiles of the ISO 15118 PKIs: which keys and signature
// algorithms, how many bytes of DER and how many intermediates a chain may
// have. The chain verifier applies them to every certificate of a chain; the
// checks of what enters a v2g, mo or oem store can use the same rules.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ev_common {

enum class CertificateProfile {
    none,
    // ECDSA P-256 with ecdsa-with-SHA256, at most 800 bytes of DER, critical
    // keyUsage and basicConstraints.
    iso15118_2,
    // ECDSA secp521r1 with ecdsa-with-SHA512, or Ed448; at most 1600 bytes.
    iso15118_20,
};

// "iso15118-2" or "iso15118-20"; nothing for any other name.
std::optional<CertificateProfile> certificateProfileNamed(std::string_view name);
const char* certificateProfileName(CertificateProfile profile);

struct CertificateProfileRules {
    std::size_t maxDerSize = 0;
    // Certificates between the leaf and the root.
    unsigned maxIntermediates = 0;
};

// Nothing for CertificateProfile::none.
std::optional<CertificateProfileRules> certificateProfileRules(CertificateProfile profile);

// Which rules of a profile apply: all of them to a certificate of a chain;
// the key, the signature algorithm and the size to a root a store takes in.
enum class ProfileScope { chain, anchor };

// Why `certificate` breaks the rules of `profile`, as a phrase for a reply or
// a log line; nothing when it follows them (always for none).
std::optional<std::string> profileViolation(const X509* certificate, CertificateProfile profile,
                                            ProfileScope scope = ProfileScope::chain);

// The first profile of ISO 15118-2 and ISO 15118-20 whose anchor rules
// `certificate` follows; nothing when it follows neither, with `why` (when
// given) naming what did not fit in each.
std::optional<CertificateProfile> anchorProfile(const X509* certificate,
                                                std::string* why = nullptr);

}  // namespace ev_common
