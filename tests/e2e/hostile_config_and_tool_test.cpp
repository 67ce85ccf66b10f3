// The daemon against a stuck update tool and hostile configuration input: a
// tool that hangs is stopped at its time limit or at shutdown, a very long
// value is checked without a crash, and a configuration path that is no
// regular file stops start-up with a clear line.
#include "daemon_harness.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <future>
#include <set>
#include <thread>

using namespace ev_e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const bool g_privateTmp = enterPrivateTmp();

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

const std::string kTool = "/usr/sbin/update-ca-certificates";

// Behaves at the fresh start-up run; any later run records its pid and that
// of a grandchild in its group, then waits for an hour, shrugging SIGTERM off
// unless told to end on it.
class HangingTool {
public:
    explicit HangingTool(bool endsOnSigterm = false) {
        ev_test::writeFile(path(),
                           "#!/bin/sh\n"
                           "for a; do [ \"$a\" = --fresh ] && exec " +
                               kTool + " \"$@\"; done\n" + (endsOnSigterm ? "" : "trap '' TERM\n") +
                               "sleep 3600 & echo $$ $! > '" + pidFile().string() + "'\nwait\n");
        fs::permissions(path(), fs::perms::owner_all);
    }
    fs::path path() const { return dir_ / "hanging-tool.sh"; }
    fs::path pidFile() const { return dir_ / "pids"; }
    std::vector<pid_t> pids(std::chrono::seconds timeout = std::chrono::seconds(60)) const {
        std::vector<pid_t> found;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            found.clear();
            std::ifstream in(pidFile());
            for (pid_t pid; in >> pid;) found.push_back(pid);
            if (found.size() == 2) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return found;
    }

private:
    ev_test::TempDir dir_;
};

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

