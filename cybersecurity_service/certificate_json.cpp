#include "certificate_json.hpp"

#include "ev_common/system/utc_time.hpp"

#include <nlohmann/json.hpp>

namespace ev_charging_platform::cybersecurity {

namespace {

using json = nlohmann::ordered_json;

std::string dump(const json& value) {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

json ocpp_json(const std::vector<ev_common::OcppHashData>& hash_data) {
    if (hash_data.empty()) return nullptr;
    json list = json::array();
    for (const auto& data : hash_data) {
        list.push_back({{"hash_algorithm", data.hashAlgorithm},
                        {"issuer_name_hash", data.issuerNameHash},
                        {"issuer_key_hash", data.issuerKeyHash},
                        {"serial_number", data.serialNumber}});
    }
    return list;
}

// Only where the domain gives them.
void add_profile_and_role(json& object, const std::string& profile, const std::string& role) {
    if (!profile.empty()) object["profile"] = profile;
    if (!role.empty()) object["role"] = role;
}

json certificate_json(const ev_common::CertificateDetailsEntry& entry) {
    const auto& info = entry.info;
    const auto& details = entry.details;
    json object = {{"id", info.id},
                   {"domain", entry.domain},
                   {"name", info.name},
                   {"built_in", info.isBuiltIn},
                   {"subject", info.subject},
                   {"issuer", details.issuer},
                   {"serial", details.serial},
                   {"not_before", ev_common::formatUtcTime(details.notBefore)},
                   {"not_after", ev_common::formatUtcTime(details.notAfter)},
                   {"not_before_epoch", details.notBefore},
                   {"not_after_epoch", details.notAfter},
                   {"sha256", details.sha256},
                   {"is_ca", details.isCa},
                   {"self_signed", details.selfSigned},
                   {"ocpp", ocpp_json(details.ocpp)}};
    // Only on a built-in the system no longer trusts.
    if (info.distrusted) object["distrusted"] = true;
    add_profile_and_role(object, entry.profile, entry.role);
    return object;
}

}  // namespace

std::string details_json(const ev_common::CertificateDetailsListing& listing,
                         const std::string& store_id) {
    json certificates = json::array();
    for (const auto& entry : listing.certificates) certificates.push_back(certificate_json(entry));
    json reply = json::object();
    if (!store_id.empty()) reply["store_id"] = store_id;
    reply["generation"] = listing.generation;
    reply["certificates"] = std::move(certificates);
    return dump(reply);
}

std::string event_json(const ev_common::CertificateChange& change, const std::string& store_id) {
    json event = json::object();
    if (!store_id.empty()) event["store_id"] = store_id;
    event["generation"] = change.generation;
    event["event"] = ev_common::toString(change.event);
    event["domain"] = change.domain;
    event["id"] = change.id;
    event["name"] = change.name;
    event["sha256"] = change.sha256;
    event["not_after"] = ev_common::formatUtcTime(change.notAfter);
    add_profile_and_role(event, change.profile, change.role);
    return dump(event);
}

}  // namespace ev_charging_platform::cybersecurity
