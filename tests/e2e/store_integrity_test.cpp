// Store integrity end to end: the real daemon on a sandbox whose update tool is
// the real one behind a switch that makes it fail (switchable_tool.hpp). After every refused or
// failed change the listing, every certificate by identifier and by name, and
// both folders are exactly as they were, and the daemon goes on serving.
#include "daemon_harness.hpp"
#include "folder_snapshot.hpp"
#include "switchable_tool.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

using namespace ev_e2e;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = enterPrivateTmp();

std::string request(std::uint32_t operation, const std::string& parameters = {}) {
    return str("ab") + u32(operation) + parameters;
}

std::string privateKeyPem() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

class StoreIntegrity : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
        const fs::path tool = tools_ / "switchable-update-tool";
        ev_test::writeSwitchableTool(tool, "/usr/sbin/update-ca-certificates", failSwitch());
        SandboxOptions options;
        options.updateCommand = tool.string();
        options.domains = {"csms", "v2g"};
        sandbox_ = std::make_unique<Sandbox>(options);
    }

    void startDaemon() {
        daemon_ = std::make_unique<Daemon>(*sandbox_);
        ASSERT_TRUE(daemon_->waitReady()) << daemon_->output();
        client_ = std::make_unique<RawClient>();
    }

    fs::path failSwitch() const { return tools_ / "fail"; }
    fs::path userFile(const std::string& name) const {
        return sandbox_->userDir() / (name + ".crt");
    }
    std::string spare(std::size_t index) const {
        return ev_test::readFile(sandbox_->spareCertificate(index));
    }

    // The reply to an addition: status and identifier.
    std::pair<std::uint32_t, std::uint32_t> add(const std::string& text, const std::string& name) {
        const std::string reply = client_->exchange(request(0, str(text) + str(name))).value_or("");
        EXPECT_EQ(reply.size(), 8u) << daemon_->output();
        if (reply.size() != 8u) return {~0u, ~0u};
        Reader in{reply};
        const std::uint32_t status = in.u32();
        return {status, in.u32()};
    }

    std::uint32_t addToDomain(const std::string& domain, const std::string& text,
                              const std::string& name) {
        const std::string reply =
            client_->exchange(request(7, str(domain) + str(text) + str(name))).value_or("");
        return reply.size() == 8u ? Reader{reply}.u32() : ~0u;
    }

    std::uint32_t status(const std::string& frame) {
        const std::string reply = client_->exchange(frame).value_or("");
        EXPECT_EQ(reply.size(), 4u) << daemon_->output();
        return reply.size() == 4u ? Reader{reply}.u32() : ~0u;
    }

    // The daemon's lines holding every one of `parts`.
    std::vector<std::string> linesWith(const std::vector<std::string>& parts) const {
        std::vector<std::string> found;
        std::istringstream out(daemon_->output());
        for (std::string line; std::getline(out, line);) {
            if (std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
                    return line.find(part) != std::string::npos;
                }))
                found.push_back(line);
        }
        return found;
    }

    json details() {
        const std::string reply = client_->exchange(request(5)).value_or("");
        Reader in{reply};
        return json::parse(in.str());
    }

    std::uint32_t remove(std::uint32_t id) {
        const std::string reply = client_->exchange(request(1, u32(id))).value_or("");
        EXPECT_EQ(reply.size(), 4u) << daemon_->output();
        return reply.size() == 4u ? Reader{reply}.u32() : ~0u;
    }

    // Everything a client or the system sees of the store.
    std::map<std::string, std::string> state() {
        std::map<std::string, std::string> all;
        const std::string listing = client_->exchange(request(2)).value_or("");
        Reader in{listing};
        const std::uint32_t count = listing.size() >= 4 ? in.u32() : 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t id = in.u32();
            const std::string name = in.str();
            const bool builtIn = in.boolean();
            const std::string subject = in.str();
            const std::uint32_t notAfter = in.u32();
            in.str();
            in.str();
            all["list " + std::to_string(id)] = name + (builtIn ? " built-in " : " user ") +
                                                subject + " " + std::to_string(notAfter);
            all["id " + std::to_string(id)] =
                client_->exchange(request(3, u32(id))).value_or("<no reply>");
            all["name " + name] = client_->exchange(request(4, str(name))).value_or("<no reply>");
        }
        for (const auto& [name, entry] : ev_test::snapshotFolder(sandbox_->userDir()))
            all["user/" + name] = entry;
        for (const auto& [name, entry] : ev_test::snapshotFolder(sandbox_->systemDir()))
            all["system/" + name] = entry;
        for (const auto& [name, entry] : ev_test::snapshotFolder(sandbox_->domainsDir()))
            all["domains/" + name] = entry;
        for (const std::string domain : {"csms", "v2g"}) {
            for (const auto& [name, entry] :
                 ev_test::snapshotFolder(sandbox_->domainsDir() / domain))
                all[domain + "/" + name] = entry;
        }
        return all;
    }

    ev_test::TempDir tools_;
    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

}  // namespace

