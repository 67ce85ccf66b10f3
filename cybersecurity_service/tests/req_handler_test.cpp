#include "req_handler.hpp"

#include "daemon_harness.hpp"
#include "log_capture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

using namespace ev_charging_platform::cybersecurity;

namespace {

// A store whose answers the test sets, recording what it was asked.
class FakeStore : public ev_common::ICaCertificateStore {
public:
    std::vector<ev_common::CertificateInfo> entries;
    std::map<std::uint32_t, std::string> texts;
    AddCertificateStatus addStatus = AddCertificateStatus::success;
    RemoveCertificateStatus removeStatus = RemoveCertificateStatus::success;
    std::string addedName;
    bool addedReplace = false;

    std::vector<ev_common::CertificateInfo> getCertificates() override { return entries; }
    std::optional<ev_common::Certificate> getCertificate(std::uint32_t id) override {
        auto it = texts.find(id);
        if (it == texts.end()) return std::nullopt;
        return ev_common::Certificate(it->second);
    }
    std::optional<ev_common::Certificate> getCertificateByName(const std::string& name) override {
        for (auto& e : entries) {
            if (e.name == name) return getCertificate(e.id);
        }
        return std::nullopt;
    }
    std::optional<ev_common::CertificateInfo> getCertificateInfo(std::uint32_t) override {
        return std::nullopt;
    }
    AddCertificateStatus addCertificate(const ev_common::Certificate&, const std::string& name,
                                        std::uint32_t& id, bool replace) override {
        addedName = name;
        addedReplace = replace;
        if (addStatus == AddCertificateStatus::success) id = 42;
        return addStatus;
    }
    RemoveCertificateStatus removeCertificate(std::uint32_t) override { return removeStatus; }

    std::uint64_t generationValue = 0;
    std::vector<ev_common::CertificateDetailsEntry> details;
    std::optional<std::uint32_t> hashMatch;
    ev_common::OcppHashData wanted;
    int detailCalls = 0;

    std::uint64_t generation() override { return generationValue; }
    ev_common::CertificateDetailsListing getCertificateDetails() override {
        ++detailCalls;
        return {generationValue, details};
    }
    std::optional<std::uint32_t> findCertificateByHashData(
        const ev_common::OcppHashData& data) override {
        wanted = data;
        return hashMatch;
    }
};

std::string realPem() {
    auto files = ev_e2e::systemCaFiles();
    if (files.empty()) return {};
    std::ifstream in(files.front(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(RequestOperations, AdditionsAlwaysReplaceAndLogTheOutcomeWithTheCommonName) {
    const std::string pem = realPem();
    if (pem.empty()) GTEST_SKIP() << "no system CA certificates";
    const ev_common::Certificate parsed(pem);
    FakeStore store;
    cybersecurity_req_handler handler("cybersecurity_service", &store);
    ev_test::LogCapture capture;

    std::uint32_t id = 0;
    EXPECT_EQ(handler.add_ca_certificate(pem, "root_1", id), AddCertificateStatus::success);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(store.addedName, "root_1");
    EXPECT_TRUE(store.addedReplace);
    EXPECT_TRUE(capture.has(spdlog::level::info, "Certificate addition in TrustList : id=42 CN=" +
                                                     parsed.subject().commonName));

    store.addStatus = AddCertificateStatus::invalid_cert;
    id = 0;
    EXPECT_EQ(handler.add_ca_certificate("not a certificate", "x", id),
              AddCertificateStatus::invalid_cert);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error adding certificate CN= in TrustList, status=invalid_cert"));

    store.addStatus = static_cast<AddCertificateStatus>(7);
    handler.add_ca_certificate(pem, "x", id);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error adding certificate CN=" + parsed.subject().commonName +
                                " in TrustList, status=INVALID_ENUM_VALUE"));
}

TEST(RequestOperations, RemovalsAndLookupsReportWhatTheStoreSays) {
    const std::string pem = realPem();
    FakeStore store;
    store.entries = {{3, "builtin_a", true, "CN = A", 100}, {9, "mine", false, "CN = B", -5}};
    store.texts[9] = pem;
    cybersecurity_req_handler handler("cybersecurity_service", &store);
    ev_test::LogCapture capture;

    EXPECT_EQ(handler.remove_ca_certificate(4000000000u), RemoveCertificateStatus::success);
    EXPECT_TRUE(
        capture.has(spdlog::level::info, "Certificate id=4000000000 removed from TrustList"));
    store.removeStatus = RemoveCertificateStatus::built_in;
    EXPECT_EQ(handler.remove_ca_certificate(3), RemoveCertificateStatus::built_in);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error removing certificate id=3 from TrustList. status = built_in"));

    auto list = handler.get_ca_certificates();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].id, 9u);
    EXPECT_EQ(list[1].name, "mine");
    EXPECT_FALSE(list[1].built_in);
    EXPECT_EQ(list[1].subject, "CN = B");
    EXPECT_EQ(list[1].not_after, -5);
    EXPECT_TRUE(list[1].additional_text.empty() && list[1].additional_data.empty());

    if (!pem.empty()) {
        EXPECT_EQ(handler.get_ca_certificate_by_id(9), pem);
        EXPECT_EQ(handler.get_ca_certificate_by_name("mine"), pem);
    }
    EXPECT_EQ(handler.get_ca_certificate_by_id(5), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of id 5"));
    EXPECT_EQ(handler.get_ca_certificate_by_name("none"), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of name none"));

    // A client's name is quoted up to 256 bytes, then only its size.
    EXPECT_EQ(handler.get_ca_certificate_by_name(std::string(1048576, 'n')), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of name " +
                                                    std::string(256, 'n') + "… (1048576 bytes)"));
}
