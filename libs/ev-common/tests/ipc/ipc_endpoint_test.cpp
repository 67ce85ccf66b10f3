// ipc:// endpoints as a ZmqIpcServer claims them: the caller's credentials,
// the socket file's mode and group, one server per endpoint, stale and
// foreign files at the path, and removal of only its own file.
#include "ev_common/ipc/ipc_endpoint.hpp"
#include "../../src/ipc/unix_listener.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_ipc_client.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>
#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using ev_common::IpcRequestContext;
using ev_common::PeerCredentials;
using ev_common::ZmqIpcServer;
using spdlog::level::level_enum;

TEST(IpcEndpoint, ReadsCredentialsOnlyFromTheEndOfAPeerAddress) {
    struct Case {
        const char* text;
        std::optional<PeerCredentials> expected;
    };
    const std::vector<Case> cases{
        {"localhost:1000:100:4242", PeerCredentials{1000, 100, 4242}},
        {"localhost:0:0:1", PeerCredentials{0, 0, 1}},
        {":0:0:1", PeerCredentials{0, 0, 1}},
        // A host part with colons of its own: read from the end.
        {"a:b:65534:65534:7", PeerCredentials{65534, 65534, 7}},
        {"localhost:4294967294:4294967294:2147483647",
         PeerCredentials{4294967294u, 4294967294u, 2147483647}},
        {"", std::nullopt},
        {"localhost", std::nullopt},
        {"0", std::nullopt},
        {"1000:1000", std::nullopt},
        {"0:0:1", std::nullopt},  // no host part: not the ipc form
        {"localhost:0:0:", std::nullopt},
        {"localhost::0:1", std::nullopt},
        {"localhost:-1:0:1", std::nullopt},
        {"localhost:+0:0:1", std::nullopt},
        {"localhost: 0:0:1", std::nullopt},
        {"localhost:0:0:1 ", std::nullopt},
        {"localhost:0x10:0:1", std::nullopt},
        {"localhost:4294967295:0:1", std::nullopt},  // (uid_t)-1 is no user
        {"localhost:0:4294967295:1", std::nullopt},
        {"localhost:0:0:2147483648", std::nullopt},
        {"localhost:00000000000:0:1", std::nullopt},
        {"localhost:99999999999999999999:0:1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = ev_common::parsePeerAddress(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value());
        if (!parsed) continue;
        EXPECT_EQ(parsed->uid, c.expected->uid);
        EXPECT_EQ(parsed->gid, c.expected->gid);
        EXPECT_EQ(parsed->pid, c.expected->pid);
    }
}

TEST(IpcEndpoint, NamesTheSocketFileAndTheLockOfAnIpcEndpointOnly) {
    EXPECT_EQ(ev_common::ipcSocketPath("ipc:///tmp/x.reqresp.api"), "/tmp/x.reqresp.api");
    EXPECT_EQ(ev_common::ipcSocketPath("ipc://relative.api"), "relative.api");
    EXPECT_EQ(ev_common::ipcSocketPath("ipc://@abstract"), "");
    EXPECT_EQ(ev_common::ipcSocketPath("ipc://"), "");
    EXPECT_EQ(ev_common::ipcSocketPath("inproc://x"), "");
    EXPECT_EQ(ev_common::ipcSocketPath("tcp://127.0.0.1:5555"), "");

    EXPECT_EQ(ev_common::ipcLockFile("inproc://x", "/run/daemon"), "");
}

TEST(IpcEndpoint, KeepsTheLockOfAUserOtherThanRootInAFolderOfThatUserOnly) {
    // A folder of the user's own, and others the user must not trust.
    ev_test::TempDir dir;
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
    const auto folder = [&](const std::string& name, mode_t mode) {
        const std::string path = (dir / name).string();
        EXPECT_EQ(::mkdir(path.c_str(), mode), 0);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        EXPECT_EQ(::lchown(path.c_str(), user, static_cast<gid_t>(-1)), 0);
        return path;
    };
    const std::string own = folder("own", 0700);
    const std::string shared = folder("shared", 0770);
    const std::string link = (dir / "link").string();
    ASSERT_EQ(::symlink(own.c_str(), link.c_str()), 0);
    const std::string fallback = "/tmp/daemon-" + std::to_string(user);

    struct Case {
        std::string endpoint;
        uid_t user;
        std::string runtime;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"ipc:///tmp/x.reqresp.api", 0, own, "/run/daemon/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, own, own + "/daemon.x.reqresp.lock"},
        {"ipc:///tmp/daemon.reqresp.api", user, own, own + "/daemon.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, "", fallback + "/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, "relative", fallback + "/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, shared, fallback + "/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, link, fallback + "/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, "/", fallback + "/x.reqresp.lock"},
        {"ipc:///tmp/x.reqresp.api", user, dir.path().string() + "/none",
         fallback + "/x.reqresp.lock"},
        {"inproc://x", user, own, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint + " " + std::to_string(c.user) + " " + c.runtime);
        EXPECT_EQ(ev_common::ipcLockFile(c.endpoint, "/run/daemon/", c.user, c.runtime),
                  c.expected);
    }
}

// Replies "ok" to every request, and a ZeroMQ error (which costs the server
// its reply socket) to the request "fail"; records the callers.
class RecordingHandler : public ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string&, IpcRequestContext& context) override {
        const std::string payload(
            reinterpret_cast<const char*>(context.requestData) + context.request->payloadStart,
            context.request->size - context.request->payloadStart);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            peers_.push_back(context.peer);
        }
        if (payload == "fail") throw zmq::error_t(EPROTO);
        context.sendResponse("ok", 2);
    }
    std::vector<std::optional<PeerCredentials>> peers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return peers_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::optional<PeerCredentials>> peers_;
};

