// Who may talk to the trust store, end to end: the real daemon on a sandbox,
// cybersecurity_ctl run as root and as nobody:nogroup (setpriv), the socket
// file's mode and group, one daemon per endpoint, stale and impostor sockets,
// clients that refuse an endpoint of someone else, and socket activation.
#include "daemon_harness.hpp"
#include "folder_snapshot.hpp"

#include "ev_common/cyber/certificate.hpp"
#include "ev_common/system/user_database.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

using namespace ev_e2e;
namespace fs = std::filesystem;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kPath = "/tmp/cybersecurity_service.reqresp.api";
const std::string kEndpoint = "ipc://" + kPath;
const std::string kServer = "Server " + kEndpoint;
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

struct ctl_result {
    int code = -1;
    std::string out;
    std::string err;
};

// cybersecurity_ctl as root, or as nobody:nogroup without supplementary groups.
ctl_result ctl(const std::vector<std::string>& args, bool asNobody = false) {
    const std::string program =
        ev_test::builtProgram("cybersecurity_service/client/cybersecurity_ctl");
    std::unique_ptr<ev_test::ChildProcess> child;
    if (asNobody) {
        std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        program};
        all.insert(all.end(), args.begin(), args.end());
        child = std::make_unique<ev_test::ChildProcess>("/usr/bin/setpriv", all);
    } else {
        child = std::make_unique<ev_test::ChildProcess>(program, args);
    }
    ctl_result result;
    result.code = child->wait(std::chrono::seconds(150)).value_or(-1);
    result.out = child->stdoutText();
    result.err = child->stderrText();
    return result;
}

// "uid 65534 (nobody)", as the tool names a user.
std::string userText(uid_t uid) {
    const auto name = ev_common::findUserName(uid);
    return "uid " + std::to_string(uid) + (name ? " (" + *name + ")" : std::string());
}

// The sandbox's description with the two access parameters added.
void declareAccess(const Sandbox& sandbox, const std::string& clientGroup,
                   const std::vector<std::string>& adminGroups) {
    auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
    parameters.push_back({{"name", "client_group"}, {"type", "string"}, {"default", clientGroup}});
    parameters.push_back(
        {{"name", "admin_groups"}, {"type", "string[]"}, {"default", adminGroups}});
    sandbox.writeDescription(parameters.dump());
}

struct stat statusOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) status.st_ino = 0;
    return status;
}

// True when the daemon wrote a line containing `start` and ending in `end`.
bool hasLineWith(const Daemon& daemon, const std::string& start, const std::string& end) {
    std::istringstream lines(daemon.output());
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(start);
        if (at != std::string::npos && line.size() >= end.size() &&
            line.compare(line.size() - end.size(), end.size(), end) == 0)
            return true;
    }
    return false;
}

// The identifier in the tool's "Added NAME as id ID" line.
std::string addedId(const ctl_result& added) {
    const auto at = added.out.rfind(" as id ");
    if (at == std::string::npos || added.out.empty()) return "?";
    return added.out.substr(at + 7, added.out.size() - at - 8);
}

std::string fingerprintOf(const fs::path& file) {
    return ev_common::Certificate(ev_test::readFile(file)).sha256Fingerprint();
}

// A listening socket made by the test at `path`, handed to `owner`.
int listeningSocket(const std::string& path, uid_t owner) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, 8), 0);
    EXPECT_EQ(::lchown(path.c_str(), owner, owner), 0);
    return fd;
}

// Whether anybody connected to a listening socket of the test.
bool connectionPending(int listening) {
    const int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) return false;
    ::close(accepted);
    return true;
}

class AccessControl : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_PRIVATE_TMP(); }
};

}  // namespace

