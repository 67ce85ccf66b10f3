#include "certificate_listing.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>

namespace ev_charging_platform::cybersecurity {

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (the era-based
// conversion: 400-year eras of 146097 days).
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

std::string validity_cell(const listed_certificate& certificate, std::int64_t now) {
    std::string cell = format_utc_time(certificate.not_after);
    if (certificate.not_after < now) cell += " (expired)";
    return cell;
}

}  // namespace

std::string format_utc_time(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%04lld-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<long long>(year), month, day, static_cast<int>(rest / 3600),
                  static_cast<int>(rest % 3600 / 60), static_cast<int>(rest % 60));
    return text.data();
}

std::string render_table(const std::vector<listed_certificate>& certificates, std::int64_t now) {
    struct row {
        std::string id, name, source, valid_until, subject;
    };
    std::vector<row> rows{{"ID", "NAME", "SOURCE", "VALID UNTIL (UTC)", "SUBJECT"}};
    for (const auto& certificate : certificates) {
        rows.push_back({std::to_string(certificate.info.id), certificate.info.name,
                        certificate.info.built_in ? "built-in" : "user",
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
    auto list = nlohmann::json::array();
    for (const auto& certificate : certificates) {
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
    return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace ev_charging_platform::cybersecurity