std::vector<std::uint8_t> request(const std::string& payload) {
    // An empty client identity, then the payload.
    std::vector<std::uint8_t> frame(4 + payload.size(), 0);
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    return frame;
}

// A Unix socket file made by the test: bound, and listening when asked.
// The file stays when the descriptor is closed.
int socketFile(const std::string& path, bool listening) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    if (listening) {
        EXPECT_EQ(::listen(fd, 8), 0);
    }
    return fd;
}

struct stat statusOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) status.st_ino = 0;
    return status;
}

class IpcEndpointClaim : public ::testing::Test {
protected:
    void SetUp() override { ev_common::ZmqIpc_Init(); }
    void TearDown() override { ev_common::ZmqIpc_Term(); }

    std::string path() const { return (dir / "test.reqresp.api").string(); }
    std::string endpoint() const { return "ipc://" + path(); }
    ev_common::ZmqIpcServerOptions locked() const {
        ev_common::ZmqIpcServerOptions options;
        options.endpointAccess.lockFile = (dir / "test.reqresp.lock").string();
        return options;
    }
    // True when the server at the endpoint answers.
    bool answers() const {
        ev_common::ZmqIpcClient client(endpoint(), std::chrono::seconds(10));
        client.setEndpointOwner(::geteuid());
        const auto reply = client.exchange(request("hello"));
        return reply && *reply == std::vector<std::uint8_t>{'o', 'k'};
    }

    // Declared first: the capture must outlive every server of the test.
    ev_test::LogCapture capture;
    ev_test::TempDir dir;
    RecordingHandler handler;
};

TEST_F(IpcEndpointClaim, HandsTheCallersCredentialsToTheHandlerOnIpcEndpointsOnly) {
    ZmqIpcServer server("Test", endpoint(), &handler);
    ASSERT_TRUE(server.start()) << capture.dump();
    ASSERT_TRUE(answers());

    const std::string inproc = "inproc://credentials.test";
    ZmqIpcServer local("Local", inproc, &handler);
    ASSERT_TRUE(local.start());
    void* socket = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
    const int timeout = 10000;
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(zmq_connect(socket, inproc.c_str()), 0);
    const auto frame = request("hello");
    ASSERT_EQ(zmq_send(socket, frame.data(), frame.size(), 0), static_cast<int>(frame.size()));
    char reply[8];
    EXPECT_EQ(zmq_recv(socket, reply, sizeof reply, 0), 2);
    zmq_close(socket);

    const auto peers = handler.peers();
    ASSERT_EQ(peers.size(), 2u);
    ASSERT_TRUE(peers[0].has_value());
    EXPECT_EQ(peers[0]->uid, ::geteuid());
    EXPECT_EQ(peers[0]->gid, ::getegid());
    EXPECT_EQ(peers[0]->pid, ::getpid());
    EXPECT_FALSE(peers[1].has_value());
}