TEST_F(StoreIntegrity, AFailedRemovalKeepsTheCertificateThroughARestart) {
    startDaemon();
    const auto [status, id] = add(spare(0), "mine");
    ASSERT_EQ(status, 0u) << daemon_->output();
    const auto before = state();

    // The tool fails before its work, after it, and on the put-back too.
    for (const std::string failure : {"once", "after", "always"}) {
        ev_test::writeFile(failSwitch(), failure);
        EXPECT_EQ(remove(id), 3u) << failure;
        fs::remove(failSwitch());
        EXPECT_EQ(state(), before) << failure << "\n" << daemon_->output();
    }
    EXPECT_TRUE(daemon_->hasLine("[error] Error removing certificate id=" + std::to_string(id) +
                                 " from TrustList. status = internal_error"));

    EXPECT_EQ(daemon_->stop(), 0);
    startDaemon();
    EXPECT_EQ(client_->exchange(request(4, str("mine"))).value_or(""), str(spare(0)));
}

TEST_F(StoreIntegrity, RefusedAdditionsChangeNothingAndSayWhy) {
    const std::string pem = spare(0);
    const std::string key = privateKeyPem();
    const std::string builtIn = sandbox_->builtinNames().front();
    const std::string longName(201, 'n');
    ASSERT_EQ(::mkfifo(userFile("fifo").c_str(), 0644), 0);
    fs::create_directories(userFile("folder"));
    startDaemon();
    const auto before = state();

    struct Case {
        std::string text, name;
        std::uint32_t status;
        std::string line;
    };
    const std::string writeError = " : unable to write certificate in the user store directory => ";
    const std::vector<Case> cases = {
        {key + pem, "keyfirst", 1,
         "[warning] [ca-store] Unable to add certificate keyfirst : the text holds a private key"},
        {pem + key, "keyafter", 1,
         "[warning] [ca-store] Unable to add certificate keyafter : the text holds a private key"},
        {pem, builtIn, 3,
         "[error] [ca-store] Unable to add certificate " + builtIn +
             " : a built-in certificate has the same name"},
        {pem, longName, 2,
         "[error] [ca-store] Unable to add certificate " + longName +
             " : the name is longer than 200 characters"},
        {pem, "fifo", 4,
         "[error] [ca-store] Unable to add certificate fifo" + writeError +
             userFile("fifo").string()},
        {pem, "folder", 4,
         "[error] [ca-store] Unable to add certificate folder" + writeError +
             userFile("folder").string()},
    };
    for (const auto& c : cases) {
        const auto [status, id] = add(c.text, c.name);
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(id, 0u) << c.name;
        EXPECT_TRUE(daemon_->waitForLine(c.line)) << daemon_->output();
        EXPECT_EQ(state(), before) << c.name;
    }
    const std::string output = daemon_->output();
    EXPECT_EQ(output.find(key.substr(key.find('\n') + 1, 40)), std::string::npos);
}

