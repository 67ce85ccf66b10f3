// The csms domain with roles: one active root and one fallback in folders and
// bundles of their own, the rotation as one change through the gate, every
// refusal and failure leaving all of it byte for byte, and a rotation cut
// short settled at the next start. (Restarts, confirmation and the last root:
// tests/e2e/csms_rotation_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ev_common/cyber/directory_ca_certificate_store.hpp"
#include "folder_snapshot.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "test_chain.hpp"

using namespace ev_common;
using namespace x509_test;
namespace fs = std::filesystem;

namespace {

class CsmsRolesTest : public ::testing::Test {
protected:
    fs::path domains() const { return dir / "domains"; }
    fs::path active() const { return domains() / "csms"; }
    fs::path fallback() const { return domains() / "csms-fallback"; }

    std::unique_ptr<DirectoryCaCertificateStore> open(
        std::function<bool(const fs::path&)> rehash = {}) {
        auto store = std::make_unique<DirectoryCaCertificateStore>(
            "csms", trustAnchorRulesFor("csms"), std::move(rehash));
        store->shareNumbering(numbering);
        store->enableRoles(fallback(), domains() / "csms-fallback.pem");
        store->setKeepLastCertificate(true);
        store->setChangeGate([this](const std::vector<CertificateChange>& changes) {
            gated.push_back(changes);
            return gateOpen;
        });
        store->setChangeObserver([this](const CertificateChange& c) { reported.push_back(c); });
        fs::create_directories(domains());
        EXPECT_TRUE(store->init(active(), domains() / "csms.pem")) << log.dump();
        return store;
    }

    AddCertificateStatus add(DirectoryCaCertificateStore& store, const std::string& name,
                             const Party& root, uint32_t* id = nullptr) {
        uint32_t added = 0;
        const auto status =
            store.addCertificate(Certificate(root.pem()), name, added, SameName::replace);
        if (id != nullptr) *id = added;
        return status;
    }

    // Both folders, entry by entry, and every bundle.
    std::map<std::string, ev_test::FolderSnapshot> files() const {
        return {{"domains", ev_test::snapshotFolder(domains())},
                {"csms", ev_test::snapshotFolder(active())},
                {"csms-fallback", ev_test::snapshotFolder(fallback())}};
    }

    // Name -> role, as the details list them.
    std::map<std::string, std::string> roles(DirectoryCaCertificateStore& store) {
        std::map<std::string, std::string> found;
        for (const auto& entry : store.getCertificateDetails().certificates) {
            found[entry.info.name] = entry.role;
        }
        return found;
    }

    std::string read(const fs::path& file) const { return ev_test::readFile(file); }

    ev_test::LogCapture log;
    ev_test::TempDir dir;
    std::shared_ptr<CertificateNumbering> numbering = std::make_shared<CertificateNumbering>();
    std::vector<std::vector<CertificateChange>> gated;
    std::vector<CertificateChange> reported;
    bool gateOpen = true;
};

std::vector<std::string> events(const std::vector<CertificateChange>& changes) {
    std::vector<std::string> out;
    for (const auto& c : changes) {
        out.push_back(std::string(toString(c.event)) + " " + c.name + " " + c.role + " " +
                      std::to_string(c.generation));
    }
    return out;
}

}  // namespace

TEST_F(CsmsRolesTest, ARotationMakesTheNewRootActiveAndTheOldOneTheOnlyFallbackInOneChange) {
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    const Party c = issueParty("CSMS C", &b);
    auto store = open();
    ASSERT_EQ(add(*store, "a", a), AddCertificateStatus::success);
    ASSERT_EQ(add(*store, "b", b), AddCertificateStatus::success) << log.dump();
    EXPECT_EQ(read(domains() / "csms.pem"), b.pem());
    EXPECT_EQ(read(domains() / "csms-fallback.pem"), a.pem());
    EXPECT_TRUE(fs::exists(fallback() / "a.crt"));
    EXPECT_FALSE(fs::exists(active() / "a.crt"));
    EXPECT_EQ(roles(*store),
              (std::map<std::string, std::string>{{"a", "fallback"}, {"b", "active"}}));
    ASSERT_EQ(gated.size(), 2u);
    EXPECT_EQ(events(gated[1]),
              (std::vector<std::string>{"added b active 2", "fallback a fallback 3"}));
    EXPECT_EQ(events(reported), (std::vector<std::string>{"added a active 1", "added b active 2",
                                                          "fallback a fallback 3"}));

    // The next one removes the old fallback in the same change; the active
    // root, no longer self-signed, is the anchor of the check.
    ASSERT_EQ(add(*store, "c", c), AddCertificateStatus::success) << log.dump();
    EXPECT_EQ(events(gated.back()),
              (std::vector<std::string>{"added c active 4", "fallback b fallback 5",
                                        "removed a fallback 6"}));
    EXPECT_EQ(read(domains() / "csms.pem"), c.pem());
    EXPECT_EQ(read(domains() / "csms-fallback.pem"), b.pem());
    EXPECT_FALSE(fs::exists(fallback() / "a.crt"));
}

