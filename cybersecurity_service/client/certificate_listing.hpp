// How cybersecurity_ctl shows the service's certificate list: the readable
// table and the JSON form, with the end of validity as an ISO 8601 UTC time,
// read from the certificates' details when the service gives them. Kept
// apart from the tool's main so the formatting can be tested without a
// service; the dates are computed on 64 bits, so they stay right past 2038
// on devices whose time_t has 32.
#pragma once

#include "cybersecurity/protocol.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

struct listed_certificate {
    ca_certificate_info info;
    // The true end of validity, read from the certificate when it could be
    // fetched, otherwise the 32-bit value of the list.
    std::int64_t not_after = 0;
    // The certificate's object of get_ca_certificate_details, when the list
    // came from there.
    std::optional<nlohmann::ordered_json> details;
    // The trust domain that holds it; "system" when the service names none.
    std::string domain = system_domain;
};

// The certificates of a get_ca_certificate_details text; nothing when the
// text is not such an object.
std::optional<std::vector<listed_certificate>> parse_details(const std::string& text);

// Only those whose end of validity comes before `now` plus `days` (the
// expired ones included).
std::vector<listed_certificate> expiring_within(std::vector<listed_certificate> certificates,
                                                std::int64_t now, std::uint32_t days);

// Only those of the trust domain `domain`.
std::vector<listed_certificate> in_domain(std::vector<listed_certificate> certificates,
                                          const std::string& domain);

// "2038-01-19T03:14:08Z"; seconds may be negative (before 1970).
std::string format_utc_time(std::int64_t seconds);

// One header line, then one line per certificate: id, name, built-in or user
// (for the system store) or the trust domain, end of validity (marked when
// before `now`), subject.
std::string render_table(const std::vector<listed_certificate>& certificates, std::int64_t now);

// A JSON array of objects with id, name, built_in, subject, not_after (ISO
// text), not_after_epoch, expired; certificates with details carry every key
// of their details, then expired.
std::string render_json(const std::vector<listed_certificate>& certificates, std::int64_t now);

}  // namespace ev_charging_platform::cybersecurity
