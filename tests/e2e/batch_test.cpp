// Batches (operation 11) and distrusted built-ins (operations 12 and 13)
// against the real update tool in a sandbox: one run of the tool per batch,
// all or nothing, bad batches refused with everything as it was, and a
// built-in that leaves the system folder, stays listed across a restart and
// comes back byte for byte.
#include "daemon_harness.hpp"
#include "folder_snapshot.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <sstream>

using namespace ev_e2e;
using namespace x509_test;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = enterPrivateTmp();

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

std::string caPem(const std::string& commonName) {
    const auto key = ecKey();
    CertProfile profile;
    profile.subject = {{"O", "Batch Tests"}, {"CN", commonName}};
    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    profile.subjectKey = key.get();
    return toPem(makeCertificate(profile).get());
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) return;
        // The real tool behind a script that counts its runs and fails while
        // the switch file exists.
        ev_test::writeFile(
            tool_ / "tool",
            "#!/bin/sh\necho run >> " + (tool_ / "runs").string() + "\nif [ -e " +
                (tool_ / "fail").string() +
                " ]; then exit 1; fi\nexec /usr/sbin/update-ca-certificates \"$@\"\n");
        fs::permissions(tool_ / "tool", fs::perms(0755));
        SandboxOptions options;
        options.builtins = 3;
        options.domains = {"csms"};
        options.updateCommand = (tool_ / "tool").string();
        sandbox_ = std::make_unique<Sandbox>(options);
        start();
    }
    void TearDown() override {
        client_.reset();
        if (daemon_) daemon_->stop();
    }

    void start() {
        client_.reset();
        daemon_ = std::make_unique<Daemon>(*sandbox_);
        ASSERT_TRUE(daemon_->waitReady()) << daemon_->output();
        client_ = std::make_unique<RawClient>();
    }
    fs::path configuration() const { return sandbox_->root() / "ca-certificates.conf"; }
    std::size_t runs() const {
        std::istringstream lines(contents(tool_ / "runs"));
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line);) ++count;
        return count;
    }
    // Everything a change may touch.
    std::vector<ev_test::FolderSnapshot> snapshot() const {
        return {ev_test::snapshotFolder(sandbox_->systemDir()),
                ev_test::snapshotFolder(sandbox_->userDir()),
                ev_test::snapshotFolder(sandbox_->domainsDir()),
                ev_test::snapshotFolder(sandbox_->domainsDir() / "csms"),
                {{"configuration", contents(configuration())}}};
    }

    std::string ask(std::uint32_t operation, const std::string& parameters) {
        const auto reply =
            client_->exchange(str("e2e") + u32(operation) + parameters, std::chrono::minutes(3));
        EXPECT_TRUE(reply.has_value()) << operation;
        return reply.value_or("");
    }
    json details() {
        Reader in{ask(5, "")};
        return json::parse(in.str());
    }
    // Status and result text of a batch.
    std::pair<std::uint32_t, json> apply(const std::string& batch) {
        Reader in{ask(11, str(batch))};
        const std::uint32_t status = in.u32();
        return {status, json::parse(in.str())};
    }
    std::uint32_t trust(std::uint32_t operation, std::uint32_t id) {
        return Reader{ask(operation, u32(id) + str(""))}.u32();
    }
    std::uint32_t idOf(const std::string& name) {
        const json all = details();
        for (const auto& entry : all["certificates"]) {
            if (entry["name"] == name) return entry["id"];
        }
        return 0;
    }

    ev_test::TempDir tool_;
    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(Batch, TwentyAdditionsRunTheToolOnceAndOneInvalidCertificateAddsNone) {
    REQUIRE_PRIVATE_TMP();
    json batch = json::array();
    for (int i = 0; i < 20; ++i) {
        batch.push_back({{"op", "add"},
                         {"name", "batch_" + std::to_string(i)},
                         {"pem", caPem("Batch " + std::to_string(i))}});
    }
    batch.push_back({{"op", "add"}, {"domain", "csms"}, {"name", "root"}, {"pem", caPem("R")}});
    const std::uint64_t generation = details()["generation"];
    const auto before = snapshot();
    const std::size_t runsBefore = runs();

    json spoiled = batch;
    spoiled[10]["pem"] = "-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n";
    const auto [refused, why] = apply(spoiled.dump());
    EXPECT_EQ(refused, 1u);  // invalid_cert
    EXPECT_EQ(why["changes"][10]["result"], "invalid_cert");
    EXPECT_EQ(why["changes"][0]["result"], "not_applied");
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(runs(), runsBefore);
    EXPECT_EQ(details()["generation"], generation);

    const auto [status, done] = apply(batch.dump());
    ASSERT_EQ(status, 0u) << done.dump(1) << daemon_->output();
    EXPECT_EQ(runs(), runsBefore + 1);
    const json all = details();
    EXPECT_EQ(all["generation"], generation + 1);
    std::size_t listed = 0;
    for (const auto& entry : all["certificates"]) {
        listed += entry["name"].get<std::string>().rfind("batch_", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(listed, 20u);
    EXPECT_NE(idOf("root"), 0u);
    for (const auto& change : done["changes"]) EXPECT_EQ(change["result"], "success");
}

TEST_F(Batch, RefusesBadBatchesAndLeavesEverythingAsItWas) {
    REQUIRE_PRIVATE_TMP();
    const std::string pem = caPem("Kept");
    ASSERT_EQ(apply(json::array({{{"op", "add"}, {"name", "kept"}, {"pem", pem}}}).dump()).first,
              0u);
    const std::uint32_t builtin = details()["certificates"][0]["id"];
    std::string many = "[";
    for (int i = 0; i < 10000; ++i) many += std::string(i ? "," : "") + R"({"op":"remove","id":1})";
    many += "]";
    const std::vector<std::pair<std::string, std::string>> batches = {
        {"not JSON", "[{\"op\": "},
        {"an unknown op", R"([{"op": "rename", "id": 1}])"},
        {"10,000 changes", many},
        {"a name twice", json::array({{{"op", "add"}, {"name", "twice"}, {"pem", pem}},
                                      {{"op", "add"}, {"name", "twice"}, {"pem", caPem("Other")}}})
                             .dump()},
        {"a built-in removed",
         json::array({{{"op", "add"}, {"name", "fresh"}, {"pem", caPem("Fresh")}},
                      {{"op", "remove"}, {"id", builtin}}})
             .dump()},
        {"a tool that fails",
         json::array({{{"op", "add"}, {"name", "fresh"}, {"pem", caPem("Fresh")}},
                      {{"op", "remove"}, {"id", idOf("kept")}}})
             .dump()},
    };
    const std::uint64_t generation = details()["generation"];
    const auto before = snapshot();
    for (const auto& [what, batch] : batches) {
        if (what == "a tool that fails") ev_test::writeFile(tool_ / "fail", "");
        const auto [status, reply] = apply(batch);
        EXPECT_NE(status, 0u) << what;
        EXPECT_NE(reply["status"], "success") << what;
        EXPECT_EQ(snapshot(), before) << what;
        EXPECT_EQ(details()["generation"], generation) << what;
    }
    fs::remove(tool_ / "fail");
    EXPECT_TRUE(daemon_->hasLine("[error] Batch refused: not JSON"));
    EXPECT_TRUE(
        daemon_->hasLine("[error] Batch refused: 10000 changes, more than the 100 allowed"));
}

TEST_F(Batch, ADistrustedBuiltInLeavesTheSystemFolderStaysListedAndComesBackByteForByte) {
    REQUIRE_PRIVATE_TMP();
    const json first = details()["certificates"][0];
    ASSERT_TRUE(first["built_in"].get<bool>());
    const std::uint32_t id = first["id"];
    const std::string name = first["name"];
    const auto before = snapshot();

    ASSERT_EQ(trust(12, id), 0u) << daemon_->output();
    EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox_->systemDir() / (name + ".pem"))));
    EXPECT_NE(contents(configuration()).find("!mozilla/" + name + ".crt"), std::string::npos);
    EXPECT_EQ(trust(12, id), 3u);  // already_distrusted

    client_.reset();
    ASSERT_EQ(daemon_->stop(), 0);
    start();
    const json listed = details();
    bool distrusted = false;
    for (const auto& entry : listed["certificates"]) {
        if (entry["name"] == name) distrusted = entry.value("distrusted", false);
    }
    EXPECT_TRUE(distrusted) << listed.dump(1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox_->systemDir() / (name + ".pem"))));

    ASSERT_EQ(trust(13, idOf(name)), 0u) << daemon_->output();
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(trust(13, idOf(name)), 4u);  // not_distrusted

    // Only built-ins, and only through a configuration file that is one.
    ASSERT_EQ(apply(json::array({{{"op", "add"}, {"name", "mine"}, {"pem", caPem("Mine")}}}).dump())
                  .first,
              0u);
    EXPECT_EQ(trust(12, idOf("mine")), 2u);  // not_built_in
    const fs::path real = sandbox_->root() / "real.conf";
    fs::rename(configuration(), real);
    fs::create_symlink(real, configuration());
    const auto linked = snapshot();
    EXPECT_EQ(trust(12, idOf(name)), 7u);  // config_unusable
    EXPECT_EQ(snapshot(), linked);
}

}  // namespace
