#include "certificate_listing.hpp"

#include "ev_common/system/utc_time.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace ev_charging_platform::cybersecurity {

namespace {

std::string validity_cell(const listed_certificate& certificate, std::int64_t now) {
    std::string cell = format_utc_time(certificate.not_after);
    if (certificate.not_after < now) cell += " (expired)";
    return cell;
}

// One certificate object of the details text, or nothing when a key the
// listing needs is missing or of another type.
std::optional<listed_certificate> listed_from(const nlohmann::ordered_json& object) {
    if (!object.is_object()) return std::nullopt;
    const auto id = object.find("id");
    const auto name = object.find("name");
    const auto built_in = object.find("built_in");
    const auto subject = object.find("subject");
    const auto not_after = object.find("not_after_epoch");
    const auto domain = object.find("domain");
    if (domain != object.end() && !domain->is_string()) return std::nullopt;
    if (id == object.end() || !id->is_number_unsigned() || name == object.end() ||
        !name->is_string() || built_in == object.end() || !built_in->is_boolean() ||
        subject == object.end() || !subject->is_string() || not_after == object.end() ||
        !not_after->is_number_integer() || id->get<std::uint64_t>() > UINT32_MAX) {
        return std::nullopt;
    }
    listed_certificate entry;
    entry.info.id = id->get<std::uint32_t>();
    entry.info.name = name->get<std::string>();
    entry.info.built_in = built_in->get<bool>();
    entry.info.subject = subject->get<std::string>();
    entry.not_after = not_after->get<std::int64_t>();
    entry.info.not_after = static_cast<std::int32_t>(entry.not_after);
    if (domain != object.end()) entry.domain = domain->get<std::string>();
    entry.details = object;
    return entry;
}

}  // namespace

std::vector<listed_certificate> in_domain(std::vector<listed_certificate> certificates,
                                          const std::string& domain) {
    certificates.erase(std::remove_if(certificates.begin(), certificates.end(),
                                      [&](const auto& c) { return c.domain != domain; }),
                       certificates.end());
    return certificates;
}

std::string format_utc_time(std::int64_t seconds) {
    return ev_common::formatUtcTime(seconds);
}

std::optional<std::vector<listed_certificate>> parse_details(const std::string& text) {
    const auto document = nlohmann::ordered_json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;
    const auto certificates = document.find("certificates");
    if (certificates == document.end() || !certificates->is_array()) return std::nullopt;
    std::vector<listed_certificate> listed;
    listed.reserve(certificates->size());
    for (const auto& object : *certificates) {
        auto entry = listed_from(object);
        if (!entry) return std::nullopt;
        listed.push_back(std::move(*entry));
    }
    return listed;
}

std::vector<listed_certificate> expiring_within(std::vector<listed_certificate> certificates,
                                                std::int64_t now, std::uint32_t days) {
    const std::int64_t limit = now + std::int64_t{days} * 86400;
    certificates.erase(std::remove_if(certificates.begin(), certificates.end(),
                                      [&](const auto& c) { return c.not_after >= limit; }),
                       certificates.end());
    return certificates;
}

namespace {

// A built-in the system no longer trusts (operation 5 marks it).
bool distrusted(const listed_certificate& certificate) {
    if (!certificate.details) return false;
    const auto it = certificate.details->find("distrusted");
    return it != certificate.details->end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

std::string render_table(const std::vector<listed_certificate>& certificates, std::int64_t now) {
    struct row {
        std::string id, name, source, valid_until, subject;
    };
    std::vector<row> rows{{"ID", "NAME", "SOURCE", "VALID UNTIL (UTC)", "SUBJECT"}};
    for (const auto& certificate : certificates) {
        rows.push_back({std::to_string(certificate.info.id), certificate.info.name,
                        certificate.domain != system_domain ? certificate.domain
                        : !certificate.info.built_in        ? "user"
                        : distrusted(certificate)           ? "built-in (distrusted)"
                                                            : "built-in",
                        validity_cell(certificate, now), certificate.info.subject});
    }
    std::size_t id_width = 0, name_width = 0, source_width = 0, valid_width = 0;
    for (const auto& r : rows) {
        id_width = std::max(id_width, r.id.size());
        name_width = std::max(name_width, r.name.size());
        source_width = std::max(source_width, r.source.size());
        valid_width = std::max(valid_width, r.valid_until.size());
    }
    const auto pad = [](const std::string& text, std::size_t width) {
        return text + std::string(width - text.size() + 2, ' ');
    };
    std::string out;
    for (const auto& r : rows) {
        // Identifiers right-aligned, so that they read as numbers.
        out += std::string(id_width - r.id.size(), ' ') + r.id + "  ";
        out += pad(r.name, name_width) + pad(r.source, source_width) +
               pad(r.valid_until, valid_width) + r.subject + "\n";
    }
    return out;
}

std::string render_json(const std::vector<listed_certificate>& certificates, std::int64_t now) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& certificate : certificates) {
        if (certificate.details) {
            nlohmann::ordered_json object = *certificate.details;
            object["expired"] = certificate.not_after < now;
            list.push_back(std::move(object));
            continue;
        }
        list.push_back({
            {"id", certificate.info.id},
            {"name", certificate.info.name},
            {"built_in", certificate.info.built_in},
            {"subject", certificate.info.subject},
            {"not_after", format_utc_time(certificate.not_after)},
            {"not_after_epoch", certificate.not_after},
            {"expired", certificate.not_after < now},
        });
    }
    // Names and subjects are bytes as the service holds them; replace what is
    // not UTF-8 rather than failing the whole listing.
    return list.dump(2, ' ', /*ensure_ascii=*/false,
                     nlohmann::ordered_json::error_handler_t::replace) +
           "\n";
}

}  // namespace ev_charging_platform::cybersecurity
