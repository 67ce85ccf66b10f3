// The checks every CA store makes of an addition before it writes anything:
// a name that can be a file name in its folder, a text that holds a
// certificate and no private key. Each refusal is logged with its reason.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "ev_common/cyber/certificate.hpp"
#include "ev_common/cyber/certificate_status.hpp"

namespace ev_common::store_checks {

// Longer names are refused: the temporary ".NAME.crt.XXXXXX" of a write must
// stay within the 255 bytes a file name may have, with room to spare.
constexpr std::size_t kMaxNameLength = 200;

// A full match of "[a-zA-Z0-9_-]+"; logs the refused name.
bool isValidName(const std::string& name);

// True when the text holds a PEM block whose label ends in "PRIVATE KEY".
bool holdsPrivateKey(const std::string& text);

// The status of a name or text that no store takes, after its log lines.
std::optional<AddCertificateStatus> refuseCertificate(const Certificate& certificate,
                                                      const std::string& name);

}  // namespace ev_common::store_checks