bool goneSoon(pid_t pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (alive(pid) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !alive(pid);
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The sandbox's parameters plus "cyber.update_timeout".
void declareTimeout(const Sandbox& sandbox, long long seconds) {
    auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
    parameters.push_back({{"name", "update_timeout"}, {"type", "sec"}, {"default", seconds}});
    sandbox.writeDescription(parameters.dump());
}

std::string addRequest(const Sandbox& sandbox, const std::string& name) {
    return str("ab") + u32(0) + str(readText(sandbox.spareCertificate())) + str(name);
}

}  // namespace

TEST(HostileToolAndConfiguration, AHungToolIsStoppedAtItsLimitAndTheAdditionChangesNothing) {
    REQUIRE_PRIVATE_TMP();
    HangingTool tool;
    SandboxOptions options;
    options.updateCommand = tool.path().string();
    Sandbox sandbox(options);
    declareTimeout(sandbox, 2);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    const auto userBefore = entries(sandbox.userDir());
    const auto systemBefore = entries(sandbox.systemDir());

    RawClient client;
    const auto start = Clock::now();
    const auto reply = client.exchange(addRequest(sandbox, "stuck"), std::chrono::seconds(60));
    const auto took = Clock::now() - start;
    ASSERT_TRUE(reply.has_value()) << daemon.output();
    Reader in{*reply};
    EXPECT_EQ(in.u32(), 4u);  // internal_error
    // The limit, then at most the grace before SIGKILL, as the tool ignores SIGTERM.
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_TRUE(
        daemon.hasLine("[error] [ca-store] Update certificate command timed out (limit = "
                       "2s) => " +
                       tool.path().string()))
        << daemon.output();
    for (const pid_t pid : tool.pids()) EXPECT_TRUE(goneSoon(pid)) << pid;
    EXPECT_EQ(entries(sandbox.userDir()), userBefore);
    EXPECT_EQ(entries(sandbox.systemDir()), systemBefore);

    // The daemon goes on serving.
    EXPECT_EQ(client.exchange(""), std::optional<std::string>(""));
    EXPECT_EQ(daemon.stop(), 0) << daemon.output();
}

TEST(HostileToolAndConfiguration, AChangeWhoseToolHangsTakesOneTimeLimitNotTwo) {
    REQUIRE_PRIVATE_TMP();
    HangingTool tool(true);
    SandboxOptions options;
    options.updateCommand = tool.path().string();
    Sandbox sandbox(options);
    declareTimeout(sandbox, 4);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    const auto userBefore = entries(sandbox.userDir());
    const auto systemBefore = entries(sandbox.systemDir());

    // The run that would put the files back finds the change's limit used up.
    RawClient client;
    const auto start = Clock::now();
    const auto reply = client.exchange(addRequest(sandbox, "stuck"), std::chrono::seconds(60));
    const auto took = Clock::now() - start;
    ASSERT_TRUE(reply.has_value()) << daemon.output();
    EXPECT_EQ(Reader{*reply}.u32(), 4u);  // internal_error
    EXPECT_GE(took, std::chrono::milliseconds(3900));
    EXPECT_LT(took, std::chrono::milliseconds(6400)) << daemon.output();
    const std::string prefix = "[error] [ca-store] ";
    EXPECT_TRUE(daemon.hasLine(prefix + "Update certificate command timed out (limit = 4s) => " +
                               tool.path().string()));
    EXPECT_TRUE(daemon.hasLine(prefix +
                               "Update certificate command not started, the time limit of the "
                               "change (limit = 4s) is used up => " +
                               tool.path().string()))
        << daemon.output();
    EXPECT_TRUE(daemon.hasLine(prefix +
                               "The system store stays as the failed update left it until the "
                               "next start rebuilds it (--fresh)"));
    for (const pid_t pid : tool.pids()) EXPECT_TRUE(goneSoon(pid)) << pid;
    EXPECT_EQ(entries(sandbox.userDir()), userBefore);
    EXPECT_EQ(entries(sandbox.systemDir()), systemBefore);
    EXPECT_EQ(client.exchange(""), std::optional<std::string>(""));
    EXPECT_EQ(daemon.stop(), 0) << daemon.output();
}

TEST(HostileToolAndConfiguration, AHungToolStopsTheWatchdogWithinTheBoundUntilItsLimitEndsIt) {
    REQUIRE_PRIVATE_TMP();
    HangingTool tool;
    SandboxOptions options;
    options.updateCommand = tool.path().string();
    Sandbox sandbox(options);
    declareTimeout(sandbox, 4);  // the service counts as stuck after 2 s
    NotifySocket systemd((sandbox.root() / "notify").string());
    auto arguments = sandbox.daemonArguments();
    arguments.erase(arguments.begin());  // systemd is there this time
    Daemon daemon(sandbox, arguments, {"NOTIFY_SOCKET=" + systemd.path(), "WATCHDOG_USEC=400000"});
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    RawClient client;
    const auto start = Clock::now();
    const auto reply = client.exchange(addRequest(sandbox, "stuck"), std::chrono::seconds(60));
    const auto answered = Clock::now();
    ASSERT_TRUE(reply.has_value()) << daemon.output();
    Reader in{*reply};
    EXPECT_EQ(in.u32(), 4u);  // internal_error, after the tool's limit
    EXPECT_GE(answered - start, std::chrono::milliseconds(3900));

    // Refreshes every 200 ms until the request had been on for 2 s, none from
    // there until it was answered, then again.
    ASSERT_TRUE(daemon.waitForLine("[info] Systemd watchdog refresh resumed")) << daemon.output();
    const auto resumedBy = Clock::now() + std::chrono::seconds(5);
    while (systemd.refreshTimes().back() < answered && Clock::now() < resumedBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::optional<Clock::time_point> lastBefore;
    int during = 0;
    for (const auto at : systemd.refreshTimes()) {
        if (at <= start) continue;
        if (at < answered) {
            ++during;
            lastBefore = at;
        }
    }
    EXPECT_GT(systemd.refreshTimes().back(), answered);
    ASSERT_TRUE(lastBefore.has_value());
    EXPECT_LT(*lastBefore - start, std::chrono::milliseconds(2600));
    EXPECT_LE(during, 14);
    EXPECT_TRUE(daemon.output().find("Systemd watchdog refresh suspended : Server "
                                     "ipc:///tmp/cybersecurity_service.reqresp.api : busy on one "
                                     "request for") != std::string::npos)
        << daemon.output();
    EXPECT_EQ(daemon.stop(), 0) << daemon.output();
}

TEST(HostileToolAndConfiguration, SigtermDuringAHungToolRunEndsTheDaemonWithZeroWithinFiveSeconds) {
    REQUIRE_PRIVATE_TMP();
    HangingTool tool;
    SandboxOptions options;
    options.updateCommand = tool.path().string();
    Sandbox sandbox(options);
    Daemon daemon(sandbox);  // the default limit of 120 s
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    auto addition = std::async(std::launch::async, [&] {
        RawClient client;
        return client.exchange(addRequest(sandbox, "stuck"), std::chrono::seconds(60));
    });
    const auto pids = tool.pids();
    ASSERT_EQ(pids.size(), 2u) << daemon.output();
    const auto start = Clock::now();
    EXPECT_EQ(daemon.stop(std::chrono::seconds(30)), 0) << daemon.output();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    for (const pid_t pid : pids) EXPECT_TRUE(goneSoon(pid)) << pid;
    EXPECT_TRUE(
        daemon.hasLine("[error] [ca-store] Update certificate command stopped, the service is "
                       "shutting down => " +
                       tool.path().string()))
        << daemon.output();
    addition.wait();
}

TEST(HostileToolAndConfiguration, AThirtyMillionCharacterValueIsCheckedWithoutACrash) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    // The shipped description's pattern for both folders.
    auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
    parameters[0]["pattern"] = "/.+";
    parameters[1]["pattern"] = "/.+";
    sandbox.writeDescription(parameters.dump());
    const std::string huge = "/" + std::string(30000000 - 1, 'x');
    const std::string shownHuge = huge.substr(0, 256) + "… (30000000 bytes)";

    // Refused (a line end is not matched by "."): the file is rewritten with
    // the default and the daemon serves.
    nlohmann::json values;
    values["cyber"]["builtin_ca_certs_path"] = sandbox.systemDir().string();
    values["cyber"]["user_ca_certs_path"] = huge + "\n";
    ev_test::writeFile(sandbox.configurationFile(), values.dump());
    {
        Daemon daemon(sandbox);
        ASSERT_TRUE(daemon.waitReady()) << daemon.output().substr(0, 4096);
        EXPECT_TRUE(
            daemon.hasLine("[warning] Parameter [user_ca_certs_path] : value doesn't match "
                           "the regex (regex = /.+) => " +
                           huge.substr(0, 256) + "… (30000001 bytes)"))
            << daemon.output().substr(0, 4096);
        EXPECT_EQ(daemon.stop(), 0);
        EXPECT_LT(daemon.output().size(), 1u << 20);
        EXPECT_EQ(nlohmann::json::parse(
                      readText(sandbox.configurationFile()))["cyber"]["user_ca_certs_path"],
                  sandbox.userDir().string());
    }

    // Accepted: the folder path is then too long for the system, which ends
    // start-up with an error, not a crash.
    values["cyber"]["user_ca_certs_path"] = huge;
    ev_test::writeFile(sandbox.configurationFile(), values.dump());
    Daemon daemon(sandbox);
    EXPECT_EQ(daemon.wait(), 1) << daemon.output().substr(0, 4096);
    EXPECT_TRUE(daemon.hasLine("[debug] Found parameter user_ca_certs_path : " + shownHuge))
        << daemon.output().substr(0, 4096);
    EXPECT_NE(daemon.output().find("[error] Service cybersecurity_service - Unexpected error:: "),
              std::string::npos);
    EXPECT_LT(daemon.output().size(), 1u << 20);
}

TEST(HostileToolAndConfiguration, AFifoOrDeviceAsEitherFileFailsStartUpAndIsLeftAlone) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    const fs::path fifo = sandbox.root() / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path device = sandbox.root() / "null";
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);

    auto withDescription = [&](const fs::path& description) {
        auto arguments = sandbox.daemonArguments();
        arguments.back() = description.string();  // the value of -c
        return arguments;
    };
    auto withFile = [&](const fs::path& file) {
        auto arguments = sandbox.daemonArguments();
        arguments.push_back("-f");
        arguments.push_back(file.string());
        return arguments;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {withDescription(fifo),
         "[critical] Configuration description file [" + fifo.string() + "] is not a regular file"},
        {withDescription(device), "[critical] Configuration description file [" + device.string() +
                                      "] is not a regular file"},
        {withFile(fifo),
         "[critical] Configuration file [" + fifo.string() + "] is not a regular file"},
        {withFile(device),
         "[critical] Configuration file [" + device.string() + "] is not a regular file"},
    };
    for (const auto& [arguments, line] : cases) {
        Daemon daemon(sandbox, arguments);
        EXPECT_EQ(daemon.wait(std::chrono::seconds(30)), 1) << line;
        EXPECT_TRUE(daemon.hasLine(line)) << daemon.output();
    }
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, ::makedev(1, 3));
}
