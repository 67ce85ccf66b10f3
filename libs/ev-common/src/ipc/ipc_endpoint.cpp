#include "ev_common/ipc/ipc_endpoint.hpp"

#include <cstdint>
#include <limits>

namespace ev_common {

namespace {

// Digits only, no sign, no blank, at most `maximum`.
std::optional<std::uint64_t> decimal(std::string_view text, std::uint64_t maximum) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > maximum) return std::nullopt;
    return value;
}

// Splits off the field after the last ':'; false when there is no ':'.
bool takeLastField(std::string_view& text, std::string_view& field) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    field = text.substr(colon + 1);
    text = text.substr(0, colon);
    return true;
}

}  // namespace

std::string ipcSocketPath(const std::string& endpoint) {
    static const std::string scheme = "ipc://";
    if (endpoint.compare(0, scheme.size(), scheme) != 0) return {};
    std::string path = endpoint.substr(scheme.size());
    if (path.empty() || path[0] == '@') return {};
    return path;
}

std::optional<PeerCredentials> parsePeerAddress(std::string_view text) {
    std::string_view pidText;
    std::string_view gidText;
    std::string_view uidText;
    // The three fields each follow a ':', so "1:2:3" (no host part) or a bare
    // number is not read as credentials.
    if (!takeLastField(text, pidText) || !takeLastField(text, gidText) ||
        !takeLastField(text, uidText)) {
        return std::nullopt;
    }
    // (uid_t)-1 and (gid_t)-1 stand for "no id" in the kernel's interfaces.
    const std::uint64_t idLimit = std::numeric_limits<std::uint32_t>::max() - 1;
    const auto uid = decimal(uidText, idLimit);
    const auto gid = decimal(gidText, idLimit);
    const auto pid =
        decimal(pidText, static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()));
    if (!uid || !gid || !pid) return std::nullopt;
    return PeerCredentials{static_cast<uid_t>(*uid), static_cast<gid_t>(*gid),
                           static_cast<pid_t>(*pid)};
}

}  // namespace ev_common
