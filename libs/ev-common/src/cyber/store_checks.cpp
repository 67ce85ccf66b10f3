#include "store_checks.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <spdlog/spdlog.h>

#include "ev_common/system/bounded_text.hpp"
#include "file_io.hpp"

namespace ev_common::store_checks {

bool isValidName(const std::string& name) {
    // The same set as a full match of "[a-zA-Z0-9_-]+", tested without the
    // regex engine: its recursive matcher overflows the stack on long input,
    // and the name comes straight from a client.
    const bool valid =
        !name.empty() && std::all_of(name.begin(), name.end(), file_io::isNameCharacter);
    if (!valid) spdlog::error("[ca-store] Invalid certificate name: {}", bounded(name));
    return valid;
}

// Wherever its BEGIN line stands, and whatever the kind (PKCS#8, RSA, EC,
// encrypted, ...): a secret must never reach a world-readable trust folder.
bool holdsPrivateKey(const std::string& text) {
    static const std::string kBegin = "-----BEGIN ";
    static const std::string kPrivateKey = "PRIVATE KEY";
    for (std::size_t at = text.find(kBegin); at != std::string::npos;
         at = text.find(kBegin, at + 1)) {
        const std::size_t labelAt = at + kBegin.size();
        const std::size_t labelEnd = text.find("-----", labelAt);
        if (labelEnd == std::string::npos) return false;
        std::string_view label(text.data() + labelAt, labelEnd - labelAt);
        while (!label.empty() && std::isspace(static_cast<unsigned char>(label.back()))) {
            label.remove_suffix(1);
        }
        if (label.size() >= kPrivateKey.size() &&
            label.substr(label.size() - kPrivateKey.size()) == kPrivateKey) {
            return true;
        }
    }
    return false;
}

std::optional<AddCertificateStatus> refuseCertificate(const Certificate& certificate,
                                                      const std::string& name) {
    if (!isValidName(name)) {
        spdlog::error("[ca-store] Unable to add certificate : invalid name");
        return AddCertificateStatus::invalid_name;
    }
    if (name.size() > kMaxNameLength) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : the name is longer than {} characters",
            bounded(name), kMaxNameLength);
        return AddCertificateStatus::invalid_name;
    }
    if (!certificate.valid()) {
        spdlog::error("[ca-store] Unable to add certificate {} : invalid certificate",
                      bounded(name));
        return AddCertificateStatus::invalid_cert;
    }
    if (holdsPrivateKey(certificate.text())) {
        spdlog::warn("[ca-store] Unable to add certificate {} : the text holds a private key",
                     bounded(name));
        return AddCertificateStatus::invalid_cert;
    }
    return std::nullopt;
}

}  // namespace ev_common::store_checks
