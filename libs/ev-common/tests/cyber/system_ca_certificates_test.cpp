// Certificates nobody here wrote: every CA of the system bundle must parse, and
// its names, serial and end of validity must read as the openssl command reads
// them.
#include "ev_common/cyber/certificate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <sstream>

using ev_common::Certificate;

namespace {

const std::filesystem::path kMozillaDir = "/usr/share/ca-certificates/mozilla";

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// "key=value" lines of one openssl x509 run.
std::map<std::string, std::string> opensslFields(const std::filesystem::path& file) {
    const std::string command =
        "openssl x509 -in " + shellQuote(file.string()) +
        " -noout -subject -issuer -serial -enddate -nameopt oneline 2>/dev/null";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
    std::map<std::string, std::string> fields;
    if (!pipe) {
        return fields;
    }
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        output.append(buffer, got);
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            fields.emplace(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return fields;
}

// "Jan 28 12:00:00 2028 GMT", as the command prints notAfter; -1 when unreadable.
int64_t opensslDateToEpoch(const std::string& text) {
    std::tm broken{};
    std::istringstream in(text);
    in >> std::get_time(&broken, "%b %d %H:%M:%S %Y");
    if (in.fail()) {
        return -1;
    }
    // Days from the civil date in 64 bits: timegm would wrap after 2038 where
    // time_t is 32 bits.
    int64_t year = broken.tm_year + 1900;
    const int64_t month = broken.tm_mon + 1;
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + broken.tm_mday - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + broken.tm_hour * 3600 + broken.tm_min * 60 + broken.tm_sec;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return text;
}

}  // namespace

TEST(SystemCaCertificates, ParseAndReadAsTheOpensslCommandReadsThem) {
    if (!std::filesystem::is_directory(kMozillaDir)) {
        GTEST_SKIP() << kMozillaDir << " is missing (package ca-certificates)";
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(kMozillaDir)) {
        if (entry.path().extension() == ".crt") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 100u);

    std::vector<std::string> mismatches;
    auto differ = [&](const std::filesystem::path& file, const char* field, const std::string& ours,
                      const std::string& theirs) {
        if (ours != theirs) {
            mismatches.push_back(file.filename().string() + ": " + field + " is \"" + ours +
                                 "\", openssl prints \"" + theirs + "\"");
        }
    };
    for (const auto& file : files) {
        const Certificate certificate(file);
        if (!certificate.valid()) {
            mismatches.push_back(file.filename().string() + ": not valid");
            continue;
        }
        auto fields = opensslFields(file);
        if (fields.empty()) {
            mismatches.push_back(file.filename().string() +
                                 ": the openssl command printed nothing");
            continue;
        }
        differ(file, "subjectText", certificate.subjectText(), fields["subject"]);
        differ(file, "issuerText", certificate.issuerText(), fields["issuer"]);
        differ(file, "serial", upper(certificate.serialHexCompact()), fields["serial"]);
        differ(file, "notAfter", std::to_string(certificate.notAfter()),
               std::to_string(opensslDateToEpoch(fields["notAfter"])));
        if (certificate.chain().size() != 1 || !certificate.selfSigned() ||
            certificate.publicKey().keyType.empty()) {
            mismatches.push_back(file.filename().string() + ": not a self-signed root with a key");
        }
    }
    std::string report;
    for (const auto& m : mismatches) {
        report += m + "\n";
    }
    EXPECT_TRUE(mismatches.empty())
        << mismatches.size() << " of " << files.size() << " certificates differ:\n"
        << report;
}
