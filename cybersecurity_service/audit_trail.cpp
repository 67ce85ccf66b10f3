#include "audit_trail.hpp"

#include "ev_common/system/bounded_text.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace ev_charging_platform::cybersecurity {

namespace {

bool plain_character(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// A client's text as one field: bare when it is a plain word, otherwise
// quoted so that neither a blank nor a line break can forge another field or
// another line. "-" itself is quoted, as it stands for "none".
std::string field_text(std::string_view text) {
    const std::string shown = fmt::format("{}", ev_common::bounded(text));
    if (!shown.empty() && shown != "-" && std::all_of(shown.begin(), shown.end(), [](char c) {
            return plain_character(static_cast<unsigned char>(c));
        })) {
        return shown;
    }
    std::string quoted = "\"";
    for (const char character : shown) {
        const auto c = static_cast<unsigned char>(character);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += character;
        } else if (c < 0x20 || c == 0x7f) {
            quoted += fmt::format("\\x{:02x}", c);
        } else {
            quoted += character;
        }
    }
    return quoted + '"';
}

template <typename Value>
std::string or_unknown(const caller_credentials& caller, Value ev_common::PeerCredentials::*field) {
    return caller ? std::to_string((*caller).*field) : "unknown";
}

}  // namespace

std::string audit_line(const audit_entry& entry) {
    return fmt::format(
        "[audit] operation={}{} name={} id={} sha256={} uid={} gid={} pid={} result={}",
        entry.operation, entry.domain.empty() ? "" : " domain=" + field_text(entry.domain),
        entry.name ? field_text(*entry.name) : "-", entry.id ? std::to_string(*entry.id) : "-",
        entry.fingerprint.empty() ? "-" : entry.fingerprint,
        or_unknown(entry.caller, &ev_common::PeerCredentials::uid),
        or_unknown(entry.caller, &ev_common::PeerCredentials::gid),
        or_unknown(entry.caller, &ev_common::PeerCredentials::pid), entry.result);
}

void log_audit(const audit_entry& entry, bool carried_out) {
    spdlog::log(carried_out ? spdlog::level::info : spdlog::level::warn, "{}", audit_line(entry));
}

}  // namespace ev_charging_platform::cybersecurity
