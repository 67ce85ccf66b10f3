// The store's details, generations, change reports, removal lookup by OCPP
// hash data and expiry warnings, over the real update tool in a sandbox.
#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "ev_common/system/utc_time.hpp"

#include "ca_store_sandbox.hpp"
#include "log_capture.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>

using namespace x509_test;
using ev_common::AddCertificateStatus;
using ev_common::Certificate;
using ev_common::CertificateChange;
using ev_common::CertificateEvent;
using ev_common::RemoveCertificateStatus;
using ev_common::SameName;
using spdlog::level::level_enum;

namespace {

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "20260102030405Z", the form the test PKI takes.
std::string asn1Time(std::int64_t seconds) {
    std::string text = ev_common::formatUtcTime(seconds);
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) { return c == '-' || c == ':' || c == 'T'; }),
               text.end());
    return text;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class StoreDetailsTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.setChangeObserver([this](const CertificateChange& c) { changes.push_back(c); });
        ASSERT_TRUE(store.init(sandbox.linuxDir(), sandbox.userDir(), ev_test::kUpdateTool,
                               "--fresh", sandbox.toolArguments()))
            << log.dump();
    }

    std::uint32_t add(const std::string& name, const std::string& pem) {
        std::uint32_t id = 0;
        EXPECT_EQ(store.addCertificate(Certificate(pem), name, id, SameName::replace),
                  AddCertificateStatus::success)
            << log.dump();
        return id;
    }

    std::optional<ev_common::CertificateDetailsEntry> named(const std::string& name) {
        for (auto& entry : store.getCertificateDetails().certificates) {
            if (entry.info.name == name) return entry;
        }
        return std::nullopt;
    }

    static std::string pem(CertProfile profile) { return toPem(makeCertificate(profile).get()); }

    ev_test::LogCapture log;
    ev_test::CaSandbox sandbox;
    ev_common::LinuxCaCertificateStore store;
    std::vector<CertificateChange> changes;
    KeyPtr rootKey = ecKey();
    KeyPtr otherKey = ecKey();
};

CertProfile rootProfile(EVP_PKEY* key) {
    CertProfile root;
    root.subject = {{"O", "Store Tests"}, {"CN", "Details Root"}};
    root.serial = {0x0a, 0xbc};
    root.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    root.subjectKey = key;
    return root;
}

CertProfile issuedBy(const CertProfile& issuer, EVP_PKEY* signingKey, EVP_PKEY* key) {
    CertProfile issued;
    issued.subject = {{"O", "Store Tests"}, {"CN", "Details Intermediate"}};
    issued.issuer = issuer.subject;
    issued.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    issued.subjectKey = key;
    issued.signingKey = signingKey;
    return issued;
}

}  // namespace

TEST_F(StoreDetailsTest, ReportsEveryChangeWithTheNextGenerationAndNothingForARefusal) {
    EXPECT_EQ(store.generation(), 0u);
    const auto initial = store.getCertificateDetails();
    EXPECT_EQ(initial.generation, 0u);
    ASSERT_EQ(initial.certificates.size(), 3u);
    EXPECT_TRUE(changes.empty()) << "the start-up scan is no change";

    const std::string first = pem(rootProfile(rootKey.get()));
    const std::uint32_t added = add("mine", first);
    const std::uint32_t replacement = add("mine", pem(rootProfile(otherKey.get())));
    std::uint32_t unused = 0;
    EXPECT_EQ(store.addCertificate(Certificate(first), "bad name", unused, SameName::replace),
              AddCertificateStatus::invalid_name);
    EXPECT_EQ(store.removeCertificate(initial.certificates[0].info.id),
              RemoveCertificateStatus::built_in);
    EXPECT_EQ(store.generation(), 2u);
    const auto replaced = named("mine");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(store.removeCertificate(replacement), RemoveCertificateStatus::success);

    ASSERT_EQ(changes.size(), 3u);
    const Certificate parsed(first);
    EXPECT_EQ(changes[0].event, CertificateEvent::added);
    EXPECT_EQ(changes[0].generation, 1u);
    EXPECT_EQ(changes[0].id, added);
    EXPECT_EQ(changes[0].name, "mine");
    EXPECT_EQ(changes[0].sha256, ev_common::describeCertificate(parsed).sha256);
    EXPECT_EQ(changes[0].notAfter, parsed.notAfter());
    EXPECT_EQ(changes[1].event, CertificateEvent::replaced);
    EXPECT_EQ(changes[1].generation, 2u);
    EXPECT_EQ(changes[1].id, replacement);
    EXPECT_EQ(changes[1].sha256, replaced->details.sha256);
    EXPECT_NE(changes[1].sha256, changes[0].sha256);
    EXPECT_EQ(changes[2].event, CertificateEvent::removed);
    EXPECT_EQ(changes[2].generation, 3u);
    EXPECT_EQ(changes[2].id, replacement);
    EXPECT_EQ(store.getCertificateDetails().generation, 3u);
    EXPECT_STREQ(ev_common::toString(CertificateEvent::expiring), "expiring");
}

