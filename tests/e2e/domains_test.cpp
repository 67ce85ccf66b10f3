// Trust domains end to end: the real daemon with the domains "csms" and "v2g"
// beside the system store, in the sandbox. A root added to a domain lands in
// its folder (with a hash link a TLS client can verify against) and in its
// bundle only; every refusal leaves the domain's files exactly as they were;
// removal by identifier and by OCPP hash data works in a domain; a restart
// finds every domain as it was; the folder verifies what its remaining roots
// signed; a bad domain name or a domains folder overlapping the system store's
// folders stops the start.
#include "daemon_harness.hpp"
#include "folder_snapshot.hpp"
#include "test_pki.hpp"

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

const Extensions kCa = {{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"}};

std::string request(std::uint32_t operation, const std::string& parameters = {}) {
    return str("e2e") + u32(operation) + parameters;
}

// A self-signed CA on `key`, with the profile's dates and extensions.
std::string root(const std::string& commonName, EVP_PKEY* key, CertProfile profile = {}) {
    profile.subject = {{"O", "Domain Tests"}, {"CN", commonName}};
    profile.extensions.insert(profile.extensions.begin(), kCa.begin(), kCa.end());
    profile.subjectKey = key;
    return toPem(makeCertificate(profile).get());
}

bool runs(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// What `openssl verify` says of a leaf of the root "O=Domain Tests, CN=<issuer>"
// on `key`, with the folder as CApath.
bool folderVerifiesLeafOf(const fs::path& folder, const std::string& issuer, EVP_PKEY* key,
                          const fs::path& scratch) {
    const KeyPtr leafKey = ecKey();
    CertProfile leaf;
    leaf.subject = {{"CN", "leaf of " + issuer}};
    leaf.issuer = {{"O", "Domain Tests"}, {"CN", issuer}};
    leaf.extensions = {{NID_basic_constraints, "critical,CA:FALSE"}};
    leaf.subjectKey = leafKey.get();
    leaf.signingKey = key;
    const fs::path file = scratch / "leaf.pem";
    ev_test::writeFile(file, toPem(makeCertificate(leaf).get()));
    return runs("openssl verify -no-CAfile -no-CAstore -CApath " + folder.string() + " " +
                file.string());
}

// A sandbox whose "cyber.domains_path" is `path`.
void setDomainsPath(const Sandbox& sandbox, const fs::path& path) {
    json parameters = json::parse(sandbox.defaultParameters());
    for (auto& parameter : parameters) {
        if (parameter["name"] == "domains_path") parameter["default"] = path.string();
    }
    sandbox.writeDescription(parameters.dump());
}

class Domains : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
        SandboxOptions options;
        options.domains = {"csms", "v2g"};
        sandbox_ = std::make_unique<Sandbox>(options);
        json parameters = json::parse(sandbox_->defaultParameters());
        parameters.push_back(
            {{"name", "domain_max_certificates"}, {"type", "uint"}, {"default", 2}});
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

    fs::path folder(const std::string& domain) const { return sandbox_->domainsDir() / domain; }
    fs::path bundle(const std::string& domain) const {
        return sandbox_->domainsDir() / (domain + ".pem");
    }

    // Status and identifier of an addition into `domain`.
    std::pair<std::uint32_t, std::uint32_t> add(const std::string& domain, const std::string& pem,
                                                const std::string& name) {
        const std::string reply =
            client_->exchange(request(7, str(domain) + str(pem) + str(name))).value_or("");
        EXPECT_EQ(reply.size(), 8u) << daemon_->output();
        if (reply.size() != 8u) return {~0u, ~0u};
        Reader in{reply};
        const std::uint32_t status = in.u32();
        return {status, in.u32()};
    }
    std::uint32_t addOrFail(const std::string& domain, const std::string& pem,
                            const std::string& name) {
        const auto [status, id] = add(domain, pem, name);
        EXPECT_EQ(status, 0u) << name << "\n" << daemon_->output();
        return id;
    }
    std::uint32_t status(const std::string& frame) {
        const std::string reply = client_->exchange(frame).value_or("");
        EXPECT_EQ(reply.size(), 4u) << daemon_->output();
        return reply.size() == 4u ? Reader{reply}.u32() : ~0u;
    }
    json details() {
        const std::string reply = client_->exchange(request(5)).value_or("");
        Reader in{reply};
        return json::parse(in.str());
    }

    // Every file of the domains, links included.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const std::string domain : {"csms", "v2g"}) {
            for (const auto& [name, entry] : ev_test::snapshotFolder(folder(domain)))
                all[domain + "/" + name] = entry;
            all[domain + ".pem"] = ev_test::readFile(bundle(domain));
        }
        return all;
    }

    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<RawClient> client_;
};

}  // namespace