TEST_F(IpcEndpointClaim, GivesTheSocketFileExactlyItsModeAndGroupWhateverTheUmask) {
    // The loosest umask there is: the file must still never be wider open.
    const mode_t previous = ::umask(0);
    {
        ZmqIpcServer server("Test", endpoint(), &handler);
        ASSERT_TRUE(server.start()) << capture.dump();
        const auto status = statusOf(path());
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        EXPECT_EQ(status.st_uid, ::geteuid());
        EXPECT_EQ(::umask(0), 0u) << "the umask is restored after the bind";
    }
    {
        ev_common::ZmqIpcServerOptions options;
        options.endpointAccess.mode = 0660;
        // A group every process may give its own files.
        options.endpointAccess.group = ::getegid();
        ZmqIpcServer server("Test", endpoint(), &handler, options);
        ASSERT_TRUE(server.start()) << capture.dump();
        const auto status = statusOf(path());
        EXPECT_EQ(status.st_mode & 07777, 0660u);
        EXPECT_EQ(status.st_gid, ::getegid());
        EXPECT_TRUE(answers());
    }
    ::umask(previous);
}

TEST_F(IpcEndpointClaim, RefusesToStartWhileAnotherServerServesTheEndpoint) {
    ZmqIpcServer first("First", endpoint(), &handler, locked());
    ASSERT_TRUE(first.start()) << capture.dump();
    const auto before = statusOf(path());
    const std::string refused = "Server " + endpoint() + ": endpoint is served by another process";

    // Held lock, and without a lock the live socket: refused either way,
    // before anything at the path is touched.
    ZmqIpcServer sameLock("Second", endpoint(), &handler, locked());
    EXPECT_FALSE(sameLock.claim());
    EXPECT_FALSE(sameLock.start());
    EXPECT_EQ(capture.count(refused), 2u) << capture.dump();
    EXPECT_TRUE(capture.has(level_enum::critical, refused));
    ZmqIpcServer noLock("Third", endpoint(), &handler);
    EXPECT_FALSE(noLock.start());
    EXPECT_EQ(capture.count(refused), 3u) << capture.dump();

    const auto after = statusOf(path());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_TRUE(answers());

    // Once the first has stopped, the lock is free again.
    EXPECT_TRUE(first.stop());
    EXPECT_TRUE(sameLock.start()) << capture.dump();
    EXPECT_TRUE(answers());
}

// The set-aside entries beside the path.
std::vector<std::string> setAside(const std::string& path) {
    std::vector<std::string> names;
    const auto prefix = std::filesystem::path(path).filename().string() + ".set-aside.";
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().string());
    }
    return names;
}

