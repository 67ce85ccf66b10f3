// The durable state of the real daemon: generation and store_id across
// restarts, the journal read back through operation 8 and the tool, its trim,
// hash data that outlive the issuer they were computed from, a row edited by
// hand, and journal and files in agreement after a kill -9 amid changes.
#include "daemon_harness.hpp"
#include "ev_common/database/database.hpp"
#include "folder_snapshot.hpp"
#include "test_pki.hpp"
#include "wait_until.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

using namespace ev_e2e;
using namespace x509_test;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = enterPrivateTmp();

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

const Extensions kCa = {{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"}};

std::string u64(std::uint64_t value) {
    return u32(static_cast<std::uint32_t>(value)) + u32(static_cast<std::uint32_t>(value >> 32));
}

// A self-signed CA certificate, or one signed by `issuer`'s key.
std::string caPem(const std::string& commonName, EVP_PKEY* key, EVP_PKEY* issuerKey = nullptr,
                  const std::string& issuerName = {}) {
    CertProfile profile;
    profile.subject = {{"O", "Journal Tests"}, {"CN", commonName}};
    if (issuerKey != nullptr) profile.issuer = {{"O", "Journal Tests"}, {"CN", issuerName}};
    profile.extensions = kCa;
    profile.subjectKey = key;
    profile.signingKey = issuerKey;
    return toPem(makeCertificate(profile).get());
}

struct ctl_result {
    int code = -1;
    std::string out;
};

// cybersecurity_ctl as root, or as nobody:nogroup.
ctl_result ctl(const std::vector<std::string>& args, bool asNobody = false) {
    const std::string program =
        ev_test::builtProgram("cybersecurity_service/client/cybersecurity_ctl");
    std::vector<std::string> all = args;
    std::string path = program;
    if (asNobody) {
        all = {"--reuid=65534", "--regid=65534", "--clear-groups", program};
        all.insert(all.end(), args.begin(), args.end());
        path = "/usr/bin/setpriv";
    }
    ev_test::ChildProcess child(path, all);
    ctl_result result;
    result.code = child.wait(std::chrono::seconds(150)).value_or(-1);
    result.out = child.stdoutText() + child.stderrText();
    return result;
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) return;
        SandboxOptions options;
        options.builtins = 2;
        options.domains = {"csms"};
        sandbox_ = std::make_unique<Sandbox>(options);
    }
    void TearDown() override {
        client_.reset();
        if (daemon_) daemon_->stop();
    }

    // `extra`: further "cyber" parameters (JSON objects).
    void start(const std::vector<json>& extra = {}) {
        auto parameters = json::parse(sandbox_->defaultParameters());
        for (const auto& parameter : extra) parameters.push_back(parameter);
        sandbox_->writeDescription(parameters.dump());
        client_.reset();
        daemon_ = std::make_unique<Daemon>(*sandbox_);
        ASSERT_TRUE(daemon_->waitReady()) << daemon_->output();
        client_ = std::make_unique<RawClient>();
    }
    void restart(const std::vector<json>& extra = {}) {
        client_.reset();
        ASSERT_EQ(daemon_->stop(), 0);
        start(extra);
    }

    std::string ask(std::uint32_t operation, const std::string& parameters = {}) {
        const auto reply =
            client_->exchange(str("e2e") + u32(operation) + parameters, std::chrono::minutes(3));
        EXPECT_TRUE(reply.has_value()) << operation;
        return reply.value_or("");
    }
    json text(std::uint32_t operation, const std::string& parameters = {}) {
        const std::string reply = ask(operation, parameters);
        if (reply.size() < 4) return json();
        Reader in{reply};
        return json::parse(in.str());
    }
    json details() { return text(5); }
    json changes(std::uint64_t since) { return text(8, u64(since)); }
    // Status and identifier of an addition to `domain`.
    std::pair<std::uint32_t, std::uint32_t> add(const std::string& pem, const std::string& name,
                                                const std::string& domain = "csms") {
        Reader in{ask(7, str(domain) + str(pem) + str(name))};
        const std::uint32_t status = in.u32();
        return {status, in.u32()};
    }
    std::uint32_t remove(std::uint32_t id) { return Reader{ask(1, u32(id))}.u32(); }

    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

TEST_F(Journal, KeepsGenerationAndStoreIdAcrossARestartAndAnswersWhoChangedWhat) {
    REQUIRE_PRIVATE_TMP();
    start({{{"name", "client_group"}, {"type", "string"}, {"default", "nogroup"}}});
    const auto keyA = ecKey();
    const auto keyB = ecKey();
    const auto keyC = ecKey();
    ASSERT_EQ(add(caPem("A", keyA.get()), "root_a").first, 0u);
    const json before = details();
    const std::string storeId = before["store_id"];
    EXPECT_EQ(storeId.size(), 36u);

    // A reader of the client group is refused, and that is journaled too.
    const fs::path readable = "/tmp/journal_root_b.pem";
    ev_test::writeFile(readable, caPem("B", keyB.get()));
    fs::permissions(readable, fs::perms(0644));
    const auto refused =
        ctl({"add", "--domain", "csms", "root_b", readable.string()}, /*asNobody=*/true);
    EXPECT_EQ(refused.code, 1) << refused.out;
    ASSERT_EQ(add(caPem("C", keyC.get()), "root_c").first, 0u);
    EXPECT_EQ(remove(add(caPem("B", keyB.get()), "root_b").second), 0u);
    EXPECT_EQ(details()["generation"], 4);

    const json all = changes(0);
    EXPECT_EQ(all["store_id"], storeId);
    EXPECT_TRUE(all["complete"]);
    std::vector<std::string> rows;
    for (const auto& row : all["changes"]) {
        rows.push_back(row["operation"].get<std::string>() + " " + row["name"].get<std::string>() +
                       " " + row["result"].get<std::string>() +
                       " uid=" + std::to_string(row["uid"].get<int>()));
        EXPECT_GT(row["pid"].get<int>(), 0);
        EXPECT_EQ(row["domain"], "csms");
    }
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "add root_a success uid=0", "add root_b not_authorized uid=65534",
                        "add root_c success uid=0", "add root_b success uid=0",
                        "remove root_b success uid=0"}));
    // A caller that saw generation 2 missed exactly the last two changes.
    const json missed = changes(2);
    ASSERT_EQ(missed["changes"].size(), 2u);
    EXPECT_EQ(missed["changes"][0]["generation"], 3);
    EXPECT_EQ(missed["changes"][1]["operation"], "remove");

    restart();
    const json after = details();
    EXPECT_EQ(after["generation"], 4);
    EXPECT_EQ(after["store_id"], storeId);
    EXPECT_EQ(changes(0)["changes"].size(), 5u);
    const json ahead = changes(5);
    EXPECT_FALSE(ahead["complete"]);
    EXPECT_TRUE(ahead["changes"].empty());

    const auto printed = ctl({"journal", "--since", "3"});
    EXPECT_EQ(printed.code, 0);
    EXPECT_NE(printed.out.find("4 "), std::string::npos) << printed.out;
    EXPECT_NE(printed.out.find(" remove domain=csms id="), std::string::npos) << printed.out;
    EXPECT_EQ(ctl({"journal", "--verify"}).code, 0);

    // A row edited by hand breaks the chain at that row.
    {
        ev_common::Database database;
        ASSERT_TRUE(database.open(sandbox_->stateDatabase().string()));
        auto edit = database.createQuery("UPDATE journal SET uid = 1000 WHERE seq = 2;");
        ASSERT_TRUE(edit && edit->execute());
    }
    const auto verified = ctl({"journal", "--verify"});
    EXPECT_EQ(verified.code, 1);
    EXPECT_NE(verified.out.find("journal row 2 "), std::string::npos) << verified.out;
}

