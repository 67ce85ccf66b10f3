// The tool's rendering of the certificate list: dates on 64 bits (past 2038
// and before 1970), the table's columns and marks, and JSON that scripts can
// read back.
#include "certificate_listing.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace {

using ev_charging_platform::cybersecurity::expiring_within;
using ev_charging_platform::cybersecurity::format_utc_time;
using ev_charging_platform::cybersecurity::in_domain;
using ev_charging_platform::cybersecurity::listed_certificate;
using ev_charging_platform::cybersecurity::parse_details;
using ev_charging_platform::cybersecurity::render_json;
using ev_charging_platform::cybersecurity::render_table;

listed_certificate entry(std::uint32_t id, const std::string& name, bool built_in,
                         const std::string& subject, std::int64_t not_after) {
    listed_certificate c;
    c.info.id = id;
    c.info.name = name;
    c.info.built_in = built_in;
    c.info.subject = subject;
    c.info.not_after = static_cast<std::int32_t>(not_after);
    c.not_after = not_after;
    return c;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(CertificateListing, FormatsTimesAsIso8601UtcOn64Bits) {
    EXPECT_EQ(format_utc_time(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(format_utc_time(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(format_utc_time(2147483647), "2038-01-19T03:14:07Z");
    EXPECT_EQ(format_utc_time(2147483648LL), "2038-01-19T03:14:08Z");
    EXPECT_EQ(format_utc_time(4102444800LL), "2100-01-01T00:00:00Z");
    EXPECT_EQ(format_utc_time(253402300799LL), "9999-12-31T23:59:59Z");
    EXPECT_EQ(format_utc_time(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(format_utc_time(-86400), "1969-12-31T00:00:00Z");
    EXPECT_EQ(format_utc_time(-2208988800LL), "1900-01-01T00:00:00Z");
}

TEST(CertificateListing, TableShowsOneAlignedLinePerCertificateWithExpiredOnesMarked) {
    const std::int64_t now = 1800000000;
    const auto text = render_table({entry(3, "ACCVRAIZ1", true, "CN=ACCVRAIZ1,C=ES", 1924991999),
                                    entry(142, "old", false, "CN=old", 1500000000),
                                    entry(143, "far", false, "CN=far", 2524608000LL)},
                                   now);
    const auto rows = lines(text);
    ASSERT_EQ(rows.size(), 4u) << text;
    EXPECT_EQ(rows[0].find("ID"), 1u) << "identifiers are right-aligned under their heading";
    EXPECT_EQ(rows[1].rfind("  3  ACCVRAIZ1  built-in  2030-12-31T23:59:59Z", 0), 0u) << rows[1];
    EXPECT_NE(rows[2].find("user"), std::string::npos);
    EXPECT_NE(rows[2].find("2017-07-14T02:40:00Z (expired)"), std::string::npos) << rows[2];
    EXPECT_NE(rows[3].find("2050-01-01T00:00:00Z"), std::string::npos) << rows[3];
    EXPECT_EQ(rows[3].find("expired"), std::string::npos);
    EXPECT_EQ(rows[1].find("expired"), std::string::npos);
    // The subject column starts at the same place on every line.
    const auto column = rows[0].find("SUBJECT");
    EXPECT_EQ(rows[1].find("CN=ACCVRAIZ1"), column);
    EXPECT_EQ(rows[2].find("CN=old"), column);
    EXPECT_EQ(rows[3].find("CN=far"), column);
}

TEST(CertificateListing, JsonCarriesTheTrueEndOfValidityAndSurvivesBadText) {
    const auto text = render_json({entry(7, "far", false, "CN=far", 2524608000LL),
                                   entry(8, "bytes", true, std::string("CN=\xff\xfe"), 0)},
                                  1800000000);
    const auto list = nlohmann::json::parse(text);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["id"], 7);
    EXPECT_EQ(list[0]["name"], "far");
    EXPECT_EQ(list[0]["built_in"], false);
    EXPECT_EQ(list[0]["subject"], "CN=far");
    EXPECT_EQ(list[0]["not_after"], "2050-01-01T00:00:00Z");
    EXPECT_EQ(list[0]["not_after_epoch"], 2524608000LL);
    EXPECT_EQ(list[0]["expired"], false);
    EXPECT_EQ(list[1]["built_in"], true);
    EXPECT_EQ(list[1]["expired"], true);
    EXPECT_EQ(list[1]["subject"].get<std::string>().rfind("CN=", 0), 0u);
    EXPECT_EQ(nlohmann::json::parse(render_json({}, 0)), nlohmann::json::array());
}

TEST(CertificateListing, ReadsTheDetailsAndShowsEveryKeyOfThemInTheJson) {
    const std::string details =
        R"({"generation": 3, "certificates": [)"
        R"({"id": 1, "name": "root", "built_in": true, "subject": "CN = R", "issuer": "CN = R",)"
        R"( "serial": "abc", "not_before": "1950-01-01T00:00:00Z",)"
        R"( "not_after": "2200-01-01T00:00:00Z", "not_before_epoch": -631152000,)"
        R"( "not_after_epoch": 7258118400, "sha256": "00", "is_ca": true,)"
        R"( "self_signed": true, "ocpp": null},)"
        R"({"id": 7, "name": "soon", "built_in": false, "subject": "CN = S",)"
        R"( "not_after_epoch": 1800000100}]})";
    const auto listed = parse_details(details);
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[0].not_after, INT64_C(7258118400));
    EXPECT_EQ((*listed)[1].info.id, 7u);
    EXPECT_EQ((*listed)[1].info.subject, "CN = S");

    const auto json = nlohmann::ordered_json::parse(render_json(*listed, 1800000000));
    std::vector<std::string> keys;
    for (const auto& item : json[0].items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "name", "built_in", "subject", "issuer",
                                              "serial", "not_before", "not_after",
                                              "not_before_epoch", "not_after_epoch", "sha256",
                                              "is_ca", "self_signed", "ocpp", "expired"}));
    EXPECT_EQ(json[1]["expired"], false);

    // Within a day of `now`: only the one that ends in 100 seconds.
    const auto soon = expiring_within(*listed, 1800000000, 1);
    ASSERT_EQ(soon.size(), 1u);
    EXPECT_EQ(soon[0].info.name, "soon");
    EXPECT_EQ(expiring_within(*listed, 1800000200, 0).size(), 1u) << "expired ones stay";

    for (const std::string bad :
         {"", "[]", R"({"certificates": {}})", R"({"certificates": [{"id": -1}]})",
          R"({"certificates": [{"id": 1, "name": "x", "built_in": 1, "subject": "",)"
          R"( "not_after_epoch": 0}]})"}) {
        EXPECT_FALSE(parse_details(bad).has_value()) << bad;
    }
}

TEST(CertificateListing, KeepsTheDomainOfEachCertificateAndShowsItAsItsSource) {
    const std::string details =
        R"({"generation": 1, "certificates": [)"
        R"({"id": 1, "name": "web", "built_in": true, "subject": "CN = W", "not_after_epoch": 0},)"
        R"({"id": 2, "domain": "system", "name": "mine", "built_in": false, "subject": "CN = M",)"
        R"( "not_after_epoch": 0},)"
        R"({"id": 3, "domain": "csms", "name": "csms_root", "built_in": false,)"
        R"( "subject": "CN = C", "not_after_epoch": 0}]})";
    const auto listed = parse_details(details);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ((*listed)[0].domain, "system") << "a service without domains";
    const auto table = lines(render_table(*listed, 0));
    ASSERT_EQ(table.size(), 4u);
    EXPECT_NE(table[1].find(" built-in "), std::string::npos) << table[1];
    EXPECT_NE(table[2].find(" user "), std::string::npos) << table[2];
    EXPECT_NE(table[3].find(" csms "), std::string::npos) << table[3];

    const auto csms = in_domain(*listed, "csms");
    ASSERT_EQ(csms.size(), 1u);
    EXPECT_EQ(csms[0].info.id, 3u);
    EXPECT_EQ(in_domain(*listed, "system").size(), 2u);
    EXPECT_TRUE(in_domain(*listed, "v2g").empty());
    EXPECT_FALSE(parse_details(R"({"certificates": [{"id": 1, "domain": 5, "name": "x",)"
                               R"( "built_in": true, "subject": "", "not_after_epoch": 0}]})")
                     .has_value());
}

}  // namespace
