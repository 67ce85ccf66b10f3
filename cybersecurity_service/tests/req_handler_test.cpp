#include "req_handler.hpp"

#include "daemon_harness.hpp"
#include "log_capture.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
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
    ev_common::SameName addedSameName = ev_common::SameName::refuse;
    std::vector<std::uint32_t> removedIds;

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
    std::optional<ev_common::CertificateInfo> findCertificateInfo(std::uint32_t id) override {
        for (const auto& e : entries) {
            if (e.id == id) return e;
        }
        return std::nullopt;
    }
    bool holdsUserCertificate(const std::string& name) override {
        return std::any_of(entries.begin(), entries.end(),
                           [&](const auto& e) { return !e.isBuiltIn && e.name == name; });
    }
    AddCertificateStatus addCertificate(const ev_common::Certificate&, const std::string& name,
                                        std::uint32_t& id, ev_common::SameName sameName,
                                        bool* replacing) override {
        addedName = name;
        addedSameName = sameName;
        if (replacing != nullptr) {
            *replacing = holdsUserCertificate(name);
        }
        if (addStatus == AddCertificateStatus::success) id = 42;
        return addStatus;
    }
    RemoveCertificateStatus removeCertificate(std::uint32_t id) override {
        removedIds.push_back(id);
        return removeStatus;
    }
    RemoveCertificateStatus stageRemoval(const std::vector<std::uint32_t>& ids) override {
        stagedIds = ids;
        return removeStatus;
    }
    void commitRemoval() override {
        removedIds.insert(removedIds.end(), stagedIds.begin(), stagedIds.end());
    }
    bool rollBackRemoval() override {
        ++rollBacks;
        return true;
    }
    std::vector<std::uint32_t> stagedIds;
    int rollBacks = 0;

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
    std::vector<std::uint32_t> findCertificatesByHashData(
        const ev_common::OcppHashData& data) override {
        std::vector<std::uint32_t> found;
        if (const auto id = findCertificateByHashData(data)) found.push_back(*id);
        return found;
    }
};

// In-process calls act on this process's own behalf.
const requester in_process = requester::this_process();

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
    EXPECT_EQ(handler.add_ca_certificate(in_process, pem, "root_1", id),
              AddCertificateStatus::success);
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(store.addedName, "root_1");
    EXPECT_EQ(store.addedSameName, ev_common::SameName::replace);
    EXPECT_TRUE(capture.has(spdlog::level::info, "Certificate addition in TrustList : id=42 CN=" +
                                                     parsed.subject().commonName));

    store.addStatus = AddCertificateStatus::invalid_cert;
    id = 0;
    EXPECT_EQ(handler.add_ca_certificate(in_process, "not a certificate", "x", id),
              AddCertificateStatus::invalid_cert);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error adding certificate CN= in TrustList, status=invalid_cert"));

    store.addStatus = static_cast<AddCertificateStatus>(7);
    handler.add_ca_certificate(in_process, pem, "x", id);
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

    EXPECT_EQ(handler.remove_ca_certificate(in_process, 4000000000u),
              RemoveCertificateStatus::success);
    EXPECT_TRUE(
        capture.has(spdlog::level::info, "Certificate id=4000000000 removed from TrustList"));
    store.removeStatus = RemoveCertificateStatus::built_in;
    EXPECT_EQ(handler.remove_ca_certificate(in_process, 3), RemoveCertificateStatus::built_in);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error removing certificate id=3 from TrustList. status = built_in"));

    auto list = handler.get_ca_certificates(in_process);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].id, 9u);
    EXPECT_EQ(list[1].name, "mine");
    EXPECT_FALSE(list[1].built_in);
    EXPECT_EQ(list[1].subject, "CN = B");
    EXPECT_EQ(list[1].not_after, -5);
    EXPECT_TRUE(list[1].additional_text.empty() && list[1].additional_data.empty());

    if (!pem.empty()) {
        EXPECT_EQ(handler.get_ca_certificate_by_id(in_process, 9), pem);
        EXPECT_EQ(handler.get_ca_certificate_by_name(in_process, "mine"), pem);
    }
    EXPECT_EQ(handler.get_ca_certificate_by_id(in_process, 5), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of id 5"));
    EXPECT_EQ(handler.get_ca_certificate_by_name(in_process, "none"), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of name none"));

    // A client's name is quoted up to 256 bytes, then only its size.
    EXPECT_EQ(handler.get_ca_certificate_by_name(in_process, std::string(1048576, 'n')), "");
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error: cannot retrieve certificate of name " +
                                                    std::string(256, 'n') + "… (1048576 bytes)"));
}

