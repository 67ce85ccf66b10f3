#include "chain_verification.hpp"

#include "ev_common/system/bounded_text.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace ev_charging_platform::cybersecurity {

namespace {

using json = nlohmann::ordered_json;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// `count` digits at `at`, or nothing.
std::optional<unsigned> digits(const std::string& text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

bool is_leap(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned days_in_month(unsigned year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

std::optional<std::string> read_option(const std::string& key, const json& value,
                                       ev_common::ChainVerifier::Options& options) {
    if (key == "hostname") {
        // The longest DNS name.
        if (!value.is_string() || value.get_ref<const std::string&>().empty() ||
            value.get_ref<const std::string&>().size() > 253)
            return std::string("\"hostname\" must be a host name of 1 to 253 characters");
        options.hostname = value.get<std::string>();
    } else if (key == "at") {
        const auto time =
            value.is_string() ? parse_iso8601(value.get<std::string>()) : std::nullopt;
        if (!time) return std::string("\"at\" must be an ISO 8601 time");
        options.at = *time;
    } else if (key == "profile") {
        const auto profile = value.is_string()
                                 ? ev_common::certificateProfileNamed(value.get<std::string>())
                                 : std::nullopt;
        if (!profile) return std::string("\"profile\" must be \"iso15118-2\" or \"iso15118-20\"");
        options.profile = *profile;
    } else if (key == "max_intermediates") {
        const auto limit = ev_common::ChainVerifier::kMaxIntermediatesLimit;
        // The parser reads every integer from 0 up as unsigned.
        if (!value.is_number_unsigned() || value.get<std::uint64_t>() > limit)
            return "\"max_intermediates\" must be a number from 0 to " + std::to_string(limit);
        options.maxIntermediates = value.get<unsigned>();
    } else {
        return "unknown option " + ev_common::boundedText(key);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> parse_iso8601(const std::string& text) {
    // YYYY-MM-DDTHH:MM:SS
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != 't') || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month) ||
        *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    std::size_t at = 19;
    if (text[at] == '.') {
        ++at;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == first) return std::nullopt;
    }
    std::int64_t offset = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const auto offset_hours = digits(text, at + 1, 2);
        const auto offset_minutes = digits(text, at + 4, 2);
        if (!offset_hours || !offset_minutes || at + 3 >= text.size() || text[at + 3] != ':' ||
            *offset_hours > 23 || *offset_minutes > 59)
            return std::nullopt;
        offset = (std::int64_t{*offset_hours} * 60 + *offset_minutes) * 60;
        if (text[at] == '-') offset = -offset;
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    return days_from_civil(*year, *month, *day) * 86400 + std::int64_t{*hour} * 3600 +
           std::int64_t{*minute} * 60 + *second - offset;
}

std::optional<std::string> read_verify_options(const std::string& text,
                                               ev_common::ChainVerifier::Options& options) {
    if (text.size() > max_verify_options_size) {
        return "the options are " + std::to_string(text.size()) + " bytes, more than " +
               std::to_string(max_verify_options_size);
    }
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }))
        return std::nullopt;
    const json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::string("the options are not a JSON object");
    }
    for (const auto& [key, value] : parsed.items()) {
        if (auto error = read_option(key, value, options)) return error;
    }
    return std::nullopt;
}

std::string verification_json(const ev_common::ChainVerifier::Result& result, std::int64_t time,
                              std::int64_t warning_seconds) {
    json reply;
    reply["status"] = ev_common::chainStatusName(result.status);
    reply["reason"] = result.reason;
    reply["depth"] = result.depth;
    if (result.anchor) {
        reply["anchor"] = {{"id", result.anchor->id},
                           {"name", result.anchor->name},
                           {"domain", result.anchor->domain}};
    } else {
        reply["anchor"] = nullptr;
    }
    json chain = json::array();
    std::optional<std::int64_t> earliest;
    for (const auto& entry : result.chain) {
        chain.push_back(
            {{"subject", entry.subject}, {"serial", entry.serial}, {"sha256", entry.sha256}});
        earliest = std::min(earliest.value_or(entry.notAfter), entry.notAfter);
    }
    reply["chain"] = std::move(chain);
    reply["expires_soon"] = earliest.has_value() && *earliest - time <= warning_seconds;
    return reply.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

}  // namespace ev_charging_platform::cybersecurity