TEST_F(Domains, ACsmsRootServesTlsClientsOfItsDomainOnlyAndTheSystemStoreIsAsBefore) {
    const KeyPtr rootKey = ecKey();
    const std::string csmsRoot = root("CSMS Root", rootKey.get());
    const std::uint32_t id = addOrFail("csms", csmsRoot, "csms_root");
    EXPECT_TRUE(daemon_->hasLine("Certificate addition in TrustList of domain csms : id=" +
                                 std::to_string(id) + " CN=CSMS Root"));
    EXPECT_EQ(ev_test::readFile(folder("csms") / "csms_root.crt"), csmsRoot);
    EXPECT_EQ(ev_test::readFile(bundle("csms")), csmsRoot);
    EXPECT_EQ(ev_test::readFile(bundle("v2g")), "");
    EXPECT_FALSE(fs::exists(sandbox_->systemDir() / "csms_root.pem"));
    EXPECT_FALSE(fs::exists(sandbox_->userDir() / "csms_root.crt"));
    EXPECT_EQ(fs::status(folder("csms")).permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(fs::status(bundle("csms")).permissions() & fs::perms::all, fs::perms(0644));

    // A TLS client pointed at the folder (CApath) or the bundle (CAfile)
    // accepts a server certificate the root signed; the system store does not.
    const KeyPtr leafKey = ecKey();
    CertProfile leaf;
    leaf.subject = {{"CN", "csms.example"}};
    leaf.issuer = {{"O", "Domain Tests"}, {"CN", "CSMS Root"}};
    leaf.extensions = {{NID_basic_constraints, "critical,CA:FALSE"}};
    leaf.subjectKey = leafKey.get();
    leaf.signingKey = rootKey.get();
    const fs::path leafFile = sandbox_->root() / "leaf.pem";
    ev_test::writeFile(leafFile, toPem(makeCertificate(leaf).get()));
    EXPECT_TRUE(runs("openssl verify -no-CAfile -no-CAstore -CApath " + folder("csms").string() +
                     " " + leafFile.string()));
    EXPECT_TRUE(runs("openssl verify -no-CApath -no-CAstore -CAfile " + bundle("csms").string() +
                     " " + leafFile.string()));
    EXPECT_FALSE(runs("openssl verify -no-CAfile -no-CAstore -CApath " +
                      sandbox_->systemDir().string() + " " + leafFile.string()));

    // The same root in "system" goes through the update tool, as always.
    const auto [systemStatus, systemId] = add("system", csmsRoot, "csms_root");
    EXPECT_EQ(systemStatus, 0u);
    EXPECT_TRUE(fs::exists(sandbox_->systemDir() / "csms_root.pem"));
    EXPECT_TRUE(daemon_->hasLine(
        "Certificate addition in TrustList : id=" + std::to_string(systemId) + " CN=CSMS Root"));

    // The details list the system store first, then the domains.
    const json listed = details();
    std::vector<std::string> domains;
    for (const auto& entry : listed["certificates"]) domains.push_back(entry["domain"]);
    ASSERT_FALSE(domains.empty());
    EXPECT_EQ(domains.front(), "system");
    EXPECT_EQ(domains.back(), "csms");
    EXPECT_EQ(std::count(domains.begin(), domains.end(), "csms"), 1);
}

TEST_F(Domains, EveryRefusalLeavesTheDomainsFilesByteForByte) {
    const KeyPtr a = ecKey();
    const KeyPtr b = ecKey();
    const KeyPtr v = ecKey();
    addOrFail("csms", root("CSMS A", a.get()), "csms_a");
    addOrFail("csms", root("CSMS B", b.get()), "csms_b");
    addOrFail("v2g", root("V2G Root", v.get()), "v2g_root");
    const auto before = files();

    const KeyPtr key = ecKey();
    CertProfile leaf;
    leaf.subject = {{"CN", "leaf"}};
    leaf.extensions = {{NID_basic_constraints, "critical,CA:FALSE"}};
    leaf.subjectKey = key.get();
    CertProfile intermediate;
    intermediate.subject = {{"CN", "Sub CA"}};
    intermediate.issuer = {{"O", "Domain Tests"}, {"CN", "CSMS A"}};
    intermediate.extensions = kCa;
    intermediate.subjectKey = key.get();
    // Named as issued by CSMS A, not signed with its key.
    intermediate.signingKey = b.get();
    CertProfile cannotSign;
    cannotSign.subject = {{"CN", "Signs nothing"}};
    cannotSign.extensions = {kCa.front(), {NID_key_usage, "critical,digitalSignature"}};
    cannotSign.subjectKey = key.get();
    CertProfile expired;
    expired.notAfter = "20250101000000Z";
    CertProfile early;
    early.notBefore = "20330101000000Z";
    CertProfile large;
    large.extensions = {{NID_netscape_comment, std::string(700, 'x')}};

    struct Refusal {
        const char* what;
        std::string domain;
        std::string pem;
        std::uint32_t status;
        std::string line;
    };
    const std::vector<Refusal> refusals = {
        {"unknown domain", "mo", root("MO Root", key.get()), 2, "Unknown trust domain : mo"},
        {"leaf", "csms", toPem(makeCertificate(leaf).get()), 1,
         "[ca-store] Unable to add certificate x to domain csms : not a CA certificate (no "
         "basicConstraints CA:TRUE)"},
        {"keyUsage without keyCertSign", "csms", toPem(makeCertificate(cannotSign).get()), 1,
         "[ca-store] Unable to add certificate x to domain csms : cannot sign certificates "
         "(keyUsage without keyCertSign)"},
        {"intermediate", "csms", toPem(makeCertificate(intermediate).get()), 1,
         "[ca-store] Unable to add certificate x to domain csms : neither self-signed nor "
         "signed by a root of the domain"},
        {"expired", "csms", root("Old", key.get(), expired), 1,
         "[ca-store] Unable to add certificate x to domain csms : expired on "
         "2025-01-01T00:00:00Z"},
        {"not yet valid", "csms", root("Early", key.get(), early), 1,
         "[ca-store] Unable to add certificate x to domain csms : not valid before "
         "2033-01-01T00:00:00Z"},
        {"RSA V2G root", "v2g", root("RSA", rsaKey()), 1,
         "[ca-store] Unable to add certificate x to domain v2g : fits neither ISO 15118-2 (not "
         "an ECDSA P-256 key) nor ISO 15118-20 (neither an ECDSA secp521r1 nor an Ed448 key)"},
        {"full domain", "csms", root("CSMS C", key.get()), 6,
         "[ca-store] Unable to add certificate x to domain csms : the domain already holds "
         "its maximum of 2 certificates"},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        const auto [status, id] = add(refusal.domain, refusal.pem, "x");
        EXPECT_EQ(status, refusal.status);
        EXPECT_EQ(id, 0u);
        EXPECT_TRUE(daemon_->waitForLine(refusal.line)) << daemon_->output();
        EXPECT_EQ(files(), before);
    }
    const auto [status, id] = add("v2g", root("Large", key.get(), large), "x");
    EXPECT_EQ(status, 1u);
    EXPECT_TRUE(
        daemon_->waitForLine(" bytes of DER, more than 800) nor ISO 15118-20 (neither an "
                             "ECDSA secp521r1 nor an Ed448 key)"))
        << daemon_->output();
    EXPECT_EQ(files(), before);
    EXPECT_FALSE(fs::exists(sandbox_->userDir() / "x.crt"));
}

TEST_F(Domains, RemovalByIdAndByHashWorkInADomainAndARestartFindsEveryDomainAsItWas) {
    const KeyPtr a = ecKey();
    const KeyPtr b = ecKey();
    const KeyPtr v = ecKey();
    const std::string first = root("CSMS A", a.get());
    const std::string second = root("CSMS B", b.get());
    addOrFail("csms", second, "csms_b");
    addOrFail("csms", first, "csms_a");
    addOrFail("v2g", root("V2G Root", v.get()), "v2g_root");
    const auto before = files();
    json listed = details();
    std::map<std::string, std::string> fingerprints;
    for (const auto& entry : listed["certificates"]) {
        if (entry["domain"] != "system")
            fingerprints[entry["domain"].get<std::string>() + "/" +
                         entry["name"].get<std::string>()] = entry["sha256"];
    }
    ASSERT_EQ(fingerprints.size(), 3u);

    restart();
    EXPECT_EQ(files(), before);
    listed = details();
    std::map<std::string, std::string> found;
    std::map<std::string, json> byName;
    for (const auto& entry : listed["certificates"]) {
        if (entry["domain"] == "system") continue;
        const std::string key =
            entry["domain"].get<std::string>() + "/" + entry["name"].get<std::string>();
        found[key] = entry["sha256"];
        byName[key] = entry;
    }
    EXPECT_EQ(found, fingerprints);

    // By identifier in "csms": its file, link and bundle part go.
    const std::uint32_t id = byName["csms/csms_a"]["id"];
    EXPECT_EQ(status(request(1, u32(id))), 0u);
    EXPECT_FALSE(fs::exists(folder("csms") / "csms_a.crt"));
    EXPECT_EQ(ev_test::readFile(bundle("csms")), second);
    EXPECT_TRUE(runs("test $(find " + folder("csms").string() + " -type l | wc -l) -eq 1"));

    // By OCPP hash data in "v2g".
    const json& hash = byName["v2g/v2g_root"]["ocpp"][0];
    EXPECT_EQ(status(request(6, str(hash["hash_algorithm"]) + str(hash["issuer_name_hash"]) +
                                    str(hash["issuer_key_hash"]) + str(hash["serial_number"]))),
              0u);
    EXPECT_FALSE(fs::exists(folder("v2g") / "v2g_root.crt"));
    EXPECT_EQ(ev_test::readFile(bundle("v2g")), "");
    EXPECT_TRUE(daemon_->hasLine("[ca-store] Certificate removed from domain v2g : id = " +
                                 std::to_string(byName["v2g/v2g_root"]["id"].get<int>()) +
                                 ", name = v2g_root"));
}

TEST_F(Domains, RemovingOneOfTwoRootsOfASubjectLeavesTheOtherVerifiableAlsoAfterARestart) {
    const KeyPtr a = ecKey();
    const KeyPtr b = ecKey();
    const std::uint32_t first = addOrFail("csms", root("Same", a.get()), "same_a");
    const std::uint32_t second = addOrFail("csms", root("Same", b.get()), "same_b");
    std::string atZero;
    for (const auto& entry : fs::directory_iterator(folder("csms"))) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 10 && name.substr(8) == ".0")
            atZero = fs::read_symlink(entry.path()).string();
    }
    ASSERT_TRUE(atZero == "same_a.crt" || atZero == "same_b.crt") << atZero;

    const bool aAtZero = atZero == "same_a.crt";
    EXPECT_EQ(status(request(1, u32(aAtZero ? first : second))), 0u);
    EVP_PKEY* const remaining = aAtZero ? b.get() : a.get();
    const std::string noDanglingLink =
        "test -z \"$(find " + folder("csms").string() + " -xtype l)\"";
    EXPECT_TRUE(folderVerifiesLeafOf(folder("csms"), "Same", remaining, sandbox_->root()));
    EXPECT_TRUE(runs(noDanglingLink));

    restart();
    EXPECT_TRUE(folderVerifiesLeafOf(folder("csms"), "Same", remaining, sandbox_->root()));
    EXPECT_TRUE(runs(noDanglingLink));
}