TEST(RequestOperations, ChangesOnlyForAdmittedCallersAndAuditsEveryChangeCarriedOutOrRefused) {
    const std::string pem = realPem();
    if (pem.empty()) GTEST_SKIP() << "no system CA certificates";
    const ev_common::Certificate parsed(pem);
    const std::string fingerprint = parsed.sha256Fingerprint();
    ASSERT_EQ(fingerprint.size(), 64u);
    FakeStore store;
    store.entries = {{3, "builtin_a", true, "CN = A", 100}, {9, "mine", false, "CN = B", 100}};
    store.texts[9] = pem;
    // Group 50 is the admin group; the user database knows nobody.
    cybersecurity_req_handler handler(
        "cybersecurity_service", &store,
        access_policy({50}, [](uid_t) { return std::vector<gid_t>{}; }));
    ev_test::LogCapture capture;
    const caller_credentials alice = ev_common::PeerCredentials{1000, 1000, 77};
    const caller_credentials admin = ev_common::PeerCredentials{1001, 50, 78};
    const std::string cn = parsed.subject().commonName;

    // Refused: the store is neither asked to add nor to remove.
    std::uint32_t id = 0;
    EXPECT_EQ(handler.add_ca_certificate(requester::client(alice), pem, "mine", id),
              AddCertificateStatus::not_authorized);
    EXPECT_EQ(handler.remove_ca_certificate(requester::client(alice), 9),
              RemoveCertificateStatus::not_authorized);
    EXPECT_EQ(handler.remove_ca_certificate(requester::client(std::nullopt), 9),
              RemoveCertificateStatus::not_authorized);
    EXPECT_EQ(store.addedName, "");
    EXPECT_TRUE(store.removedIds.empty());
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(capture.has(spdlog::level::err, "Error adding certificate CN=" + cn +
                                                    " in TrustList, status=not_authorized"));
    EXPECT_TRUE(
        capture.has(spdlog::level::err,
                    "Error removing certificate id=9 from TrustList. status = not_authorized"));
    EXPECT_TRUE(capture.has(spdlog::level::warn,
                            "[audit] operation=replace name=mine id=- sha256=" + fingerprint +
                                " uid=1000 gid=1000 pid=77 result=not_authorized"));
    EXPECT_TRUE(capture.has(spdlog::level::warn,
                            "[audit] operation=remove name=mine id=9 sha256=" + fingerprint +
                                " uid=1000 gid=1000 pid=77 result=not_authorized"));
    EXPECT_TRUE(capture.has(spdlog::level::warn,
                            "[audit] operation=remove name=mine id=9 sha256=" + fingerprint +
                                " uid=unknown gid=unknown pid=unknown result=not_authorized"));

    // Admitted by the connection's gid: carried out, audited at info.
    EXPECT_EQ(handler.add_ca_certificate(requester::client(admin), pem, "new_ca", id),
              AddCertificateStatus::success);
    EXPECT_EQ(store.addedName, "new_ca");
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "[audit] operation=add name=new_ca id=42 sha256=" + fingerprint +
                                " uid=1001 gid=50 pid=78 result=success"));
    EXPECT_EQ(handler.remove_ca_certificate(requester::client(admin), 9),
              RemoveCertificateStatus::success);
    EXPECT_EQ(store.removedIds, std::vector<std::uint32_t>{9});
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "[audit] operation=remove name=mine id=9 sha256=" + fingerprint +
                                " uid=1001 gid=50 pid=78 result=success"));

    // The store's refusals are audited too, "-" for what is not there.
    const caller_credentials root = ev_common::PeerCredentials{0, 0, 5};
    store.addStatus = AddCertificateStatus::invalid_cert;
    EXPECT_EQ(handler.add_ca_certificate(requester::client(root), "not a certificate", "x", id),
              AddCertificateStatus::invalid_cert);
    EXPECT_TRUE(capture.has(spdlog::level::warn,
                            "[audit] operation=add name=x id=- sha256=- uid=0 gid=0 pid=5 "
                            "result=invalid_cert"));
    store.removeStatus = RemoveCertificateStatus::unknown_id;
    EXPECT_EQ(handler.remove_ca_certificate(requester::client(root), 5),
              RemoveCertificateStatus::unknown_id);
    EXPECT_TRUE(capture.has(spdlog::level::warn,
                            "[audit] operation=remove name=- id=5 sha256=- uid=0 gid=0 pid=5 "
                            "result=unknown_id"));

    // In-process calls act for this process, whoever it runs as.
    store.removeStatus = RemoveCertificateStatus::success;
    EXPECT_EQ(handler.remove_ca_certificate(in_process, 9), RemoveCertificateStatus::success);
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "[audit] operation=remove name=mine id=9 sha256=" + fingerprint +
                                " uid=" + std::to_string(::geteuid()) +
                                " gid=" + std::to_string(::getegid()) +
                                " pid=" + std::to_string(::getpid()) + " result=success"));
}