TEST_F(IpcEndpointClaim, SetsAsideWhateverAnotherUserLeftAtThePathAndRemovesOnlyItsOwnStaleSocket) {
    const std::string prefix = "Server " + endpoint() + ": ";
    // Root gives what it leaves to nobody; anyone else leaves their own.
    const uid_t other = ::geteuid() == 0 ? 65534 : ::geteuid();
    const auto giveAway = [&] { EXPECT_EQ(::lchown(path().c_str(), other, other), 0); };
    std::vector<int> sockets;  // the test's own, closed at the end
    struct Case {
        const char* kind;  // as the warning names it; empty: this user's own, removed
        std::function<void()> leave;
        bool needsRoot;
    };
    const std::vector<Case> cases{
        {"", [&] { sockets.push_back(socketFile(path(), false)); }, false},
        {"regular file", [&] { ev_test::writeFile(path(), "x"); }, false},
        {"FIFO", [&] { EXPECT_EQ(::mkfifo(path().c_str(), 0600), 0); }, false},
        {"symbolic link", [&] { EXPECT_EQ(::symlink("/nowhere", path().c_str()), 0); }, false},
        {"folder", [&] { std::filesystem::create_directories(path() + "/inside"); }, false},
        {"stale socket", [&] { sockets.push_back(socketFile(path(), false)); }, true},
        {"live socket", [&] { sockets.push_back(socketFile(path(), true)); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        if (c.needsRoot && ::geteuid() != 0) continue;
        capture.clear();
        c.leave();
        if (*c.kind != '\0') giveAway();
        const auto left = statusOf(path());
        {
            ZmqIpcServer server("Test", endpoint(), &handler, locked());
            ASSERT_TRUE(server.start()) << capture.dump();
            EXPECT_TRUE(answers());
        }
        EXPECT_EQ(statusOf(path()).st_ino, 0u) << "the server's own socket went with it";
        const auto aside = setAside(path());
        if (*c.kind == '\0') {
            EXPECT_TRUE(aside.empty());
            EXPECT_TRUE(
                capture.has(level_enum::warn, prefix + "stale socket " + path() + " removed"))
                << capture.dump();
            continue;
        }
        // Kept as it was, under a name that says so, and never removed.
        ASSERT_EQ(aside.size(), 1u) << capture.dump();
        const auto kept = statusOf(aside[0]);
        EXPECT_EQ(kept.st_ino, left.st_ino);
        EXPECT_EQ(kept.st_uid, other);
        EXPECT_TRUE(capture.has(level_enum::warn, prefix + c.kind + " owned by uid " +
                                                      std::to_string(other) + " found at " +
                                                      path() + ", set aside as " + aside[0]))
            << capture.dump();
        std::filesystem::remove_all(aside[0]);
    }
    for (const int fd : sockets) ::close(fd);
}

TEST_F(IpcEndpointClaim, AProcessThatKeepsBindingThePathNeverMakesAClaimFail) {
    // Another user binds and listens in a loop; without root, the racers'
    // sockets are this user's and left stale (a live one would be a server).
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path().c_str(), sizeof address.sun_path - 1);
    struct Racers {
        std::vector<pid_t> pids;
        ~Racers() {
            for (const pid_t pid : pids) ::kill(pid, SIGKILL);
            for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
        }
    } racers;
    // More racers than cores: one of them is always ready to run when the
    // path comes free.
    for (int i = 0; i < 3; ++i) {
        const pid_t racer = ::fork();
        ASSERT_GE(racer, 0);
        if (racer != 0) {
            racers.pids.push_back(racer);
            continue;
        }
        // Only system calls from here: the fork copied one thread of many.
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        for (int held = -1;;) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            while (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            }
            ::close(held);
            held = root && ::listen(fd, 8) == 0 ? fd : -1;  // kept open: a live impostor
            if (held < 0) ::close(fd);
        }
    }
    for (int start = 0; start < 40; ++start) {
        ZmqIpcServer server("Test", endpoint(), &handler);
        ASSERT_TRUE(server.start()) << "start " << start << "\n" << capture.dump();
        if (start == 39) {
            EXPECT_TRUE(answers());
        }
    }
}

TEST_F(IpcEndpointClaim, TakesItsLockOnlyInAFolderOfItsOwnUserThatNobodyElseMayWrite) {
    const auto folder = dir / "locks";
    ev_common::ZmqIpcServerOptions options;
    options.endpointAccess.lockFile = (folder / "test.reqresp.lock").string();
    {
        ZmqIpcServer server("Test", endpoint(), &handler, options);
        ASSERT_TRUE(server.start()) << capture.dump();
        const auto made = statusOf(folder.string());
        EXPECT_TRUE(S_ISDIR(made.st_mode));
        EXPECT_EQ(made.st_uid, ::geteuid());
        EXPECT_EQ(made.st_mode & 077, ::geteuid() == 0 ? 055u : 0u);
    }
    // Refused, before anything is bound, when others may write there or the
    // folder is another user's.
    std::vector<std::pair<mode_t, uid_t>> refused{{0777, ::geteuid()}, {01777, ::geteuid()}};
    if (::geteuid() == 0) refused.emplace_back(0700, 65534);
    for (const auto& [mode, owner] : refused) {
        SCOPED_TRACE(mode);
        capture.clear();
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        ASSERT_EQ(::lchown(folder.c_str(), owner, static_cast<gid_t>(-1)), 0);
        ZmqIpcServer server("Test", endpoint(), &handler, options);
        EXPECT_FALSE(server.start());
        EXPECT_EQ(statusOf(path()).st_ino, 0u);
        EXPECT_TRUE(capture.has(
            level_enum::critical,
            fmt::format("Server {}: unable to lock {} : the folder {} (uid {}, mode {:04o}) must "
                        "belong to uid {} and be writable by nobody else",
                        endpoint(), options.endpointAccess.lockFile, folder.string(), owner, mode,
                        ::geteuid())))
            << capture.dump();
    }
}

// Runs `body` on this thread without CAP_CHOWN, as a daemon whose unit does
// not grant it; capabilities are per thread, the others keep theirs.
void withoutChownCapability(const std::function<void()>& body) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
    const auto effective = data[0].effective;
    data[0].effective &= ~(1u << CAP_CHOWN);
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
    body();
    data[0].effective = effective;
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
}