TEST_F(AccessControl, AnUnprivilegedCallerListsButMayNotChangeTheStore) {
    Sandbox sandbox;
    declareAccess(sandbox, "nogroup", {});
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    // The event endpoint's file is given the same mode and group.
    for (const char* path : {kPath.c_str(), "/run/cybersecurity_service/events.api"}) {
        const auto socket = statusOf(path);
        EXPECT_TRUE(S_ISSOCK(socket.st_mode)) << path;
        EXPECT_EQ(socket.st_mode & 07777, 0660u) << path;
        EXPECT_EQ(socket.st_uid, 0u) << path;
        EXPECT_EQ(socket.st_gid, kNogroup) << path;
    }

    const auto spare = sandbox.spareCertificate(0);
    const auto added = ctl({"add", "root_ca", spare.string()});
    ASSERT_EQ(added.code, 0) << added.err;
    const std::string rootId = addedId(added);
    EXPECT_TRUE(hasLineWith(daemon,
                            "[info] [audit] operation=add name=root_ca id=" + rootId +
                                " sha256=" + fingerprintOf(spare) + " uid=0 gid=0 pid=",
                            " result=success"))
        << daemon.output();
    const auto userFiles = ev_test::snapshotFolder(sandbox.userDir());

    const auto listed = ctl({"list"}, true);
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("root_ca"), std::string::npos) << listed.out;
    EXPECT_EQ(ctl({"get", "--name", "root_ca"}, true).out, ev_test::readFile(spare));

    const auto other = sandbox.spareCertificate(1);
    const auto add = ctl({"add", "mine", other.string()}, true);
    EXPECT_EQ(add.code, 1);
    EXPECT_EQ(add.err, "cybersecurity_ctl: add refused: not_authorized\n");
    const auto replace = ctl({"add", "root_ca", other.string()}, true);
    EXPECT_EQ(replace.err, "cybersecurity_ctl: add refused: not_authorized\n");
    const auto remove = ctl({"remove", rootId}, true);
    EXPECT_EQ(remove.code, 1);
    EXPECT_EQ(remove.err, "cybersecurity_ctl: remove refused: not_authorized\n");

    // Nothing changed, and every refusal is on record with who asked.
    EXPECT_EQ(ev_test::snapshotFolder(sandbox.userDir()), userFiles);
    EXPECT_EQ(ctl({"get", "--name", "root_ca"}).out, ev_test::readFile(spare));
    const std::string nobody = " uid=65534 gid=65534 pid=";
    EXPECT_TRUE(hasLineWith(
        daemon,
        "[warning] [audit] operation=add name=mine id=- sha256=" + fingerprintOf(other) + nobody,
        " result=not_authorized"))
        << daemon.output();
    EXPECT_TRUE(hasLineWith(daemon,
                            "[warning] [audit] operation=replace name=root_ca id=- sha256=" +
                                fingerprintOf(other) + nobody,
                            " result=not_authorized"));
    EXPECT_TRUE(hasLineWith(daemon,
                            "[warning] [audit] operation=remove name=root_ca id=" + rootId +
                                " sha256=" + fingerprintOf(spare) + nobody,
                            " result=not_authorized"));
    EXPECT_TRUE(daemon.hasLine("Error removing certificate id=" + rootId +
                               " from TrustList. status = not_authorized"));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(AccessControl, AMemberOfAnAdminGroupMayChangeTheStore) {
    Sandbox sandbox;
    declareAccess(sandbox, "nogroup", {"nogroup"});
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    const auto spare = sandbox.spareCertificate(0);
    const auto added = ctl({"add", "admins_ca", spare.string()}, true);
    ASSERT_EQ(added.code, 0) << added.err;
    const std::string id = addedId(added);
    EXPECT_TRUE(fs::exists(sandbox.userDir() / "admins_ca.crt"));
    const auto removed = ctl({"remove", id}, true);
    EXPECT_EQ(removed.code, 0) << removed.err;
    EXPECT_FALSE(fs::exists(sandbox.userDir() / "admins_ca.crt"));

    const std::string tail = " sha256=" + fingerprintOf(spare) + " uid=65534 gid=65534 pid=";
    EXPECT_TRUE(hasLineWith(daemon, "[info] [audit] operation=add name=admins_ca id=" + id + tail,
                            " result=success"))
        << daemon.output();
    EXPECT_TRUE(hasLineWith(daemon,
                            "[info] [audit] operation=remove name=admins_ca id=" + id + tail,
                            " result=success"));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(AccessControl, WithoutAClientGroupOnlyRootCanConnect) {
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    for (const char* path : {kPath.c_str(), "/run/cybersecurity_service/events.api"}) {
        const auto socket = statusOf(path);
        EXPECT_EQ(socket.st_mode & 07777, 0600u) << path;
        EXPECT_EQ(socket.st_uid, 0u) << path;
        EXPECT_EQ(socket.st_gid, 0u) << path;
    }

    const auto refused = ctl({"--timeout", "500", "list"}, true);
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err, "cybersecurity_ctl: no answer from " + kEndpoint +
                               " within 500 ms (is the service running?)\n");
    EXPECT_EQ(ctl({"ping"}).code, 0);
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(AccessControl, AGroupThatDoesNotExistStopsTheStart) {
    struct Case {
        std::string clientGroup;
        std::vector<std::string> adminGroups;
        std::string line;
    };
    const std::vector<Case> cases{
        {"h14-no-such-group",
         {},
         "[critical] [cybersecurity_service] Unknown group 'h14-no-such-group' in "
         "cyber.client_group"},
        {"nogroup",
         {"nogroup", "h14-no-such-admins"},
         "[critical] [cybersecurity_service] Unknown group 'h14-no-such-admins' in "
         "cyber.admin_groups"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Sandbox sandbox;
        declareAccess(sandbox, c.clientGroup, c.adminGroups);
        Daemon daemon(sandbox);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine(c.line)) << daemon.output();
        // Refused before the endpoint or the trust folders were touched.
        EXPECT_EQ(statusOf(kPath).st_ino, 0u);
        EXPECT_TRUE(fs::is_empty(sandbox.systemDir()));
    }
}

TEST_F(AccessControl, OneDaemonServesTheEndpointAndLeavesNoSocketBehind) {
    Sandbox first;
    auto daemon = std::make_unique<Daemon>(first);
    ASSERT_TRUE(daemon->waitReady()) << daemon->output();
    const auto bound = statusOf(kPath);

    Sandbox second;
    Daemon intruder(second);
    EXPECT_EQ(intruder.wait(), 1);
    EXPECT_TRUE(
        intruder.hasLine("[critical] " + kServer + ": endpoint is served by another process"))
        << intruder.output();
    // It never ran the update tool, and the first one's socket is untouched.
    EXPECT_TRUE(fs::is_empty(second.systemDir()));
    EXPECT_EQ(statusOf(kPath).st_ino, bound.st_ino);
    EXPECT_EQ(ctl({"ping"}).code, 0);

    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_EQ(statusOf(kPath).st_ino, 0u) << "the socket file goes with the daemon";
    EXPECT_EQ(statusOf("/run/cybersecurity_service/events.api").st_ino, 0u);

    // A daemon killed outright leaves its socket; the next one starts anyway.
    daemon = std::make_unique<Daemon>(first);
    ASSERT_TRUE(daemon->waitReady()) << daemon->output();
    daemon->process().signal(SIGKILL);
    EXPECT_EQ(daemon->wait(), 128 + SIGKILL);
    EXPECT_TRUE(S_ISSOCK(statusOf(kPath).st_mode));
    daemon = std::make_unique<Daemon>(first);
    ASSERT_TRUE(daemon->waitReady()) << daemon->output();
    EXPECT_TRUE(daemon->hasLine("[warning] " + kServer + ": stale socket " + kPath + " removed"));
    EXPECT_EQ(ctl({"ping"}).code, 0);
    EXPECT_EQ(daemon->stop(), 0);
}

TEST_F(AccessControl, ClientsRefuseAnImpostorsEndpointAndTheDaemonReplacesIt) {
    const int impostor = listeningSocket(kPath, kNobody);
    const auto refused = ctl({"list"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err, "cybersecurity_ctl: not talking to " + kEndpoint + ": " + kPath +
                               " is owned by " + userText(kNobody) + ", not root\n");
    EXPECT_FALSE(connectionPending(impostor)) << "nothing may reach the impostor";
    // Named as the owner, the same user is trusted: the tool connects.
    EXPECT_EQ(ctl({"--endpoint-owner", "65534", "--timeout", "300", "ping"}).code, 3);
    EXPECT_TRUE(connectionPending(impostor));

    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    EXPECT_TRUE(daemon.hasLine("[error] " + kServer + ": socket " + kPath +
                               " owned by uid 65534 is an impostor, removed"))
        << daemon.output();
    ::close(impostor);
    EXPECT_EQ(statusOf(kPath).st_uid, 0u);
    EXPECT_EQ(ctl({"ping"}).code, 0);
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(AccessControl, ClientsRefuseTheReplyOfAServerOfAnotherUser) {
    // A server of nobody behind a socket file that passes for root's.
    const std::string path = "/tmp/impostor.reqresp.api";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNogroup) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        void* context = zmq_ctx_new();
        void* rep = zmq_socket(context, ZMQ_REP);
        if (zmq_bind(rep, ("ipc://" + path).c_str()) != 0) ::_exit(3);
        (void)!::write(ready[1], "x", 1);
        char request[256];
        const int timeout = 30000;
        zmq_setsockopt(rep, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        if (zmq_recv(rep, request, sizeof request, 0) >= 0) zmq_send(rep, "", 0, 0);
        // Closing waits until the reply has gone out.
        zmq_close(rep);
        zmq_ctx_term(context);
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(::lchown(path.c_str(), 0, 0), 0);

    const auto refused = ctl({"--endpoint", "ipc://" + path, "ping"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err, "cybersecurity_ctl: not talking to ipc://" + path + ": the server at " +
                               path + " runs as " + userText(kNobody) + ", not root\n");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(AccessControl, AdoptsTheSocketSystemdPassesAndNeverRemovesIt) {
    const std::string activate = "/usr/bin/systemd-socket-activate";
    if (!fs::exists(activate)) GTEST_SKIP() << "no systemd-socket-activate";
    Sandbox sandbox;
    std::vector<std::string> arguments = {"--listen=" + kPath};
    // The launcher gives the daemon a fresh environment: a sanitizer's
    // options (suppressions, halt on error) must be passed on by name.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (std::getenv(name) != nullptr) arguments.push_back(std::string("--setenv=") + name);
    }
    arguments.push_back(daemonBinary().string());
    for (const auto& argument : sandbox.daemonArguments()) arguments.push_back(argument);
    ev_test::ChildProcess launcher(activate, arguments);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (statusOf(kPath).st_ino == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto passed = statusOf(kPath);
    ASSERT_TRUE(S_ISSOCK(passed.st_mode));

    // The first connection starts the daemon, which then answers it.
    const auto pong = ctl({"--timeout", "120000", "ping"});
    EXPECT_EQ(pong.code, 0) << pong.err << launcher.stdoutText();
    EXPECT_TRUE(launcher.waitForStdout("[info] " + kServer +
                                       ": using the listening socket passed by systemd"))
        << launcher.stdoutText();
    EXPECT_EQ(statusOf(kPath).st_ino, passed.st_ino);

    launcher.signal(SIGTERM);
    EXPECT_EQ(launcher.wait(std::chrono::seconds(30)), 0) << launcher.stdoutText();
    const auto after = statusOf(kPath);
    EXPECT_EQ(after.st_ino, passed.st_ino) << "systemd's socket stays";
    EXPECT_EQ(after.st_mode, passed.st_mode);
    ::unlink(kPath.c_str());
}