TEST(RequestOperations, DetailsAreOneJsonObjectWithEveryKeyInOrderMadeOncePerGeneration) {
    FakeStore store;
    ev_common::CertificateDetailsEntry root;
    root.info = {3, "root", true, "CN = Root", 0};
    root.details.issuer = "CN = Root";
    root.details.serial = "abc";
    root.details.notBefore = INT64_C(-631152000);
    root.details.notAfter = INT64_C(7258118400);
    root.details.sha256 = "00ff";
    root.details.isCa = true;
    root.details.selfSigned = true;
    for (const char* algorithm : {"SHA256", "SHA384", "SHA512"}) {
        root.details.ocpp.push_back({algorithm, "aa", "bb", "abc"});
    }
    ev_common::CertificateDetailsEntry odd;
    odd.info = {9, "odd", false, std::string("CN = \"q\\\xff"), 0};
    odd.details.issuer = "CN = Elsewhere";
    store.details = {root, odd};
    store.generationValue = 7;
    cybersecurity_req_handler handler("cybersecurity_service", &store);

    const auto text = handler.get_ca_certificate_details(in_process);
    ASSERT_NE(text, nullptr);
    const auto json = nlohmann::ordered_json::parse(*text);
    EXPECT_EQ(json["generation"], 7);
    ASSERT_EQ(json["certificates"].size(), 2u);
    const auto& first = json["certificates"][0];
    std::vector<std::string> keys;
    for (const auto& item : first.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "domain", "name", "built_in", "subject",
                                              "issuer", "serial", "not_before", "not_after",
                                              "not_before_epoch", "not_after_epoch", "sha256",
                                              "is_ca", "self_signed", "ocpp"}));
    EXPECT_EQ(first["id"], 3);
    EXPECT_EQ(first["domain"], "system");
    EXPECT_EQ(first["built_in"], true);
    EXPECT_EQ(first["issuer"], "CN = Root");
    EXPECT_EQ(first["not_before"], "1950-01-01T00:00:00Z");
    EXPECT_EQ(first["not_after"], "2200-01-01T00:00:00Z");
    EXPECT_EQ(first["not_before_epoch"], INT64_C(-631152000));
    EXPECT_EQ(first["not_after_epoch"], INT64_C(7258118400));
    EXPECT_EQ(first["ocpp"].size(), 3u);
    EXPECT_EQ(first["ocpp"][1],
              nlohmann::ordered_json::parse(R"({"hash_algorithm": "SHA384", "issuer_name_hash": )"
                                            R"("aa", "issuer_key_hash": "bb", )"
                                            R"("serial_number": "abc"})"));
    const auto& second = json["certificates"][1];
    EXPECT_TRUE(second["ocpp"].is_null());
    EXPECT_EQ(second["subject"], "CN = \"q\\\xEF\xBF\xBD") << "invalid UTF-8 is replaced";

    EXPECT_EQ(handler.get_ca_certificate_details(in_process), text);
    EXPECT_EQ(store.detailCalls, 1);
    store.generationValue = 8;
    EXPECT_NE(handler.get_ca_certificate_details(in_process), text);
    EXPECT_EQ(store.detailCalls, 2);
}

TEST(RequestOperations, RemovalByHashRemovesWhatTheHashDataNameOrAnswersUnknownId) {
    FakeStore store;
    cybersecurity_req_handler handler("cybersecurity_service", &store);
    ev_test::LogCapture capture;
    const certificate_hash_data data{"SHA512", "AB", "cd", "0012"};

    store.hashMatch = 12;
    EXPECT_EQ(handler.remove_ca_certificate_by_hash(in_process, data),
              RemoveCertificateStatus::success);
    EXPECT_EQ(store.wanted.hashAlgorithm, "SHA512");
    EXPECT_EQ(store.wanted.issuerNameHash, "AB");
    EXPECT_EQ(store.wanted.issuerKeyHash, "cd");
    EXPECT_EQ(store.wanted.serialNumber, "0012");
    EXPECT_TRUE(capture.has(spdlog::level::info, "Certificate id=12 removed from TrustList"));

    store.removeStatus = RemoveCertificateStatus::built_in;
    EXPECT_EQ(handler.remove_ca_certificate_by_hash(in_process, data),
              RemoveCertificateStatus::built_in);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error removing certificate id=12 from TrustList. status = built_in"));

    store.hashMatch.reset();
    EXPECT_EQ(handler.remove_ca_certificate_by_hash(in_process, data),
              RemoveCertificateStatus::unknown_id);
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Error removing certificate hash_algorithm=SHA512 issuer_name_hash=AB "
                            "issuer_key_hash=cd serial_number=0012 from TrustList. status = "
                            "unknown_id"));
}

