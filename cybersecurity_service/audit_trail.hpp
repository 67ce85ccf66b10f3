// The audit trail of the trust store: one line for every addition,
// replacement and removal, carried out (info) or refused (warn), naming the
// certificate, the caller and the result, for a device's log collector to
// forward as its security log. One fixed form, tagged for filtering:
//
//   [audit] operation=add name=my_ca id=143 sha256=<64 hex> uid=0 gid=0 pid=1234 result=success
//   [audit] operation=add domain=csms name=csms_root id=150 sha256=<64 hex> uid=0 ...
//
// The domain is named for every trust domain but the system's store. "-"
// stands for what there is none of; a name other than a plain word
// (letters, digits, '_', '-', '.') is quoted with \" \\ and \xHH escapes.
#pragma once

#include "i_req_resp_cybersecurity_service_handler.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ev_charging_platform::cybersecurity {

struct audit_entry {
    std::string_view operation;  // "add", "replace" or "remove"
    std::optional<std::string_view> name;
    std::optional<std::uint32_t> id;
    std::string fingerprint;  // SHA-256 of the DER, hex; empty when none
    caller_credentials caller;
    std::string_view result;  // the status name
    // A trust domain other than the system's store; empty for that store.
    std::string_view domain = {};
};

std::string audit_line(const audit_entry& entry);
// Writes the line: info when the change was carried out, warn when refused.
void log_audit(const audit_entry& entry, bool carried_out);

}  // namespace ev_charging_platform::cybersecurity