TEST_F(Journal, TrimsToItsLimitAndSaysTheOldRowsAreGone) {
    REQUIRE_PRIVATE_TMP();
    start({{{"name", "journal_max_entries"}, {"type", "uint"}, {"default", 5}}});
    for (int i = 0; i < 8; ++i) {
        const auto key = ecKey();
        ASSERT_EQ(add(caPem("R" + std::to_string(i), key.get()), "r" + std::to_string(i)).first,
                  0u);
    }
    const json all = changes(0);
    EXPECT_FALSE(all["complete"]);
    EXPECT_LE(all["changes"].size(), 5u);
    bool trimmed = false;
    for (const auto& row : all["changes"])
        trimmed = trimmed || row["operation"] == "journal_trimmed";
    EXPECT_TRUE(trimmed) << all.dump(1);
    EXPECT_TRUE(changes(8)["complete"]);
    EXPECT_EQ(ctl({"journal", "--verify"}).code, 0);
}

TEST_F(Journal, AnIntermediateKeepsItsHashDataOnceItsRootHasGoneAlsoAfterARestart) {
    REQUIRE_PRIVATE_TMP();
    start();
    const auto rootKey = ecKey();
    const auto subKey = ecKey();
    const auto root = add(caPem("Root", rootKey.get()), "root", "system");
    const auto sub = add(caPem("Sub", subKey.get(), rootKey.get(), "Root"), "sub", "system");
    ASSERT_EQ(root.first, 0u);
    ASSERT_EQ(sub.first, 0u);
    const auto ocppOf = [&] {
        const json all = details();
        for (const auto& entry : all["certificates"]) {
            if (entry["name"] == "sub") return entry["ocpp"];
        }
        return json();
    };
    const json ocpp = ocppOf();
    ASSERT_TRUE(ocpp.is_array()) << ocpp;
    EXPECT_EQ(remove(root.second), 0u);
    EXPECT_EQ(ocppOf(), ocpp);

    restart();
    EXPECT_EQ(ocppOf(), ocpp);
    const json& sha256 = ocpp[0];
    Reader in{ask(6, str(sha256["hash_algorithm"]) + str(sha256["issuer_name_hash"]) +
                         str(sha256["issuer_key_hash"]) + str(sha256["serial_number"]))};
    EXPECT_EQ(in.u32(), 0u) << daemon_->output();
    EXPECT_TRUE(ocppOf().is_null());
}

