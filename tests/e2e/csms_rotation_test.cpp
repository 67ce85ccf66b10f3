// CSMS root rotation and the ISO 15118 install profiles end to end: the real
// daemon with the domains "csms" and "v2g" in the sandbox. ISO 15118-20 roots
// (P-521, Ed448) enter v2g and roots of neither profile do not; with
// cyber.csms_additional_root_check a root signed by the active one rotates it
// into the fallback folder and bundle, a TLS client verifies through the new
// root with partial-chain verification, confirm_csms_root removes or keeps
// the fallback, the roles survive a restart, and the last root stays.
#include "daemon_harness.hpp"
#include "folder_snapshot.hpp"
#include "test_chain.hpp"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using namespace ev_e2e;
using namespace x509_test;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = enterPrivateTmp();

constexpr std::uint32_t kConfirm = 9;
constexpr std::uint32_t kUnknownId = 1;
constexpr std::uint32_t kLastRoot = 5;

std::string rotationRequest(std::uint32_t operation, const std::string& parameters = {}) {
    return str("e2e") + u32(operation) + parameters;
}

bool commandSucceeds(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class CsmsRotation : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    }

    void startWith(bool additionalRootCheck) {
        SandboxOptions options;
        options.domains = {"csms", "v2g"};
        sandbox_ = std::make_unique<Sandbox>(options);
        json parameters = json::parse(sandbox_->defaultParameters());
        parameters.push_back({{"name", "csms_additional_root_check"},
                              {"type", "bool"},
                              {"default", additionalRootCheck}});
        sandbox_->writeDescription(parameters.dump());
        start();
    }
    void start() {
        client_.reset();
        daemon_ = std::make_unique<Daemon>(*sandbox_);
        ASSERT_TRUE(daemon_->waitReady()) << daemon_->output();
        client_ = std::make_unique<RawClient>();
    }
    void restart() {
        client_.reset();
        ASSERT_EQ(daemon_->stop(), 0);
        start();
    }

    fs::path domains() const { return sandbox_->domainsDir(); }

    std::pair<std::uint32_t, std::uint32_t> add(const std::string& domain, const Party& root,
                                                const std::string& name) {
        const std::string reply =
            client_->exchange(rotationRequest(7, str(domain) + str(root.pem()) + str(name)))
                .value_or("");
        EXPECT_EQ(reply.size(), 8u) << daemon_->output();
        if (reply.size() != 8u) return {~0u, ~0u};
        Reader in{reply};
        const std::uint32_t status = in.u32();
        return {status, in.u32()};
    }
    std::uint32_t addOrFail(const std::string& domain, const Party& root, const std::string& name) {
        const auto [status, id] = add(domain, root, name);
        EXPECT_EQ(status, 0u) << name << "\n" << daemon_->output();
        return id;
    }
    std::uint32_t status(std::uint32_t operation, std::uint32_t id) {
        const std::string reply =
            client_->exchange(rotationRequest(operation, u32(id))).value_or("");
        EXPECT_EQ(reply.size(), 4u) << daemon_->output();
        return reply.size() == 4u ? Reader{reply}.u32() : ~0u;
    }

    // Name -> {role, profile} of the entries of `domain`.
    std::map<std::string, std::pair<std::string, std::string>> listing(const std::string& domain) {
        const std::string reply = client_->exchange(rotationRequest(5)).value_or("");
        Reader in{reply};
        const json details = json::parse(in.str());
        std::map<std::string, std::pair<std::string, std::string>> found;
        for (const auto& entry : details["certificates"]) {
            if (entry["domain"] != domain) continue;
            found[entry["name"]] = {entry.value("role", ""), entry.value("profile", "")};
        }
        return found;
    }

    // Every file of the domains' folder: folders, links and bundles.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& [name, entry] : ev_test::snapshotFolder(domains())) {
            all[name] = entry;
            if (entry != "directory") continue;
            for (const auto& [inner, innerEntry] : ev_test::snapshotFolder(domains() / name))
                all[name + "/" + inner] = innerEntry;
        }
        return all;
    }

    // A server certificate issued by `issuer`, written to the sandbox.
    fs::path serverCertificate(const Party& issuer) {
        CertProfile profile;
        profile.extensions = kChainLeaf;
        const Party server = issueParty("csms.example", &issuer, std::move(profile));
        const fs::path file = sandbox_->root() / "server.pem";
        ev_test::writeFile(file, server.pem());
        return file;
    }

    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

using Entries = std::map<std::string, std::pair<std::string, std::string>>;

}  // namespace

