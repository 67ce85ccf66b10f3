// Certificate details, removal by OCPP hash data, change events and the
// expiry warnings of the real daemon. The details of the machine's whole CA
// set and of certificates issued here are compared, key by key, with what the
// openssl command reads from the same files.
#include "daemon_harness.hpp"
#include "ev_common/ipc/zmq_subscriber.hpp"
#include "ev_common/system/utc_time.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

using namespace ev_e2e;
using namespace x509_test;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kEvents = "ipc:///run/cybersecurity_service/events.api";

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

std::string request(std::uint32_t operation, const std::string& parameters = {}) {
    return str("e2e") + u32(operation) + parameters;
}

json details(RawClient& client) {
    const auto reply = client.exchange(request(5));
    if (!reply || reply->size() < 4) return json();
    Reader in{*reply};
    const std::string text = in.str();
    EXPECT_TRUE(in.atEnd());
    return json::parse(text);
}

std::uint32_t add(RawClient& client, const std::string& pem, const std::string& name) {
    const auto reply = client.exchange(request(0, str(pem) + str(name)), std::chrono::minutes(3));
    EXPECT_TRUE(reply && reply->size() == 8) << name;
    if (!reply || reply->size() != 8) return 0;
    Reader in{*reply};
    EXPECT_EQ(in.u32(), 0u) << name;
    return in.u32();
}

std::uint32_t removeByHash(RawClient& client, const std::string& algorithm,
                           const std::string& nameHash, const std::string& keyHash,
                           const std::string& serial) {
    const auto reply =
        client.exchange(request(6, str(algorithm) + str(nameHash) + str(keyHash) + str(serial)));
    EXPECT_TRUE(reply && reply->size() == 4);
    return reply && reply->size() == 4 ? Reader{*reply}.u32() : ~0u;
}

