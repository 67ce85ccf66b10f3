// The daemon started the way its shipped units start it, as far as that can
// be done without systemd: the restrictions (system call filter, capability
// bounding set, no new privileges, umask, descriptor limit, user) and the
// endpoints are read from deploy/systemd/, so the test follows the units when
// they change. The daemon gets the shipped configuration's access settings
// (a client group) and serves every operation under them, once on the
// sockets the socket unit would pass and once binding its endpoints itself.
#include "cybersecurity/cybersecurity_client.hpp"
#include "daemon_harness.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

using namespace ev_e2e;
namespace fs = std::filesystem;
namespace cyber = ev_charging_platform::cybersecurity;

namespace {

const bool g_privateTmp = enterPrivateTmp();

// Every value of every key of one section of a unit file, in order.
using UnitSection = std::map<std::string, std::vector<std::string>>;

UnitSection readSection(const fs::path& unit, const std::string& section) {
    UnitSection values;
    std::ifstream in(unit);
    std::string current;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            continue;
        }
        const auto equals = line.find('=');
        if (current != section || equals == std::string::npos) continue;
        values[line.substr(0, equals)].push_back(line.substr(equals + 1));
    }
    return values;
}

std::string single(const UnitSection& section, const std::string& key,
                   const std::string& otherwise) {
    const auto found = section.find(key);
    return found == section.end() || found->second.empty() ? otherwise : found->second.back();
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// The system call sets as this machine's systemd defines them.
std::map<std::string, std::vector<std::string>> syscallSets() {
    std::map<std::string, std::vector<std::string>> sets;
    std::istringstream in(commandOutput("systemd-analyze syscall-filter --no-pager 2>/dev/null"));
    std::string current;
    for (std::string line; std::getline(in, line);) {
        const auto fields = words(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        if (line[0] == '@') {
            current = fields[0];
        } else if (!current.empty()) {
            sets[current].push_back(fields[0]);
        }
    }
    return sets;
}

void expand(const std::string& item, const std::map<std::string, std::vector<std::string>>& sets,
            std::set<std::string>& into) {
    if (item[0] != '@') {
        into.insert(item);
        return;
    }
    const auto found = sets.find(item);
    ASSERT_NE(found, sets.end()) << "unknown system call set " << item;
    for (const auto& member : found->second) expand(member, sets, into);
}

void writeNames(const fs::path& path, const std::set<std::string>& names) {
    std::ofstream out(path);
    for (const auto& name : names) out << name << '\n';
}

// "CAP_FOWNER CAP_CHOWN" as setpriv's bounding set argument.
std::string boundingSet(const std::string& capabilities) {
    std::string argument = "-all";
    for (auto capability : words(capabilities)) {
        if (capability.rfind("CAP_", 0) == 0) capability = capability.substr(4);
        for (auto& c : capability) c = static_cast<char>(std::tolower(c));
        argument += ",+" + capability;
    }
    return argument;
}

class ShippedUnit : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers' runtimes need system calls a service filter refuses.
        GTEST_SKIP() << "not under a sanitizer";
#endif
        if (!fs::exists("/usr/bin/setpriv") || !fs::exists("/usr/bin/systemd-socket-activate"))
            GTEST_SKIP() << "needs setpriv and systemd-socket-activate";
        const fs::path units = fs::path(EV_SOURCE_DIR) / "deploy" / "systemd";
        service_ = readSection(units / "cybersecurity_service.service", "Service");
        endpoints_ = readSection(units / "cybersecurity_service.socket", "Socket")["ListenStream"];
        ASSERT_FALSE(endpoints_.empty());
        ASSERT_EQ(single(service_, "User", "root"), "root") << "the test runs the daemon as root";
        writeFilter();
    }

    // The lines in order, as systemd merges them: the first one says whether
    // the filter is an allow-list (which always holds the @default set) or a
    // deny-list; each later line adds to it or takes from it.
    void writeFilter() {
        const auto sets = syscallSets();
        ASSERT_FALSE(sets.empty()) << "systemd-analyze syscall-filter gave nothing";
        std::set<std::string> listed;
        std::optional<bool> allowList;
        for (const auto& line : service_["SystemCallFilter"]) {
            std::string items = line;
            const bool denied = !items.empty() && items[0] == '~';
            if (denied) items = items.substr(1);
            if (!allowList) {
                allowList = !denied;
                if (*allowList) expand("@default", sets, listed);
            }
            std::set<std::string> names;
            for (const auto& item : words(items)) expand(item, sets, names);
            for (const auto& name : names) {
                if (denied == *allowList) {
                    listed.erase(name);
                } else {
                    listed.insert(name);
                }
            }
        }
        if (!allowList) return;
        writeNames(filterDir_ / "calls", listed);
        filterArguments_ = {*allowList ? "--allow" : "--deny", (filterDir_ / "calls").string()};
    }

    // setpriv, then the launcher, then the daemon: each execs the next, so
    // the daemon keeps the pid that systemd-socket-activate names.
    std::vector<std::string> restrictedCommand(const Sandbox& sandbox) {
        std::vector<std::string> command = {
            "/usr/bin/setpriv",
            "--bounding-set=" + boundingSet(single(service_, "CapabilityBoundingSet", "")),
            "--inh-caps=-all", ev_test::builtProgram("tests/e2e/unit_exec").string()};
        if (single(service_, "NoNewPrivileges", "no") == "yes")
            command.push_back("--no-new-privileges");
        command.push_back("--umask");
        command.push_back(single(service_, "UMask", "0022"));
        command.push_back("--nofile");
        command.push_back(single(service_, "LimitNOFILE", "1024:524288"));
        command.push_back("--errno");
        command.push_back(
            std::to_string(errorNumber(single(service_, "SystemCallErrorNumber", ""))));
        command.insert(command.end(), filterArguments_.begin(), filterArguments_.end());
        command.push_back("--");
        command.push_back(daemonBinary().string());
        // As the unit's ExecStart= runs it: with systemd, without timestamps.
        for (const auto& argument : sandbox.daemonArguments()) {
            if (argument != "--no-systemd") command.push_back(argument);
        }
        return command;
    }

    // Without SystemCallErrorNumber= systemd kills the process instead; the
    // launcher only refuses calls, which shows the same faults more clearly.
    static int errorNumber(const std::string& name) {
        static const std::map<std::string, int> numbers = {
            {"", EPERM}, {"EPERM", EPERM}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS}};
        const auto found = numbers.find(name);
        EXPECT_NE(found, numbers.end()) << "SystemCallErrorNumber=" << name << " is not known here";
        return found == numbers.end() ? EPERM : found->second;
    }

    // The shipped configuration names a client group: an existing one stands in.
    static void withClientGroup(Sandbox& sandbox) {
        auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
        parameters.push_back(
            {{"name", "client_group"}, {"type", "string"}, {"default", "nogroup"}});
        sandbox.writeDescription(parameters.dump());
    }

    void servesEveryOperation(const Sandbox& sandbox, ev_test::ChildProcess& daemon) {
        cyber::cybersecurity_client client(
            endpoints_[0].front() == '/' ? "ipc://" + endpoints_[0] : endpoints_[0],
            std::chrono::seconds(120));
        // With passed sockets the first connection starts the daemon.
        client.set_timeout(std::chrono::seconds(2));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!client.ping()) {
            ASSERT_FALSE(daemon.wait(std::chrono::milliseconds(0)).has_value())
                << "the daemon ended: " << daemon.wait(std::chrono::milliseconds(0)).value_or(-1)
                << "\n"
                << daemon.stderrText() << "\n"
                << daemon.stdoutText();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << daemon.stdoutText();
        }
        ASSERT_TRUE(waitForLine(daemon, "[info] Starting")) << daemon.stdoutText();
        client.set_timeout(std::chrono::seconds(120));

        const std::string pem = readFile(sandbox.spareCertificate(0));
        std::uint32_t id = 0;
        ASSERT_EQ(client.add_ca_certificate(pem, "unit_ca", id),
                  cyber::AddCertificateStatus::success)
            << daemon.stdoutText();
        const auto listed = client.get_ca_certificates();
        ASSERT_TRUE(listed.has_value());
        EXPECT_EQ(listed->size(), sandbox.builtinNames().size() + 1);
        EXPECT_EQ(client.get_ca_certificate_by_id(id), std::optional<std::string>(pem));
        EXPECT_EQ(client.get_ca_certificate_by_name("unit_ca"), std::optional<std::string>(pem));
        const auto details = client.get_ca_certificate_details();
        ASSERT_TRUE(details.has_value());
        EXPECT_EQ(client.remove_ca_certificate(id), cyber::RemoveCertificateStatus::success);

        ASSERT_EQ(client.add_ca_certificate(pem, "unit_ca", id),
                  cyber::AddCertificateStatus::success);
        cyber::certificate_hash_data hash;
        const auto listing = nlohmann::json::parse(*client.get_ca_certificate_details());
        for (const auto& entry : listing["certificates"]) {
            if (entry["id"] != id) continue;
            const auto& ocpp = entry["ocpp"][0];
            hash = {ocpp["hash_algorithm"], ocpp["issuer_name_hash"], ocpp["issuer_key_hash"],
                    ocpp["serial_number"]};
        }
        EXPECT_EQ(client.remove_ca_certificate_by_hash(hash),
                  cyber::RemoveCertificateStatus::success)
            << daemon.stdoutText();
        std::uint32_t inDomain = 0;
        EXPECT_EQ(client.add_ca_certificate_to_domain("csms", pem, "csms_root", inDomain),
                  cyber::AddCertificateStatus::success)
            << daemon.stdoutText();
        // csms keeps its last root; without the additional root check it
        // confirms none.
        EXPECT_EQ(client.remove_ca_certificate(inDomain),
                  cyber::RemoveCertificateStatus::last_root);
        EXPECT_EQ(client.confirm_csms_root(inDomain), cyber::RemoveCertificateStatus::unknown_id);
    }

    static bool waitForLine(ev_test::ChildProcess& process, const std::string& text) {
        return process.waitForStdout(text, std::chrono::seconds(120));
    }

    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    UnitSection service_;
    std::vector<std::string> endpoints_;
    ev_test::TempDir filterDir_;
    std::vector<std::string> filterArguments_;
};