TEST_F(StoreDetailsTest, FindsTheIssuerOfACertificateWhenItArrivesAndForgetsItWhenItLeaves) {
    const CertProfile root = rootProfile(rootKey.get());
    const std::string intermediatePem = pem(issuedBy(root, rootKey.get(), otherKey.get()));
    const Certificate intermediate(intermediatePem);
    add("inter", intermediatePem);
    ASSERT_TRUE(named("inter"));
    EXPECT_TRUE(named("inter")->details.ocpp.empty()) << "its issuer is not in the store yet";

    const std::string rootPem = pem(root);
    add("root", rootPem);
    const auto expected =
        ev_common::ocppHashData(intermediate, ev_common::issuerIdentity(Certificate(rootPem)));
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(named("inter")->details.ocpp.at(2).issuerKeyHash, expected[2].issuerKeyHash);
    EXPECT_EQ(named("root")->details.ocpp.at(0).issuerKeyHash,
              ev_common::ocppHashData(Certificate(rootPem),
                                      ev_common::issuerIdentity(Certificate(rootPem)))[0]
                  .issuerKeyHash);

    // Same name, another key: the intermediate's signature is not its.
    add("root", pem(rootProfile(otherKey.get())));
    EXPECT_TRUE(named("inter")->details.ocpp.empty());
    add("root", rootPem);
    EXPECT_EQ(named("inter")->details.ocpp.size(), 3u);
    ASSERT_EQ(store.removeCertificate(named("root")->info.id), RemoveCertificateStatus::success);
    EXPECT_TRUE(named("inter")->details.ocpp.empty());
}

TEST_F(StoreDetailsTest, FindsACertificateByItsHashDataRegardlessOfCaseAndLeadingZeros) {
    const std::uint32_t id = add("root", pem(rootProfile(rootKey.get())));
    const auto ocpp = named("root")->details.ocpp;
    ASSERT_EQ(ocpp.size(), 3u);
    for (const auto& data : ocpp) {
        SCOPED_TRACE(data.hashAlgorithm);
        EXPECT_EQ(data.serialNumber, "abc");
        EXPECT_EQ(store.findCertificateByHashData(data), id);
        ev_common::OcppHashData shouted{upper(data.hashAlgorithm), upper(data.issuerNameHash),
                                        upper(data.issuerKeyHash), "000ABC"};
        EXPECT_EQ(store.findCertificateByHashData(shouted), id);
        ev_common::OcppHashData cut = data;
        cut.issuerKeyHash.pop_back();
        EXPECT_EQ(store.findCertificateByHashData(cut), std::nullopt);
        ev_common::OcppHashData notHex = data;
        notHex.issuerNameHash.back() = 'g';
        EXPECT_EQ(store.findCertificateByHashData(notHex), std::nullopt);
    }
    ev_common::OcppHashData lower = ocpp[1];
    lower.hashAlgorithm = "sha384";
    EXPECT_EQ(store.findCertificateByHashData(lower), id);
    ev_common::OcppHashData md5 = ocpp[0];
    md5.hashAlgorithm = "MD5";
    EXPECT_EQ(store.findCertificateByHashData(md5), std::nullopt);
    EXPECT_TRUE(log.has(level_enum::warn, "[ca-store] Unknown hash algorithm : MD5"));

    // A built-in is found too; a user copy of it comes first.
    const auto builtIn = store.getCertificateDetails().certificates.front();
    ASSERT_TRUE(builtIn.info.isBuiltIn);
    ASSERT_EQ(builtIn.details.ocpp.size(), 3u) << "built-ins are self-signed roots";
    EXPECT_EQ(store.findCertificateByHashData(builtIn.details.ocpp[0]), builtIn.info.id);
    const std::uint32_t copy = add("copy", ev_test::readFile(ev_test::kSystemCaFiles / "mozilla" /
                                                             (builtIn.info.name + ".crt")));
    EXPECT_EQ(store.findCertificateByHashData(builtIn.details.ocpp[0]), copy);
}

TEST_F(StoreDetailsTest, WarnsAboutCertificatesThatExpireWithinTheWindowOrHaveExpired) {
    const std::int64_t now = nowSeconds();
    const auto make = [&](const std::string& name, std::int64_t notAfter) {
        CertProfile profile = rootProfile(rootKey.get());
        profile.subject = {{"CN", name}};
        profile.notBefore = asn1Time(now - 30 * 86400);
        profile.notAfter = asn1Time(notAfter);
        const std::string text = pem(profile);
        return std::make_pair(add(name, text), Certificate(text).notAfter());
    };
    const auto [tomorrow, tomorrowEnd] = make("tomorrow", now + 86400);
    make("next_year", now + 365 * 86400);
    const auto [expired, expiredEnd] = make("expired", now - 86400);
    changes.clear();

    store.checkExpiry(now, 30 * 86400);
    EXPECT_TRUE(log.has(level_enum::warn, "[ca-store] Certificate tomorrow (id " +
                                              std::to_string(tomorrow) + ") expires on " +
                                              ev_common::formatUtcTime(tomorrowEnd)))
        << log.dump();
    EXPECT_TRUE(log.has(level_enum::warn, "[ca-store] Certificate expired (id " +
                                              std::to_string(expired) + ") expired on " +
                                              ev_common::formatUtcTime(expiredEnd)));
    EXPECT_EQ(log.dump().find("[ca-store] Certificate next_year"), std::string::npos);
    std::vector<std::pair<std::string, CertificateEvent>> ours;
    for (const auto& change : changes) {
        EXPECT_EQ(change.generation, 3u) << "an end of validity is no change";
        if (change.name != "tomorrow" && change.name != "next_year" && change.name != "expired")
            continue;
        ours.emplace_back(change.name, change.event);
    }
    EXPECT_EQ(ours, (std::vector<std::pair<std::string, CertificateEvent>>{
                        {"tomorrow", CertificateEvent::expiring},
                        {"expired", CertificateEvent::expired}}));
}
