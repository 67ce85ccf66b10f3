// A reader cannot exhaust the daemon, end to end: a member of the client
// group opens thousands of plain connections to the request endpoint and
// keeps them idle. The daemon holds no more of them than one user may have,
// stays up, and root's changes go through, also when the daemon's descriptor
// limit is low.
#include "daemon_harness.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

using namespace ev_e2e;
namespace fs = std::filesystem;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kPath = "/tmp/cybersecurity_service.reqresp.api";
const std::string kServer = "Server ipc://" + kPath;
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr int kFlood = 2000;

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Sockets the process `pid` holds open.
std::size_t socketsOf(pid_t pid) {
    std::size_t sockets = 0;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const auto target = fs::read_symlink(entry.path(), error);
        if (!error && target.string().rfind("socket:", 0) == 0) ++sockets;
    }
    return sockets;
}

// A process of nobody:nogroup that connects `count` times to `path` without
// a word of ZeroMQ and keeps every connection until it is destroyed.
class Flood {
public:
    Flood(const std::string& path, int count) {
        int report[2];
        int hold[2];
        if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::close(hold[1]);
            connectAll(path, count, report[1], hold[0]);
        }
        ::close(report[1]);
        ::close(hold[0]);
        report_ = report[0];
        hold_ = hold[1];
    }
    ~Flood() {
        if (hold_ >= 0) ::close(hold_);
        if (report_ >= 0) ::close(report_);
        int status = 0;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // How many connections were made, once all were tried.
    int connected() {
        pollfd item{report_, POLLIN, 0};
        int made = -1;
        if (::poll(&item, 1, 300000) == 1 && ::read(report_, &made, sizeof made) != sizeof made) {
            made = -1;
        }
        return made;
    }

private:
    // In the child: only calls that are safe after fork.
    [[noreturn]] static void connectAll(const std::string& path, int count, int report, int hold) {
        const rlimit descriptors{static_cast<rlim_t>(count) + 64, static_cast<rlim_t>(count) + 64};
        if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setgid(kNogroup) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(2);
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const timeval patience{10, 0};
        int made = 0;
        for (; made < count; ++made) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (fd < 0) break;
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                break;
            }
        }
        if (::write(report, &made, sizeof made) != sizeof made) ::_exit(3);
        char byte;
        while (::read(hold, &byte, 1) > 0) {
        }
        ::_exit(0);
    }

    pid_t pid_ = -1;
    int report_ = -1;
    int hold_ = -1;
};

// cybersecurity_ctl as root.
int ctlAsRoot(const std::vector<std::string>& args, std::string& err) {
    ev_test::ChildProcess child(
        ev_test::builtProgram("cybersecurity_service/client/cybersecurity_ctl"), args);
    const int code = child.wait(std::chrono::seconds(150)).value_or(-1);
    err = child.stderrText();
    return code;
}

class Exhaustion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    }
};

}  // namespace

TEST_F(Exhaustion, ThousandsOfIdleConnectionsOfOneReaderNeitherEndTheDaemonNorBlockRoot) {
    struct Case {
        const char* what;
        // A soft limit of 1024 given to the daemon, which raises it itself;
        // otherwise both limits lowered to 1024 once it runs.
        bool lowSoftLimitAtStart;
        // The endpoint flooded, and how its lines name it.
        std::string path;
        std::string label;
    };
    constexpr rlim_t kLow = 1024;
    const std::string events = "/run/cybersecurity_service/events.api";
    for (const Case& c :
         {Case{"soft limit of 1024 at start", true, kPath, kServer},
          Case{"soft and hard limit of 1024", false, kPath, kServer},
          Case{"events, soft limit of 1024 at start", true, events, "Publisher ipc://" + events}}) {
        SCOPED_TRACE(c.what);
        Sandbox sandbox;
        auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
        parameters.push_back(
            {{"name", "client_group"}, {"type", "string"}, {"default", "nogroup"}});
        sandbox.writeDescription(parameters.dump());
        rlimit own{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
        const rlimit lowered{std::min(own.rlim_max, kLow), own.rlim_max};
        if (c.lowSoftLimitAtStart) {
            ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        }
        Daemon daemon(sandbox);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
        ASSERT_TRUE(daemon.waitReady()) << daemon.output();
        const pid_t pid = daemon.process().pid();
        rlimit daemons{};
        ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &daemons), 0);
        EXPECT_EQ(daemons.rlim_cur, own.rlim_max) << "the soft limit is raised to the hard one";
        if (!c.lowSoftLimitAtStart) {
            const rlimit low{kLow, kLow};
            ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);
        }
        const std::size_t before = socketsOf(pid);

        Flood flood(c.path, kFlood);
        // A busy machine may turn some away at the backlog: still a flood.
        EXPECT_GT(flood.connected(), kFlood / 2);
        ASSERT_FALSE(daemon.process().wait(std::chrono::milliseconds(0)))
            << "the daemon ended:\n"
            << daemon.output() << daemon.process().stderrText();
        EXPECT_TRUE(daemon.waitForLine(c.label + " : connection of uid 65534 refused : 32 "
                                                 "connections of this user (limit 32)"))
            << daemon.output();
        // Those over the bound are closed again; the default bound is 32.
        EXPECT_TRUE(
            waitUntil([&] { return socketsOf(pid) <= before + 32; }, std::chrono::seconds(60)))
            << socketsOf(pid) << " sockets, " << before << " before the flood";

        // Root's change runs the update tool while the reader holds on.
        std::string err;
        EXPECT_EQ(ctlAsRoot({"add", "root_ca", sandbox.spareCertificate(0).string()}, err), 0)
            << err << daemon.output();
        EXPECT_TRUE(fs::exists(sandbox.userDir() / "root_ca.crt"));
        EXPECT_TRUE(daemon.hasLine(" result=success")) << daemon.output();
        EXPECT_EQ(daemon.stop(), 0) << daemon.output();
    }
}