TEST_F(StoreIntegrity, AFailedReplacementPutsALinkedCertificateBackAsTheSameLink) {
    const fs::path privateFile = tools_ / "private.crt";
    ev_test::writeFile(privateFile, spare(0));
    fs::permissions(privateFile, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(privateFile, userFile("linked"));
    startDaemon();
    const auto before = state();
    ASSERT_EQ(before.at("name linked"), str(spare(0))) << daemon_->output();

    for (const std::string failure : {"after", "always"}) {
        ev_test::writeFile(failSwitch(), failure);
        EXPECT_EQ(add(spare(1), "linked").first, 4u) << failure;
        fs::remove(failSwitch());
        EXPECT_EQ(state(), before) << failure << "\n" << daemon_->output();
    }
    EXPECT_EQ(fs::read_symlink(userFile("linked")), privateFile);
    EXPECT_EQ(fs::status(privateFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(StoreIntegrity, StartUpRemovesLeftoverTemporariesOfTheStoreOnly) {
    const std::string pem = spare(0);
    ev_test::writeFile(userFile("mine"), pem);
    ev_test::writeFile(sandbox_->userDir() / ".mine.crt.Ab12Z9", pem.substr(0, 100));
    ev_test::writeFile(sandbox_->userDir() / ".mine.crt.Ab12Z", "not ours");
    ev_test::writeFile(sandbox_->userDir() / "notes.txt", "not ours");
    startDaemon();
    EXPECT_TRUE(daemon_->hasLine("[info] [ca-store] Removed leftover temporary file " +
                                 (sandbox_->userDir() / ".mine.crt.Ab12Z9").string()))
        << daemon_->output();
    const auto user = ev_test::snapshotFolder(sandbox_->userDir());
    EXPECT_EQ(user.size(), 3u);
    EXPECT_EQ(user.count(".mine.crt.Ab12Z9"), 0u);
    EXPECT_EQ(client_->exchange(request(4, str("mine"))).value_or(""), str(pem));
}

TEST_F(StoreIntegrity, OneRemovalByHashTakesEveryCopyOrNone) {
    const x509_test::KeyPtr key = x509_test::ecKey();
    x509_test::CertProfile profile;
    profile.subject = {{"O", "Store Integrity"}, {"CN", "Shared Root"}};
    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    profile.subjectKey = key.get();
    const std::string pem = x509_test::toPem(x509_test::makeCertificate(profile).get());
    // The csms copy is the domain's only root: it may go here.
    json parameters = json::parse(sandbox_->defaultParameters());
    parameters.push_back(
        {{"name", "keep_last_root"}, {"type", "string[]"}, {"default", json::array()}});
    sandbox_->writeDescription(parameters.dump());
    startDaemon();
    ASSERT_EQ(add(pem, "shared").first, 0u) << daemon_->output();
    ASSERT_EQ(addToDomain("csms", pem, "shared"), 0u) << daemon_->output();
    ASSERT_EQ(addToDomain("v2g", pem, "shared_v2g"), 0u) << daemon_->output();

    json listed = details();
    json hash;
    std::map<std::string, std::string> copies;
    for (const auto& entry : listed["certificates"]) {
        if (entry["built_in"]) continue;
        copies[entry["domain"].get<std::string>()] = std::to_string(entry["id"].get<int>());
        hash = entry["ocpp"][0];
    }
    ASSERT_EQ(copies.size(), 3u) << listed.dump();
    const std::string byHash =
        request(6, str(hash["hash_algorithm"]) + str(hash["issuer_name_hash"]) +
                       str(hash["issuer_key_hash"]) + str(hash["serial_number"]));
    const auto before = state();
    const std::uint64_t generation = listed["generation"];
    const std::vector<std::string> removedLine = {"[audit] operation=remove", "result=success"};
    const std::vector<std::string> eventLine = {"Published certificate event removed"};

    // The system store, removed last, fails: the domains get their copies back.
    for (const std::string failure : {"once", "after", "always"}) {
        ev_test::writeFile(failSwitch(), failure);
        EXPECT_EQ(status(byHash), 3u) << failure;
        fs::remove(failSwitch());
        EXPECT_EQ(state(), before) << failure << "\n" << daemon_->output();
        EXPECT_EQ(details()["generation"], generation) << failure;
    }
    EXPECT_TRUE(linesWith(removedLine).empty()) << daemon_->output();
    EXPECT_TRUE(linesWith(eventLine).empty());

    // Then one operation takes all three, with a line and an event for each.
    EXPECT_EQ(status(byHash), 0u) << daemon_->output();
    EXPECT_FALSE(fs::exists(userFile("shared")));
    EXPECT_FALSE(fs::exists(sandbox_->systemDir() / "shared.pem"));
    EXPECT_FALSE(fs::exists(sandbox_->domainsDir() / "csms" / "shared.crt"));
    EXPECT_FALSE(fs::exists(sandbox_->domainsDir() / "v2g" / "shared_v2g.crt"));
    EXPECT_EQ(ev_test::readFile(sandbox_->domainsDir() / "csms.pem"), "");
    EXPECT_EQ(ev_test::readFile(sandbox_->domainsDir() / "v2g.pem"), "");
    listed = details();
    for (const auto& entry : listed["certificates"]) EXPECT_TRUE(entry["built_in"]) << entry;
    EXPECT_EQ(listed["generation"], generation + 3);
    EXPECT_EQ(linesWith(removedLine).size(), 3u) << daemon_->output();
    EXPECT_EQ(linesWith(eventLine).size(), 3u);
    for (const auto& [domain, id] : copies) {
        const std::string where = domain == "system" ? "" : " domain=" + domain;
        EXPECT_EQ(linesWith({"[audit] operation=remove" + where + " name=", " id=" + id + " ",
                             "result=success"})
                      .size(),
                  1u)
            << domain;
        EXPECT_TRUE(daemon_->hasLine("Certificate id=" + id + " removed from TrustList")) << id;
    }
}