TEST_F(IpcEndpointClaim, ServesOwnerOnlyAndSaysSoWhenItMayNotGiveTheSocketToItsGroup) {
    // A group this user is not in.
    std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)) + 1);
    groups.resize(
        static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
    groups.push_back(::getegid());
    const gid_t group = std::count(groups.begin(), groups.end(), 65534) == 0 ? 65534 : 0;
    if (std::count(groups.begin(), groups.end(), group) != 0)
        GTEST_SKIP() << "this user is in groups 0 and 65534";
    ev_common::ZmqIpcServerOptions options = locked();
    options.endpointAccess.mode = 0660;
    options.endpointAccess.group = group;
    ZmqIpcServer server("Test", endpoint(), &handler, options);
    withoutChownCapability([&] { ASSERT_TRUE(server.start()) << capture.dump(); });

    const auto status = statusOf(path());
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "never wider than owner-only";
    EXPECT_NE(status.st_gid, group);
    EXPECT_TRUE(
        capture.has(level_enum::warn, "Server " + endpoint() + ": not permitted to give " + path() +
                                          " to group " + std::to_string(group) +
                                          " (Operation not permitted): members of the group "
                                          "cannot connect, the socket file keeps mode 0600"))
        << capture.dump();
    EXPECT_TRUE(answers());
}

TEST(IpcEndpoint, AdoptsEachSocketSystemdPassedByItsPathWhateverTheirOrder) {
    ev_test::TempDir dir;
    const std::string first = (dir / "first.api").string();
    const std::string second = (dir / "second.api").string();
    const int firstFd = ::fcntl(socketFile(first, true), F_DUPFD, 10);
    const int secondFd = ::fcntl(socketFile(second, true), F_DUPFD, 10);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Passed as systemd passes them, from descriptor 3 on, here the
        // second endpoint's first.
        if (::dup2(secondFd, 3) != 3 || ::dup2(firstFd, 4) != 4) ::_exit(10);
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        ::setenv("LISTEN_FDS", "2", 1);
        int code = 0;
        for (const auto& [path, passed] : {std::pair{first, 4}, std::pair{second, 3}}) {
            ev_common::UnixListener listener("ipc://" + path, path, {});
            struct stat used {
            }, expected{};
            const int fd = listener.open() ? listener.duplicate() : -1;
            if (fd < 0 || ::fstat(fd, &used) != 0 || ::fstat(passed, &expected) != 0 ||
                used.st_ino != expected.st_ino)
                code = passed;
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3 or 4: the socket passed there was not the one used";
}

TEST_F(IpcEndpointClaim, RemovesItsSocketOnStopButNeverAFileItDidNotBind) {
    ZmqIpcServer server("Test", endpoint(), &handler, locked());
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(statusOf(path()).st_ino, 0u) << "its own socket is gone";

    // Another process's file put where the socket was survives the stop.
    ASSERT_TRUE(server.start());
    ASSERT_EQ(::unlink(path().c_str()), 0);
    ev_test::writeFile(path(), "someone else's");
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(ev_test::readFile(path()), "someone else's");
    EXPECT_TRUE(capture.has(level_enum::warn, "Server " + endpoint() + ": " + path() +
                                                  " is no longer the socket of this server, "
                                                  "left in place"));
}

TEST_F(IpcEndpointClaim, BindsAFreshSocketWhenItsFileIsGoneAtAReopen) {
    ZmqIpcServer server("Test", endpoint(), &handler, locked());
    ASSERT_TRUE(server.start());
    // A client connected before the file goes; its failing request then
    // costs the server its reply socket.
    void* socket = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
    const int linger = 0;
    const int timeout = 10000;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(zmq_connect(socket, endpoint().c_str()), 0);
    const auto hello = request("hello");
    char reply[8];
    ASSERT_EQ(zmq_send(socket, hello.data(), hello.size(), 0), static_cast<int>(hello.size()));
    ASSERT_EQ(zmq_recv(socket, reply, sizeof reply, 0), 2);
    ASSERT_EQ(::unlink(path().c_str()), 0);
    const auto fail = request("fail");
    ASSERT_EQ(zmq_send(socket, fail.data(), fail.size(), 0), static_cast<int>(fail.size()));
    zmq_close(socket);

    const std::string reopened = "Server " + endpoint() + ": endpoint reopened";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!capture.has(reopened) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(capture.has(level_enum::info, reopened)) << capture.dump();
    EXPECT_TRUE(S_ISSOCK(statusOf(path()).st_mode));
    EXPECT_TRUE(answers());
}

}  // namespace