TEST(DomainsConfiguration, ADomainsPathOverlappingTheSystemOrTheUserFolderStopsTheStart) {
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    // The longest name a domain may have.
    const std::string name(64, 'd');
    enum class Overlap { none, system, user };
    // The domains' path below the sandbox, and what it overlaps.
    const std::vector<std::pair<std::string, Overlap>> cases = {
        {"etc-certs", Overlap::system},
        {"etc-certs/domains", Overlap::system},
        {"alias/domains", Overlap::system},
        {"", Overlap::system},
        {"user", Overlap::user},
        {"user/sub/../domains", Overlap::user},
        {"etc-certs-domains", Overlap::none},
    };
    for (const auto& [relative, overlap] : cases) {
        SCOPED_TRACE(relative);
        SandboxOptions options;
        options.domains = {name};
        Sandbox sandbox(options);
        fs::create_directories(sandbox.systemDir());
        fs::create_symlink(sandbox.systemDir(), sandbox.root() / "alias");
        const fs::path path = sandbox.root() / relative;
        setDomainsPath(sandbox, path);
        Daemon daemon(sandbox);
        if (overlap == Overlap::none) {
            EXPECT_TRUE(daemon.waitReady()) << daemon.output();
            EXPECT_EQ(daemon.stop(), 0);
            EXPECT_TRUE(fs::is_directory(path / name));
            continue;
        }
        const std::string line =
            "[cybersecurity_service] Trust domains path " + path.string() +
            " in cyber.domains_path overlaps " +
            (overlap == Overlap::system ? "the system CA folder " + sandbox.systemDir().string() +
                                              " in cyber.builtin_ca_certs_path"
                                        : "the user CA folder " + sandbox.userDir().string() +
                                              " in cyber.user_ca_certs_path");
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine(line)) << daemon.output();
        EXPECT_FALSE(fs::exists(path / name));
    }
}

TEST(DomainsConfiguration, ABadDomainNameStopsTheStartWithALineNamingIt) {
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"csms", "V2G"},
         "[cybersecurity_service] Invalid trust domain name 'V2G' in cyber.domains: only a-z, "
         "0-9, '_' and '-' are allowed"},
        {{"../etc"},
         "[cybersecurity_service] Invalid trust domain name '../etc' in cyber.domains: only "
         "a-z, 0-9, '_' and '-' are allowed"},
        {{"system"},
         "[cybersecurity_service] Trust domain 'system' in cyber.domains is the system store's "
         "name"},
        {{"csms", "csms"},
         "[cybersecurity_service] Trust domain 'csms' is named twice in "
         "cyber.domains"},
        {{"csms", std::string(65, 'd')},
         "[cybersecurity_service] Trust domain name '" + std::string(65, 'd') +
             "' in cyber.domains is 65 characters long: at most 64 are allowed"},
    };
    for (const auto& [domains, line] : cases) {
        SCOPED_TRACE(line);
        SandboxOptions options;
        options.domains = domains;
        Sandbox sandbox(options);
        Daemon daemon(sandbox);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine(line)) << daemon.output();
        EXPECT_FALSE(fs::exists(sandbox.domainsDir()));
    }
}