TEST_F(CsmsRotation, Iso15118_20RootsEnterV2gAndRootsOfNeitherProfileDoNot) {
    startWith(/*additionalRootCheck=*/false);
    const KeyPtr p521(EVP_EC_gen("P-521"));
    const KeyPtr p384(EVP_EC_gen("P-384"));
    const KeyPtr ed448(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448"));
    CertProfile p521Profile;
    p521Profile.subjectKey = p521.get();
    p521Profile.digest = EVP_sha512();
    CertProfile ed448Profile;
    ed448Profile.subjectKey = ed448.get();
    CertProfile p384Profile;
    p384Profile.subjectKey = p384.get();
    p384Profile.digest = EVP_sha384();
    addOrFail("v2g", issueParty("V2G 2", nullptr), "v2g_2");
    addOrFail("v2g", issueParty("V2G P-521", nullptr, p521Profile), "v2g_p521");
    addOrFail("v2g", issueParty("V2G Ed448", nullptr, ed448Profile), "v2g_ed448");
    EXPECT_EQ(listing("v2g"), (Entries{{"v2g_2", {"", "iso15118-2"}},
                                       {"v2g_p521", {"", "iso15118-20"}},
                                       {"v2g_ed448", {"", "iso15118-20"}}}));

    const auto before = files();
    struct Refused {
        const char* what;
        Party root;
        std::string line;
    };
    std::vector<Refused> refused;
    refused.push_back({"P-384", issueParty("V2G P-384", nullptr, p384Profile),
                       "[ca-store] Unable to add certificate x to domain v2g : fits neither ISO "
                       "15118-2 (not an ECDSA P-256 key) nor ISO 15118-20 (neither an ECDSA "
                       "secp521r1 nor an Ed448 key)"});
    refused.push_back({"801-byte P-256", issueSizedParty("V2G Big", nullptr, 801),
                       "[ca-store] Unable to add certificate x to domain v2g : fits neither ISO "
                       "15118-2 (801 bytes of DER, more than 800) nor ISO 15118-20 (neither an "
                       "ECDSA secp521r1 nor an Ed448 key)"});
    refused.push_back({"1601-byte P-521", issueSizedParty("V2G Big", nullptr, 1601, p521Profile),
                       "[ca-store] Unable to add certificate x to domain v2g : fits neither ISO "
                       "15118-2 (1601 bytes of DER, more than 800) nor ISO 15118-20 (1601 bytes "
                       "of DER, more than 1600)"});
    for (const auto& root : refused) {
        SCOPED_TRACE(root.what);
        EXPECT_EQ(add("v2g", root.root, "x").first, 1u);
        EXPECT_TRUE(daemon_->waitForLine(root.line)) << daemon_->output();
        EXPECT_EQ(files(), before);
    }
    // No roles without the check, and csms takes a root its root signed.
    const Party a = issueParty("CSMS A", nullptr);
    const std::uint32_t idA = addOrFail("csms", a, "csms_a");
    addOrFail("csms", issueParty("CSMS B", &a), "csms_b");
    EXPECT_EQ(listing("csms"), (Entries{{"csms_a", {"", ""}}, {"csms_b", {"", ""}}}));
    EXPECT_EQ(status(kConfirm, idA), kUnknownId);
    EXPECT_FALSE(fs::exists(domains() / "csms-fallback"));
}

TEST_F(CsmsRotation, ANewRootSignedByTheActiveOneRotatesItIntoTheFallbackUntilConfirmed) {
    startWith(/*additionalRootCheck=*/true);
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    const Party other = issueParty("Other", nullptr);
    const Party c = issueParty("CSMS C", &other);
    const std::uint32_t idA = addOrFail("csms", a, "csms_a");
    const std::uint32_t idB = addOrFail("csms", b, "csms_b");
    EXPECT_EQ(listing("csms"), (Entries{{"csms_a", {"fallback", ""}}, {"csms_b", {"active", ""}}}));
    EXPECT_EQ(ev_test::readFile(domains() / "csms.pem"), b.pem());
    EXPECT_EQ(ev_test::readFile(domains() / "csms-fallback.pem"), a.pem());
    EXPECT_TRUE(daemon_->hasLine("[ca-store] Certificate is the fallback of domain csms : id = " +
                                 std::to_string(idA) + ", name = csms_a"));

    // B is no self-signed root: a client verifies with it as the anchor.
    const fs::path server = serverCertificate(b);
    const std::string bundle = (domains() / "csms.pem").string();
    EXPECT_TRUE(commandSucceeds("openssl verify -no-CApath -no-CAstore -partial_chain -CAfile " +
                                bundle + " " + server.string()));
    EXPECT_FALSE(commandSucceeds("openssl verify -no-CApath -no-CAstore -CAfile " + bundle + " " +
                                 server.string()));

    // Bad input changes nothing.
    const auto before = files();
    const auto listed = listing("csms");
    EXPECT_EQ(add("csms", c, "csms_c").first, 1u);
    EXPECT_TRUE(daemon_->waitForLine(
        "[ca-store] Unable to add certificate csms_c to domain csms : not signed by the current "
        "CSMS root"));
    const std::uint32_t v2g = addOrFail("v2g", issueParty("V2G", nullptr), "v2g_root");
    const auto withV2g = files();
    EXPECT_EQ(status(kConfirm, v2g), kUnknownId);
    EXPECT_EQ(status(kConfirm, 9999), kUnknownId);
    EXPECT_EQ(files(), withV2g);
    EXPECT_EQ(listing("csms"), listed);
    for (const auto& [name, entry] : before) {
        if (name.rfind("csms", 0) == 0) {
            EXPECT_EQ(withV2g.at(name), entry) << name;
        }
    }

    // The station connected with B: A goes, and with it the fallback's files.
    EXPECT_EQ(status(kConfirm, idB), 0u);
    EXPECT_EQ(listing("csms"), (Entries{{"csms_b", {"active", ""}}}));
    EXPECT_FALSE(fs::exists(domains() / "csms-fallback.pem"));
    EXPECT_FALSE(fs::exists(domains() / "csms-fallback"));
    EXPECT_TRUE(daemon_->hasLine("CSMS root id=" + std::to_string(idB) +
                                 " confirmed, fallback id=" + std::to_string(idA) + " removed"));

    // The last root stays.
    const auto last = files();
    EXPECT_EQ(status(1, idB), kLastRoot);
    EXPECT_EQ(files(), last);
}

TEST_F(CsmsRotation, AFallbackThatWorkedStaysAndTheRolesSurviveARestart) {
    startWith(/*additionalRootCheck=*/true);
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    const std::uint32_t idA = addOrFail("csms", a, "csms_a");
    addOrFail("csms", b, "csms_b");
    const auto before = files();
    EXPECT_EQ(status(kConfirm, idA), 0u);
    EXPECT_TRUE(
        daemon_->hasLine("CSMS root id=" + std::to_string(idA) + " confirmed, nothing removed"));
    EXPECT_EQ(files(), before);

    restart();
    EXPECT_EQ(listing("csms"), (Entries{{"csms_a", {"fallback", ""}}, {"csms_b", {"active", ""}}}));
    EXPECT_EQ(files(), before);
    // A new root after the restart is still checked against B.
    EXPECT_EQ(add("csms", issueParty("CSMS C", &a), "csms_c").first, 1u);
    EXPECT_EQ(files(), before);
    // The journal holds the rotation with its caller, and the restart found
    // nothing new or gone.
    const std::string reply = client_->exchange(rotationRequest(8, u32(0) + u32(0))).value_or("");
    Reader in{reply};
    const json journal = json::parse(in.str());
    std::vector<std::string> operations;
    for (const auto& row : journal["changes"]) {
        operations.push_back(row["operation"].get<std::string>() + " " +
                             row["name"].get<std::string>());
        EXPECT_FALSE(row["uid"].is_null()) << row.dump();
    }
    EXPECT_EQ(operations, (std::vector<std::string>{"add csms_a", "add csms_b", "fallback csms_a",
                                                    "confirm csms_a", "add csms_c"}));
    // The fallback can be removed like any root; its files go with it.
    EXPECT_EQ(status(1, idA), 0u);
    EXPECT_FALSE(fs::exists(domains() / "csms-fallback.pem"));
    EXPECT_FALSE(fs::exists(domains() / "csms-fallback"));
}

TEST(CsmsRotationConfiguration, ADomainNamedLikeTheFallbackFolderStopsTheStart) {
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    SandboxOptions options;
    options.domains = {"csms", "csms-fallback"};
    Sandbox sandbox(options);
    json parameters = json::parse(sandbox.defaultParameters());
    parameters.push_back(
        {{"name", "csms_additional_root_check"}, {"type", "bool"}, {"default", true}});
    sandbox.writeDescription(parameters.dump());
    Daemon daemon(sandbox);
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_TRUE(
        daemon.hasLine("[cybersecurity_service] Trust domain 'csms-fallback' in "
                       "cyber.domains is the folder of the csms domain's fallback"))
        << daemon.output();
}
