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
// another line. "-" itself is quoted, as it stands for "none". Only printable
// UTF-8 characters stand as they are; every other byte is written \xHH.
std::string field_text(std::string_view text) {
    const std::string_view shown = ev_common::shownPart(text);
    const std::string note = shown.size() < text.size() ? ev_common::cutNote(text.size()) : "";
    if (note.empty() && !shown.empty() && shown != "-" &&
        std::all_of(shown.begin(), shown.end(),
                    [](char c) { return plain_character(static_cast<unsigned char>(c)); })) {
        return std::string(shown);
    }
    std::string quoted = "\"";
    for (std::size_t at = 0; at < shown.size();) {
        const std::string_view rest = shown.substr(at);
        const std::size_t size = ev_common::printableLength(rest);
        if (size == 0) {
            quoted += fmt::format("\\x{:02x}", static_cast<unsigned char>(rest[0]));
            ++at;
            continue;
        }
        if (rest[0] == '"' || rest[0] == '\\') quoted += '\\';
        quoted.append(rest.substr(0, size));
        at += size;
    }
    return quoted + note + '"';
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