TEST_F(CsmsRolesTest, EveryRefusalAndFailureLeavesBothFoldersAndBundlesByteForByte) {
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    const Party other = issueParty("Other", nullptr);
    const Party notByA = issueParty("CSMS X", &other);
    CertProfile expiredProfile;
    expiredProfile.notAfter = "20250101000000Z";
    const Party expired = issueParty("CSMS Old", &b, expiredProfile);
    const Party c = issueParty("CSMS C", &b);
    const Party byFallback = issueParty("CSMS Y", &a);
    bool rehashWorks = true;
    DirectoryCaCertificateStore rehasher("csms", {});
    auto store = open([&](const fs::path& p) { return rehashWorks && rehasher.runRehash(p); });
    ASSERT_EQ(add(*store, "a", a), AddCertificateStatus::success);
    ASSERT_EQ(add(*store, "b", b), AddCertificateStatus::success);
    const auto before = files();

    struct Refusal {
        const char* what;
        const Party* root;
        std::string name;
        AddCertificateStatus status;
        std::string line;
    };
    const std::vector<Refusal> refusals = {
        {"self-signed", &other, "x", AddCertificateStatus::invalid_cert,
         "[ca-store] Unable to add certificate x to domain csms : not signed by the current "
         "CSMS root"},
        {"signed by another", &notByA, "x", AddCertificateStatus::invalid_cert,
         "[ca-store] Unable to add certificate x to domain csms : not signed by the current "
         "CSMS root"},
        {"signed by the fallback", &byFallback, "x", AddCertificateStatus::invalid_cert,
         "not signed by the current CSMS root"},
        {"expired", &expired, "x", AddCertificateStatus::invalid_cert, "expired on 2025-01-01"},
        {"another root under the fallback's name", &c, "a", AddCertificateStatus::already_exists,
         "a root of the domain goes by that name"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        EXPECT_EQ(add(*store, refusal.name, *refusal.root), refusal.status);
        EXPECT_NE(log.dump().find(refusal.line), std::string::npos) << log.dump();
        EXPECT_EQ(files(), before);
    }
    // A change the gate does not record, and one whose rebuild fails, are undone.
    gateOpen = false;
    EXPECT_EQ(add(*store, "c", c), AddCertificateStatus::internal_error);
    EXPECT_EQ(files(), before);
    gateOpen = true;
    rehashWorks = false;
    EXPECT_EQ(add(*store, "c", c), AddCertificateStatus::internal_error);
    rehashWorks = true;
    EXPECT_EQ(files(), before);
    EXPECT_EQ(roles(*store),
              (std::map<std::string, std::string>{{"a", "fallback"}, {"b", "active"}}));
    // The same certificate again replaces it (M05.FR.17).
    EXPECT_EQ(add(*store, "b", b), AddCertificateStatus::success) << log.dump();
    EXPECT_EQ(files(), before);
}

// Each crash point of a rotation of A to B with an older fallback F, as the
// folders show it: the next start finishes or undoes it, never leaving two
// active roots or losing the old one.
TEST_F(CsmsRolesTest, ARotationCutShortIsSettledAtTheNextStart) {
    const Party f = issueParty("CSMS F", nullptr);
    const Party a = issueParty("CSMS A", &f);
    const Party b = issueParty("CSMS B", &a);
    struct Crash {
        const char* what;
        std::vector<std::string> active;
        std::vector<std::string> fallback;
        std::map<std::string, std::string> roles;
    };
    const std::vector<Crash> crashes = {
        {"A copied", {"a"}, {"f", "a"}, {{"a", "active"}, {"f", "fallback"}}},
        {"B written", {"a", "b"}, {"f", "a"}, {{"a", "fallback"}, {"b", "active"}}},
        {"A taken out", {"b"}, {"f", "a"}, {{"a", "fallback"}, {"b", "active"}}},
        {"A copied, no fallback before", {"a"}, {"a"}, {{"a", "active"}}},
    };
    const std::map<std::string, const Party*> parties = {{"f", &f}, {"a", &a}, {"b", &b}};
    for (const auto& crash : crashes) {
        SCOPED_TRACE(crash.what);
        fs::remove_all(domains());
        fs::create_directories(active());
        fs::create_directories(fallback());
        for (const auto& name : crash.active) {
            ev_test::writeFile(active() / (name + ".crt"), parties.at(name)->pem());
        }
        for (const auto& name : crash.fallback) {
            ev_test::writeFile(fallback() / (name + ".crt"), parties.at(name)->pem());
        }
        auto store = open();
        EXPECT_EQ(roles(*store), crash.roles) << log.dump();
        std::string activeBundle;
        for (const auto& [name, role] : crash.roles) {
            if (role == "active") activeBundle += parties.at(name)->pem();
        }
        EXPECT_EQ(read(domains() / "csms.pem"), activeBundle);
        EXPECT_EQ(fs::exists(fallback()), crash.roles.size() > 1);
    }
}