TEST(RequestOperations, TrustDomainsTakeTheirAdditionsAndShareRemovalsDetailsAndTheAuditTrail) {
    const std::string pem = realPem();
    if (pem.empty()) GTEST_SKIP() << "no system CA certificates";
    const ev_common::Certificate parsed(pem);
    const std::string cn = parsed.subject().commonName;
    FakeStore system;
    system.entries = {{3, "builtin_a", true, "CN = A", 100}};
    system.details = {{system.entries[0], {}, "", "", ""}};
    FakeStore csms;
    csms.entries = {{50, "csms_root", false, "CN = C", 100}};
    csms.texts[50] = pem;
    csms.details = {{csms.entries[0], {}, "", "", ""}};
    cybersecurity_req_handler handler("cybersecurity_service", &system);
    handler.add_domain("csms", &csms);
    ev_test::LogCapture capture;

    std::uint32_t id = 0;
    EXPECT_EQ(handler.add_ca_certificate_to_domain(in_process, "csms", pem, "root", id),
              AddCertificateStatus::success);
    EXPECT_EQ(csms.addedName, "root");
    EXPECT_EQ(system.addedName, "");
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "Certificate addition in TrustList of domain csms : id=42 CN=" + cn));
    const std::string self = " uid=" + std::to_string(::geteuid()) +
                             " gid=" + std::to_string(::getegid()) +
                             " pid=" + std::to_string(::getpid()) + " result=success";
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "[audit] operation=add domain=csms name=root id=42 sha256=" +
                                parsed.sha256Fingerprint() + self));

    // "system" is the operating system's store, with its lines of always.
    EXPECT_EQ(handler.add_ca_certificate_to_domain(in_process, "system", pem, "sys", id),
              AddCertificateStatus::success);
    EXPECT_EQ(system.addedName, "sys");
    EXPECT_TRUE(
        capture.has(spdlog::level::info, "Certificate addition in TrustList : id=42 CN=" + cn));

    // An unknown domain reaches no store; a caller who may not change the
    // stores is not told that it is unknown.
    csms.addedName.clear();
    system.addedName.clear();
    EXPECT_EQ(handler.add_ca_certificate_to_domain(in_process, "v2g", pem, "root", id),
              AddCertificateStatus::invalid_name);
    EXPECT_TRUE(capture.has(spdlog::level::warn, "Unknown trust domain : v2g"));
    EXPECT_TRUE(capture.has(
        spdlog::level::err,
        "Error adding certificate CN=" + cn + " in TrustList of domain v2g, status=invalid_name"));
    const caller_credentials alice = ev_common::PeerCredentials{1000, 1000, 77};
    EXPECT_EQ(handler.add_ca_certificate_to_domain(requester::client(alice), "mo", pem, "root", id),
              AddCertificateStatus::not_authorized);
    EXPECT_FALSE(capture.has("Unknown trust domain : mo"));
    EXPECT_EQ(
        handler.add_ca_certificate_to_domain(requester::client(alice), "csms", pem, "root", id),
        AddCertificateStatus::not_authorized);
    EXPECT_EQ(csms.addedName, "");
    EXPECT_EQ(system.addedName, "");

    // A removal finds the domain that holds the identifier; an identifier no
    // domain holds goes to the system store, which refuses it.
    EXPECT_EQ(handler.remove_ca_certificate(in_process, 50), RemoveCertificateStatus::success);
    EXPECT_EQ(csms.removedIds, std::vector<std::uint32_t>{50});
    EXPECT_TRUE(capture.has(spdlog::level::info,
                            "[audit] operation=remove domain=csms name=csms_root id=50 sha256=" +
                                parsed.sha256Fingerprint() + self));
    handler.remove_ca_certificate(in_process, 77);
    EXPECT_EQ(system.removedIds, std::vector<std::uint32_t>{77});
    EXPECT_EQ(csms.removedIds.size(), 1u);

    // The details list the system store first, then the domains in order.
    const auto json = nlohmann::json::parse(*handler.get_ca_certificate_details(in_process));
    ASSERT_EQ(json["certificates"].size(), 2u);
    EXPECT_EQ(json["certificates"][0]["domain"], "system");
    EXPECT_EQ(json["certificates"][0]["id"], 3);
    EXPECT_EQ(json["certificates"][1]["domain"], "csms");
    EXPECT_EQ(json["certificates"][1]["id"], 50);
}

TEST(RequestOperations, DomainNamesAreLowerCaseWordsOfTheirOwn) {
    for (const std::string good : {"csms", "v2g", "mo", "oem", "manufacturer", "a-b_0", "system"}) {
        EXPECT_TRUE(is_domain_name(good)) << good;
    }
    for (const std::string& bad :
         {std::string(), std::string("CSMS"), std::string("v2g.pem"), std::string("a/b"),
          std::string(".."), std::string("a b"), std::string("é"), std::string(1, '\0')}) {
        EXPECT_FALSE(is_domain_name(bad)) << bad;
    }
}