TEST_F(Journal, AChangeThatCannotBeJournaledFailsAndLeavesTheFilesAsTheyWere) {
    REQUIRE_PRIVATE_TMP();
    const fs::path folder = sandbox_->stateDatabase().parent_path();
    fs::create_directories(folder);
    ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=512k"), 0);
    start();
    const auto first = ecKey();
    ASSERT_EQ(add(caPem("First", first.get()), "first").first, 0u);
    {
        std::ofstream filler(folder / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }
    const auto snapshot = [&] {
        return std::make_pair(ev_test::snapshotFolder(sandbox_->domainsDir()),
                              ev_test::snapshotFolder(sandbox_->domainsDir() / "csms"));
    };
    const auto files = snapshot();
    const auto second = ecKey();
    EXPECT_EQ(add(caPem("Second", second.get()), "second").first, 4u);  // internal_error
    EXPECT_EQ(snapshot(), files);
    EXPECT_EQ(details()["generation"], 1);

    fs::remove(folder / "filler");
    EXPECT_EQ(add(caPem("Second", second.get()), "second").first, 0u);
    EXPECT_EQ(changes(1)["changes"].size(), 2u);  // the refusal, then the addition
    client_.reset();
    daemon_->stop();
    daemon_.reset();
    ::umount2(folder.c_str(), MNT_DETACH);
}

// Changes that the service was cut off in the middle of, by kill -9: after
// the restart every certificate the journal says is there is there, and no
// other.
TEST_F(Journal, AgreesWithTheFilesAfterAKillInTheMiddleOfChanges) {
    REQUIRE_PRIVATE_TMP();
    start();
    std::vector<std::string> pems;
    for (int i = 0; i < 20; ++i) {
        const auto key = ecKey();
        pems.push_back(caPem("K" + std::to_string(i), key.get()));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread changer([&] {
        RawClient client;
        for (int i = 0; i < 40 && !stop; ++i) {
            const std::string name = "k" + std::to_string(i % 20);
            const std::string domain = i % 3 == 0 ? "csms" : "system";
            if (client.exchange(str("e2e") + u32(7) + str(domain) + str(pems[i % 20]) + str(name),
                                std::chrono::seconds(5))) {
                ++answered;
            }
        }
    });
    // Some changes made, the next one under way.
    EXPECT_TRUE(ev_test::waitUntil([&] { return answered >= 5; }, std::chrono::seconds(120)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    daemon_->process().signal(SIGKILL);
    daemon_->wait();
    stop = true;
    changer.join();
    daemon_.reset();
    start();

    std::map<std::pair<std::string, std::string>, std::string> journaled;
    std::uint64_t newest = 0;
    const json all = changes(0);
    for (const auto& row : all["changes"]) {
        EXPECT_NE(row["result"], "pending");
        if (row["result"] != "success" || row["operation"] == "journal_trimmed") continue;
        newest = std::max<std::uint64_t>(newest, row["generation"]);
        const auto key =
            std::make_pair(row["domain"].get<std::string>(), row["name"].get<std::string>());
        const std::string operation = row["operation"];
        if (operation == "remove" || operation == "vanished") {
            journaled.erase(key);
        } else {
            journaled[key] = row["sha256"];
        }
    }
    std::map<std::pair<std::string, std::string>, std::string> held;
    const json listed = details();
    for (const auto& entry : listed["certificates"]) {
        if (!entry["built_in"].get<bool>())
            held[{entry["domain"], entry["name"]}] = entry["sha256"];
    }
    EXPECT_EQ(journaled, held) << daemon_->output();
    EXPECT_FALSE(held.empty());
    EXPECT_EQ(listed["generation"].get<std::uint64_t>(), newest);
}

}  // namespace
