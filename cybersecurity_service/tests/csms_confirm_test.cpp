// Operation 9 over a real csms store with roles: a caller who may not change
// the store changes no file, and an admin's confirmation of the active root
// removes the fallback, audited as a removal. (The other outcomes:
// tests/e2e/csms_rotation_test.cpp.) And the events' profile and role keys.
#include "certificate_json.hpp"
#include "req_handler.hpp"

#include "folder_snapshot.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "test_chain.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace cyber = ev_charging_platform::cybersecurity;
namespace fs = std::filesystem;
using x509_test::issueParty;
using x509_test::Party;

TEST(CsmsConfirm, OnlyAnAdminsConfirmationRemovesTheFallbackAndBothAreAudited) {
    ev_test::TempDir dir;
    ev_test::LogCapture capture;
    // Any store serves as the system's here.
    ev_common::DirectoryCaCertificateStore system("system", {});
    ASSERT_TRUE(system.init(dir / "system", dir / "system.pem"));
    ev_common::DirectoryCaCertificateStore csms("csms", ev_common::trustAnchorRulesFor("csms"));
    csms.enableRoles(dir / "csms-fallback", dir / "csms-fallback.pem");
    ASSERT_TRUE(csms.init(dir / "csms", dir / "csms.pem"));
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    std::uint32_t idA = 0;
    std::uint32_t idB = 0;
    ASSERT_EQ(csms.addCertificate(ev_common::Certificate(a.pem()), "a", idA,
                                  ev_common::SameName::replace),
              ev_common::AddCertificateStatus::success);
    ASSERT_EQ(csms.addCertificate(ev_common::Certificate(b.pem()), "b", idB,
                                  ev_common::SameName::replace),
              ev_common::AddCertificateStatus::success);

    // Group 50 is the admin group.
    cyber::cybersecurity_req_handler handler(
        "cybersecurity_service", &system,
        cyber::access_policy({50}, [](uid_t) { return std::vector<gid_t>{}; }));
    handler.add_domain("csms", &csms);
    const cyber::caller_credentials alice = ev_common::PeerCredentials{1000, 1000, 77};
    const cyber::caller_credentials admin = ev_common::PeerCredentials{1001, 50, 78};
    const auto files = [&] {
        return std::vector<ev_test::FolderSnapshot>{ev_test::snapshotFolder(dir / "csms"),
                                                    ev_test::snapshotFolder(dir / "csms-fallback"),
                                                    ev_test::snapshotFolder(dir / "")};
    };
    const auto before = files();

    handler.set_csms_roles(&csms);
    EXPECT_EQ(handler.confirm_csms_root(cyber::requester::client(alice), idB),
              cyber::RemoveCertificateStatus::not_authorized);
    EXPECT_TRUE(
        capture.has(spdlog::level::warn,
                    "[audit] operation=confirm domain=csms name=b id=" + std::to_string(idB) +
                        " sha256=" + ev_common::Certificate(b.pem()).sha256Fingerprint() +
                        " uid=1000 gid=1000 pid=77 result=not_authorized"));
    EXPECT_EQ(files(), before);
    EXPECT_EQ(csms.fallbackId(), idA);

    EXPECT_EQ(handler.confirm_csms_root(cyber::requester::client(admin), idB),
              cyber::RemoveCertificateStatus::success);
    EXPECT_FALSE(csms.fallbackId());
    EXPECT_FALSE(fs::exists(dir / "csms-fallback.pem"));
    EXPECT_TRUE(
        capture.has(spdlog::level::info,
                    "[audit] operation=remove domain=csms name=a id=" + std::to_string(idA) +
                        " sha256=" + ev_common::Certificate(a.pem()).sha256Fingerprint() +
                        " uid=1001 gid=50 pid=78 result=success"));
}

TEST(CertificateJson, EventsCarryProfileAndRoleOnlyWhereTheDomainGivesThem) {
    ev_common::CertificateChange change;
    change.event = ev_common::CertificateEvent::fallback;
    change.domain = "csms";
    change.role = "fallback";
    auto event = nlohmann::json::parse(cyber::event_json(change, ""));
    EXPECT_EQ(event["event"], "fallback");
    EXPECT_EQ(event["role"], "fallback");
    EXPECT_FALSE(event.contains("profile"));
    change.event = ev_common::CertificateEvent::added;
    change.domain = "v2g";
    change.role.clear();
    change.profile = "iso15118-20";
    event = nlohmann::json::parse(cyber::event_json(change, ""));
    EXPECT_EQ(event["profile"], "iso15118-20");
    EXPECT_FALSE(event.contains("role"));
    change.profile.clear();
    event = nlohmann::json::parse(cyber::event_json(change, ""));
    EXPECT_FALSE(event.contains("profile") || event.contains("role"));
}