const json* named(const json& all, const std::string& name) {
    for (const auto& entry : all["certificates"]) {
        if (entry["name"] == name) return &entry;
    }
    return nullptr;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string run(const std::string& command) {
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    if (!pipe) return output;
    std::array<char, 4096> buffer{};
    for (std::size_t got; (got = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
        output.append(buffer.data(), got);
    }
    return output;
}

std::string digestHex(const EVP_MD* md, const std::vector<std::uint8_t>& bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// "Jan  1 00:00:00 1950 GMT" as ISO 8601 text and as seconds since 1970,
// both worked out here from the openssl text.
std::pair<std::string, std::int64_t> opensslDate(const std::string& text) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::istringstream in(text);
    std::string month;
    int day = 0;
    int hour = 0, minute = 0, second = 0;
    std::int64_t year = 0;
    char colon = 0;
    in >> month >> day >> hour >> colon >> minute >> colon >> second >> year;
    const int monthNumber = static_cast<int>(months.find(month) / 3 + 1);
    char iso[32];
    std::snprintf(iso, sizeof iso, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(year),
                  monthNumber, day, hour, minute, second);
    std::int64_t y = year - (monthNumber <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear =
        (153 * (monthNumber + (monthNumber > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t days =
        era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
    return {iso, days * 86400 + hour * 3600 + minute * 60 + second};
}

// What the openssl command reads from one certificate file.
struct OpensslView {
    std::map<std::string, std::string> fields;  // serial, sha256 Fingerprint, notBefore, ...
    bool isCa = false;
    std::vector<std::uint8_t> issuerName;  // DER of the issuer Name
    std::vector<std::uint8_t> subjectName;
    std::vector<std::uint8_t> keyBits;  // subjectPublicKey BIT STRING value
};

OpensslView opensslView(const fs::path& file, const fs::path& scratch) {
    const std::string in = shellQuote(file.string());
    const std::string der = shellQuote(scratch.string());
    const std::string output =
        run("openssl x509 -in " + in +
            " -noout -serial -fingerprint -sha256 -dates -subject -issuer -nameopt oneline"
            " -ext basicConstraints && openssl x509 -in " +
            in + " -outform DER -out " + der + " && openssl asn1parse -inform DER -in " + der);
    std::ifstream derFile(scratch, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(derFile)), {});

    OpensslView view;
    struct Item {
        std::size_t offset, depth, header, length;
        std::string what;
    };
    std::vector<Item> items;
    static const std::regex asn1(R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+\w+:\s*(.*)$)");
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, asn1)) {
            items.push_back(
                {std::stoul(m[1]), std::stoul(m[2]), std::stoul(m[3]), std::stoul(m[4]), m[5]});
        } else if (line.find("CA:TRUE") != std::string::npos) {
            view.isCa = true;
        } else if (const auto eq = line.find('='); eq != std::string::npos && items.empty()) {
            view.fields.emplace(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    // The fields of the TBSCertificate (depth 2) in order, after the version.
    std::vector<Item> tbs;
    for (const Item& item : items) {
        if (item.depth == 2 && item.what.rfind("cont [ 0 ]", 0) != 0) tbs.push_back(item);
    }
    const auto slice = [&](const Item& item, std::size_t skip) {
        const std::size_t from = item.offset + item.header + skip;
        const std::size_t to = item.offset + item.header + item.length;
        return to <= bytes.size()
                   ? std::vector<std::uint8_t>(bytes.begin() + from, bytes.begin() + to)
                   : std::vector<std::uint8_t>();
    };
    const auto whole = [&](const Item& item) {
        auto content = slice(item, 0);
        content.insert(content.begin(), bytes.begin() + item.offset,
                       bytes.begin() + item.offset + item.header);
        return content;
    };
    if (tbs.size() >= 6) {
        view.issuerName = whole(tbs[2]);
        view.subjectName = whole(tbs[4]);
        for (const Item& item : items) {
            if (item.offset > tbs[5].offset && item.depth == 3 &&
                item.what.rfind("BIT STRING", 0) == 0) {
                view.keyBits = slice(item, 1);  // without the unused-bits octet
                break;
            }
        }
    }
    return view;
}

std::string serialOf(std::string text) {
    text = lower(text);
    const std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

class DetailsAndEvents : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    }

    void start(const SandboxOptions& options = {}) {
        sandbox_ = std::make_unique<Sandbox>(options);
        startDaemon();
    }
    void startDaemon() {
        daemon_ = std::make_unique<Daemon>(*sandbox_);
        ASSERT_TRUE(daemon_->waitReady()) << daemon_->output();
        client_ = std::make_unique<RawClient>();
    }

    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

}  // namespace

TEST_F(DetailsAndEvents, DetailsOfEveryCertificateAreWhatOpensslReads) {
    SandboxOptions whole;
    whole.builtins = 0;
    start(whole);

    KeyPtr rootKey = ecKey();
    KeyPtr otherKey = ecKey();
    CertProfile root;
    root.subject = {{"O", "E2E"}, {"CN", "E2E Root"}};
    root.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    root.subjectKey = rootKey.get();
    CertProfile intermediate;
    intermediate.subject = {{"O", "E2E"}, {"CN", "E2E Intermediate"}};
    intermediate.issuer = root.subject;
    intermediate.serial = {0x01, 0x02, 0x03};
    intermediate.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    intermediate.subjectKey = otherKey.get();
    intermediate.signingKey = rootKey.get();
    CertProfile leaf;
    leaf.subject = {{"CN", "E2E leaf of an absent CA"}};
    leaf.issuer = {{"CN", "Absent CA"}};
    leaf.serial = {0x00};
    leaf.notBefore = "19500601120000Z";
    leaf.notAfter = "21500101000000Z";
    leaf.subjectKey = otherKey.get();
    leaf.signingKey = otherKey.get();
    add(*client_, toPem(makeCertificate(intermediate).get()), "e2e_intermediate");
    add(*client_, toPem(makeCertificate(root).get()), "e2e_root");
    add(*client_, toPem(makeCertificate(leaf).get()), "e2e_leaf");

    const json all = details(*client_);
    ASSERT_TRUE(all.is_object()) << daemon_->output();
    EXPECT_EQ(all["generation"], 3);
    const auto& certificates = all["certificates"];
    ASSERT_EQ(certificates.size(), sandbox_->builtinNames().size() + 3);

    // The order and identities of the listing.
    const auto listing = client_->exchange(request(2)).value_or("");
    Reader in{listing};
    ASSERT_EQ(in.u32(), certificates.size());
    for (const auto& entry : certificates) {
        EXPECT_EQ(in.u32(), entry["id"].get<std::uint32_t>());
        EXPECT_EQ(in.str(), entry["name"]);
        EXPECT_EQ(in.boolean(), entry["built_in"]);
        EXPECT_EQ(in.str(), entry["subject"]);
        in.u32();
        in.str();
        in.str();
    }

    std::map<std::string, OpensslView> views;
    for (const auto& entry : certificates) {
        const std::string name = entry["name"];
        views[name] =
            opensslView(sandbox_->systemDir() / (name + ".pem"), sandbox_->root() / "scratch.der");
    }
    const std::vector<std::string> keys = {
        "id",     "domain",      "name",      "built_in",         "subject",         "issuer",
        "serial", "not_before",  "not_after", "not_before_epoch", "not_after_epoch", "sha256",
        "is_ca",  "self_signed", "ocpp"};
    const auto& builtins = sandbox_->builtinNames();
    for (const auto& entry : certificates) {
        const std::string name = entry["name"];
        SCOPED_TRACE(name);
        const OpensslView& view = views[name];
        ASSERT_FALSE(view.keyBits.empty());
        std::vector<std::string> present;
        for (const auto& item : entry.items()) present.push_back(item.key());
        std::sort(present.begin(), present.end());
        auto expectedKeys = keys;
        std::sort(expectedKeys.begin(), expectedKeys.end());
        EXPECT_EQ(present, expectedKeys);
        EXPECT_EQ(entry["domain"], "system");

        EXPECT_EQ(entry["built_in"],
                  std::find(builtins.begin(), builtins.end(), name) != builtins.end());
        EXPECT_EQ(entry["subject"], view.fields.at("subject"));
        EXPECT_EQ(entry["issuer"], view.fields.at("issuer"));
        EXPECT_EQ(entry["serial"], serialOf(view.fields.at("serial")));
        std::string fingerprint = view.fields.at("sha256 Fingerprint");
        fingerprint.erase(std::remove(fingerprint.begin(), fingerprint.end(), ':'),
                          fingerprint.end());
        EXPECT_EQ(entry["sha256"], lower(fingerprint));
        const auto [notBefore, notBeforeEpoch] = opensslDate(view.fields.at("notBefore"));
        const auto [notAfter, notAfterEpoch] = opensslDate(view.fields.at("notAfter"));
        EXPECT_EQ(entry["not_before"], notBefore);
        EXPECT_EQ(entry["not_after"], notAfter);
        EXPECT_EQ(entry["not_before_epoch"].get<std::int64_t>(), notBeforeEpoch);
        EXPECT_EQ(entry["not_after_epoch"].get<std::int64_t>(), notAfterEpoch);
        EXPECT_EQ(entry["is_ca"], view.isCa);
        EXPECT_EQ(entry["self_signed"], view.fields.at("subject") == view.fields.at("issuer"));

        // The issuer's key: its own for a self-issued certificate, else that
        // of the certificate of the set whose subject is this one's issuer.
        const OpensslView* issuer = nullptr;
        if (view.issuerName == view.subjectName) {
            issuer = &view;
        } else {
            for (const auto& [other, candidate] : views) {
                if (other != name && candidate.subjectName == view.issuerName) issuer = &candidate;
            }
        }
        if (issuer == nullptr) {
            EXPECT_TRUE(entry["ocpp"].is_null());
            continue;
        }
        ASSERT_EQ(entry["ocpp"].size(), 3u);
        const std::pair<const char*, const EVP_MD*> algorithms[] = {
            {"SHA256", EVP_sha256()}, {"SHA384", EVP_sha384()}, {"SHA512", EVP_sha512()}};
        for (std::size_t i = 0; i < 3; ++i) {
            const auto& data = entry["ocpp"][i];
            EXPECT_EQ(data["hash_algorithm"], algorithms[i].first);
            EXPECT_EQ(data["issuer_name_hash"], digestHex(algorithms[i].second, view.issuerName));
            EXPECT_EQ(data["issuer_key_hash"], digestHex(algorithms[i].second, issuer->keyBits));
            EXPECT_EQ(data["serial_number"], entry["serial"]);
        }
    }
    EXPECT_FALSE(named(all, "e2e_intermediate")->at("ocpp").is_null());
    EXPECT_TRUE(named(all, "e2e_leaf")->at("ocpp").is_null());
    EXPECT_EQ(named(all, "e2e_leaf")->at("not_before"), "1950-06-01T12:00:00Z");
    EXPECT_EQ(named(all, "e2e_leaf")->at("not_after"), "2150-01-01T00:00:00Z");
    EXPECT_EQ(named(all, "e2e_leaf")->at("serial"), "0");
    EXPECT_EQ(daemon_->stop(), 0);
}

TEST_F(DetailsAndEvents, RemovesByHashDataWithEachAlgorithmInUpperCase) {
    start();
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < 3; ++i) {
        ids.push_back(add(*client_, ev_test::readFile(sandbox_->spareCertificate(i)),
                          "spare_" + std::to_string(i)));
    }
    const json before = details(*client_);
    for (std::size_t i = 0; i < 3; ++i) {
        const json* entry = named(before, "spare_" + std::to_string(i));
        ASSERT_NE(entry, nullptr);
        const auto& data = entry->at("ocpp").at(i);
        SCOPED_TRACE(data["hash_algorithm"].get<std::string>());
        const std::string serial = "00" + upper(data["serial_number"]);
        EXPECT_EQ(removeByHash(*client_, data["hash_algorithm"], upper(data["issuer_name_hash"]),
                               upper(data["issuer_key_hash"]), serial),
                  0u)
            << daemon_->output();
        EXPECT_TRUE(daemon_->hasLine("[info] Certificate id=" + std::to_string(ids[i]) +
                                     " removed from TrustList"));
        EXPECT_EQ(named(details(*client_), "spare_" + std::to_string(i)), nullptr);
        EXPECT_EQ(removeByHash(*client_, data["hash_algorithm"], data["issuer_name_hash"],
                               data["issuer_key_hash"], data["serial_number"]),
                  1u);
    }

    const json* builtIn = &before["certificates"][0];
    const auto& data = builtIn->at("ocpp").at(0);
    EXPECT_EQ(removeByHash(*client_, "SHA256", data["issuer_name_hash"], data["issuer_key_hash"],
                           data["serial_number"]),
              2u);
    EXPECT_EQ(removeByHash(*client_, "MD5", data["issuer_name_hash"], data["issuer_key_hash"],
                           data["serial_number"]),
              1u);
    EXPECT_TRUE(daemon_->hasLine("[warning] [ca-store] Unknown hash algorithm : MD5"));
    EXPECT_EQ(client_->exchange(request(6, str("SHA256") + str("ab") + u32(9) + "cd")), "");
    EXPECT_TRUE(daemon_->hasLine(
        "[error] Unable to retrieve parameters for operation : remove_ca_certificate_by_hash"));
    EXPECT_EQ(daemon_->stop(), 0);
}

TEST_F(DetailsAndEvents, ASubscriberSeesOneEventPerChangeWithIncreasingGenerations) {
    start();
    ev_common::ZmqSubscriber events(kEvents);
    // A subscription takes a moment to reach the daemon: changes are made
    // until the first event arrives, which then counts as the starting point.
    const std::string probe = ev_test::readFile(sandbox_->spareCertificate(0));
    std::optional<json> first;
    for (int attempt = 0; attempt < 10 && !first; ++attempt) {
        add(*client_, probe, "probe");
        if (auto text = events.receive(std::chrono::seconds(5))) first = json::parse(*text);
    }
    ASSERT_TRUE(first.has_value()) << daemon_->output();
    std::uint64_t generation = (*first)["generation"];
    EXPECT_EQ(details(*client_)["generation"], generation);

    const std::string text = ev_test::readFile(sandbox_->spareCertificate(1));
    const std::uint32_t added = add(*client_, text, "watched");
    const std::uint32_t replaced = add(*client_, text, "watched");
    const json listed = details(*client_);
    const auto reply = client_->exchange(request(1, u32(replaced)));
    EXPECT_EQ(reply, u32(0));
    EXPECT_EQ(client_->exchange(request(1, u32(1))), u32(2)) << "a refusal changes nothing";

    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"added", added}, {"replaced", replaced}, {"removed", replaced}};
    for (const auto& [kind, id] : expected) {
        const auto event = events.receive(std::chrono::seconds(20));
        ASSERT_TRUE(event.has_value()) << kind;
        const json parsed = json::parse(*event);
        std::vector<std::string> keys;
        for (const auto& item : parsed.items()) keys.push_back(item.key());
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, (std::vector<std::string>{"domain", "event", "generation", "id", "name",
                                                  "not_after", "sha256", "store_id"}));
        EXPECT_EQ(parsed["store_id"], details(*client_)["store_id"]);
        EXPECT_EQ(parsed["domain"], "system");
        EXPECT_EQ(parsed["generation"], ++generation);
        EXPECT_EQ(parsed["event"], kind);
        EXPECT_EQ(parsed["id"], id);
        EXPECT_EQ(parsed["name"], "watched");
        EXPECT_EQ(parsed["sha256"], named(listed, "watched")->at("sha256"));
        EXPECT_EQ(parsed["not_after"], named(listed, "watched")->at("not_after"));
    }
    EXPECT_EQ(events.receive(std::chrono::milliseconds(500)), std::nullopt);
    EXPECT_EQ(details(*client_)["generation"], generation);
    EXPECT_EQ(daemon_->stop(), 0);
}

