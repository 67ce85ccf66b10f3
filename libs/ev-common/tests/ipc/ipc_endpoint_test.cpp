// ipc:// endpoints as a ZmqIpcServer claims them: the caller's credentials,
// the socket file's mode and group, one server per endpoint, stale and
// foreign files at the path, and removal of only its own file.
#include "ev_common/ipc/ipc_endpoint.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_ipc_client.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>
#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
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

    // Only root's lock may sit in root's folder; anyone else's goes beside
    // the socket.
    const std::string expected =
        ::geteuid() == 0 ? "/run/daemon/x.reqresp.lock" : "/tmp/x.reqresp.lock";
    EXPECT_EQ(ev_common::ipcLockFile("ipc:///tmp/x.reqresp.api", "/run/daemon"), expected);
    EXPECT_EQ(ev_common::ipcLockFile("inproc://x", "/run/daemon"), "");
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

TEST_F(IpcEndpointClaim, ClearsAStaleSocketAnImpostorAndAStrayFileBeforeBinding) {
    const std::string prefix = "Server " + endpoint() + ": ";
    struct Case {
        const char* what;
        std::function<int()> leave;  // puts something at the path; a descriptor to close
        level_enum level;
        std::string line;
        bool needsRoot;
    };
    const std::vector<Case> cases{
        {"socket of a crashed server", [&] { return socketFile(path(), false); }, level_enum::warn,
         prefix + "stale socket " + path() + " removed", false},
        {"live socket of another user",
         [&] {
             const int fd = socketFile(path(), true);
             EXPECT_EQ(::lchown(path().c_str(), 65534, 65534), 0);
             return fd;
         },
         level_enum::err,
         prefix + "socket " + path() + " owned by uid 65534 is an impostor, removed", true},
        {"regular file",
         [&] {
             ev_test::writeFile(path(), "x");
             return -1;
         },
         level_enum::err, prefix + path() + " is not a socket, removed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) continue;
        capture.clear();
        const int fd = c.leave();
        {
            ZmqIpcServer server("Test", endpoint(), &handler, locked());
            ASSERT_TRUE(server.start()) << capture.dump();
            EXPECT_TRUE(capture.has(c.level, c.line)) << capture.dump();
            EXPECT_TRUE(answers());
        }
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(statusOf(path()).st_ino, 0u);
    }
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