SandboxOptions withDomain() {
    SandboxOptions options;
    options.domains = {"csms"};
    return options;
}

TEST_F(ShippedUnit, ServesEveryOperationOnTheSocketsTheSocketUnitPasses) {
    Sandbox sandbox(withDomain());
    withClientGroup(sandbox);
    NotifySocket notify((sandbox.root() / "notify").string());
    // It passes on only the environment it is told to.
    std::vector<std::string> command = {"/usr/bin/systemd-socket-activate",
                                        "--setenv=NOTIFY_SOCKET=" + notify.path(),
                                        "--setenv=WATCHDOG_USEC=2000000"};
    for (const auto& path : endpoints_) {
        fs::create_directories(fs::path(path).parent_path());
        command.push_back("--listen=" + path);
    }
    const auto restricted = restrictedCommand(sandbox);
    command.insert(command.end(), restricted.begin(), restricted.end());
    const std::string program = command.front();
    command.erase(command.begin());
    ev_test::ChildProcess daemon(program, command,
                                 {"NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=2000000"});
    servesEveryOperation(sandbox, daemon);
    for (const auto& path : endpoints_) {
        EXPECT_NE(daemon.stdoutText().find("ipc://" + path +
                                           ": using the listening socket passed by systemd"),
                  std::string::npos)
            << path << "\n"
            << daemon.stdoutText();
    }
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(std::chrono::seconds(30)), 0) << daemon.stdoutText();
}

TEST_F(ShippedUnit, ServesEveryOperationOnEndpointsItBindsItself) {
    Sandbox sandbox(withDomain());
    withClientGroup(sandbox);
    NotifySocket notify((sandbox.root() / "notify").string());
    auto command = restrictedCommand(sandbox);
    const std::string program = command.front();
    command.erase(command.begin());
    ev_test::ChildProcess daemon(program, command,
                                 {"NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=2000000"});
    servesEveryOperation(sandbox, daemon);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(std::chrono::seconds(30)), 0) << daemon.stdoutText();
}

}  // namespace
