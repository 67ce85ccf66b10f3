// How the daemon claims its request endpoint in /tmp, end to end: whatever
// another user left at the path, and a process of another user that keeps
// binding it, never stop a daemon running as root; what was there is set
// aside, never removed. A daemon of another user keeps its lock in a folder
// of its own, never in /tmp.
#include "daemon_harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>
#include <functional>

using namespace ev_e2e;
namespace fs = std::filesystem;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kPath = "/tmp/cybersecurity_service.reqresp.api";
const std::string kServer = "Server ipc://" + kPath;
constexpr uid_t kNobody = 65534;

struct stat statusOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) status.st_ino = 0;
    return status;
}

// The entries the daemon set aside beside the path.
std::vector<std::string> setAside() {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/tmp")) {
        if (entry.path().string().rfind(kPath + ".set-aside.", 0) == 0)
            found.push_back(entry.path().string());
    }
    return found;
}

// The daemon answers a ping on its request endpoint.
bool answersPing() {
    RawClient client;
    return client.exchange("", std::chrono::seconds(20)) == std::string();
}

class EndpointClaim : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    }
    void TearDown() override {
        for (const auto& entry : setAside()) fs::remove_all(entry);
    }
};

TEST_F(EndpointClaim, WhateverAnotherUserLeftAtThePathIsSetAsideAndTheDaemonStarts) {
    int listening = -1;
    struct Case {
        const char* kind;
        std::function<void()> leave;
    };
    const std::vector<Case> cases{
        {"folder", [] { fs::create_directories(kPath + "/inside"); }},
        {"FIFO", [] { ASSERT_EQ(::mkfifo(kPath.c_str(), 0666), 0); }},
        {"live socket",
         [&] {
             listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, kPath.c_str(), sizeof address.sun_path - 1);
             ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ASSERT_EQ(::listen(listening, 8), 0);
         }},
    };
    Sandbox sandbox;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        c.leave();
        ASSERT_EQ(::lchown(kPath.c_str(), kNobody, kNobody), 0);
        const auto left = statusOf(kPath);

        Daemon daemon(sandbox);
        ASSERT_TRUE(daemon.waitReady()) << daemon.output();
        EXPECT_TRUE(answersPing());
        EXPECT_EQ(daemon.stop(), 0);
        EXPECT_EQ(statusOf(kPath).st_ino, 0u) << "the daemon's own socket went with it";

        // Kept, as it was, under a name that says so.
        const auto aside = setAside();
        ASSERT_EQ(aside.size(), 1u) << daemon.output();
        EXPECT_EQ(statusOf(aside[0]).st_ino, left.st_ino);
        EXPECT_TRUE(daemon.hasLine("[warning] " + kServer + ": " + c.kind + " owned by uid 65534 " +
                                   "found at " + kPath + ", set aside as " + aside[0]))
            << daemon.output();
        fs::remove_all(aside[0]);
        if (listening >= 0) ::close(listening);
        listening = -1;
    }
}

TEST_F(EndpointClaim, AProcessOfAnotherUserRacingTheBindNeverStopsTheDaemon) {
    // Each racer binds the path as nobody whenever it is free and keeps
    // listening there; more racers than cores, so one is always ready.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath.c_str(), sizeof address.sun_path - 1);
    struct Racers {
        std::vector<pid_t> pids;
        ~Racers() {
            for (const pid_t pid : pids) ::kill(pid, SIGKILL);
            for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
        }
    } racers;
    for (int i = 0; i < 3; ++i) {
        const pid_t racer = ::fork();
        ASSERT_GE(racer, 0);
        if (racer != 0) {
            racers.pids.push_back(racer);
            continue;
        }
        // Only system calls from here: the fork copied one thread of many.
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
        for (int held = -1;;) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            while (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            }
            ::close(held);
            held = ::listen(fd, 8) == 0 ? fd : -1;
        }
    }

    Sandbox sandbox;
    for (int start = 0; start < 20; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        Daemon daemon(sandbox);
        ASSERT_TRUE(daemon.waitReady()) << daemon.output();
        EXPECT_TRUE(answersPing());
        EXPECT_EQ(statusOf(kPath).st_uid, 0u);
        ASSERT_EQ(daemon.stop(), 0) << daemon.output();
    }
}

TEST_F(EndpointClaim, ADaemonOfAnotherUserKeepsItsLockInAFolderOfItsOwn) {
    Sandbox sandbox;
    // The event endpoint in the sandbox, which is this user's to write.
    auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
    parameters.push_back({{"name", "events_endpoint"},
                          {"type", "string"},
                          {"default", "ipc://" + (sandbox.root() / "events.api").string()}});
    sandbox.writeDescription(parameters.dump());
    for (const auto& entry : fs::recursive_directory_iterator(sandbox.root()))
        ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::lchown(sandbox.root().c_str(), kNobody, kNobody), 0);
    const std::string runtime = "/run/user/65534";
    fs::create_directories(runtime);
    ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
    ASSERT_EQ(::lchown(runtime.c_str(), kNobody, kNobody), 0);

    struct Case {
        std::string runtimeFolder;  // $XDG_RUNTIME_DIR, unset when empty
        std::string lock;
    };
    const std::vector<Case> cases{
        {"", "/tmp/cybersecurity_service-65534/cybersecurity_service.reqresp.lock"},
        {runtime, runtime + "/cybersecurity_service.reqresp.lock"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lock);
        std::vector<std::string> arguments = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                              daemonBinary().string()};
        for (const auto& argument : sandbox.daemonArguments()) arguments.push_back(argument);
        ev_test::ChildProcess daemon(
            "/usr/bin/setpriv", arguments,
            {"NOTIFY_SOCKET", "WATCHDOG_USEC",
             c.runtimeFolder.empty() ? "XDG_RUNTIME_DIR" : "XDG_RUNTIME_DIR=" + c.runtimeFolder});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!daemon.waitForStdout("[info] Starting", std::chrono::milliseconds(50)) &&
               !daemon.wait(std::chrono::milliseconds(0)) &&
               std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_TRUE(daemon.waitForStdout("[info] Starting", {})) << daemon.stdoutText();

        // Held by the daemon, in a folder nobody else may write.
        const fs::path lock(c.lock);
        const auto folder = statusOf(lock.parent_path().string());
        EXPECT_EQ(folder.st_uid, kNobody);
        EXPECT_EQ(folder.st_mode & 022, 0u);
        const int fd = ::open(c.lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        ASSERT_GE(fd, 0) << daemon.stdoutText();
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        for (const auto& entry : fs::directory_iterator("/tmp"))
            EXPECT_NE(entry.path().extension(), ".lock") << entry.path();

        daemon.signal(SIGTERM);
        EXPECT_EQ(daemon.wait(), 0) << daemon.stdoutText();
        fs::remove_all("/tmp/cybersecurity_service-65534");
    }
}

}  // namespace