TEST_F(DetailsAndEvents, WarnsAtStartUpAboutWhatExpiresWithinTheWindowOrHasExpired) {
    sandbox_ = std::make_unique<Sandbox>();
    nlohmann::json parameters = nlohmann::json::parse(sandbox_->defaultParameters());
    parameters.push_back({{"name", "expiry_warning_days"}, {"type", "uint"}, {"default", 30}});
    parameters.push_back({{"name", "expiry_check_period"}, {"type", "hour"}, {"default", 24}});
    sandbox_->writeDescription(parameters.dump());

    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    KeyPtr key = ecKey();
    // "20260102030405Z", the form the test PKI takes.
    const auto asn1Time = [](std::int64_t seconds) {
        std::string text = ev_common::formatUtcTime(seconds);
        text.erase(std::remove_if(text.begin(), text.end(),
                                  [](char c) { return c == '-' || c == ':' || c == 'T'; }),
                   text.end());
        return text;
    };
    const auto write = [&](const std::string& name, std::int64_t days) {
        CertProfile profile;
        profile.subject = {{"CN", name}};
        profile.subjectKey = key.get();
        profile.notBefore = asn1Time(now - 30 * 86400);
        profile.notAfter = asn1Time(now + days * 86400);
        std::ofstream(sandbox_->userDir() / (name + ".crt"))
            << toPem(makeCertificate(profile).get());
    };
    write("tomorrow", 1);
    write("next_year", 365);
    write("yesterday", -1);
    startDaemon();

    const json all = details(*client_);
    for (const auto& [name, verb] :
         {std::pair<std::string, std::string>{"tomorrow", "expires"}, {"yesterday", "expired"}}) {
        const json* entry = named(all, name);
        ASSERT_NE(entry, nullptr) << daemon_->output();
        const std::string line = "[warning] [ca-store] Certificate " + name + " (id " +
                                 std::to_string(entry->at("id").get<std::uint32_t>()) + ") " +
                                 verb + " on " + entry->at("not_after").get<std::string>();
        EXPECT_TRUE(daemon_->waitForLine(line)) << line << "\n" << daemon_->output();
    }
    EXPECT_EQ(daemon_->output().find("Certificate next_year"), std::string::npos);
    EXPECT_EQ(daemon_->stop(), 0);
}
