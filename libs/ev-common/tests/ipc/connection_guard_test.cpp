#include "../../src/ipc/connection_guard.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "wait_until.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using ev_common::ConnectionGuard;
using ev_common::ConnectionLimits;
using ev_common::PeerCredentials;
using namespace std::chrono_literals;

using ev_test::waitUntil;

// A plain stream connection to a socket file, as any local process can make
// one without speaking ZeroMQ.
int rawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Whether the server closed the connection: its greeting read and dropped,
// then the end of the stream within `wait`.
bool closedByServer(int fd, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[256];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd item{fd, POLLIN, 0};
        if (::poll(&item, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) {
            return false;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
    }
}

std::size_t softDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<std::size_t>(limit.rlim_cur);
}

class ConnectionGuardTest : public ::testing::Test {
protected:
    void SetUp() override { ev_common::ZmqIpc_Init(); }
    void TearDown() override {
        reset();
        ev_common::ZmqIpc_Term();
    }

    // The guard on a REP socket bound to a fresh socket file.
    ConnectionGuard& serve(ConnectionLimits limits) {
        socket_ = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REP);
        const int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        guard_ = std::make_unique<ConnectionGuard>("Server test", std::move(limits), 300ms);
        EXPECT_TRUE(guard_->attach(socket_));
        ++served_;
        EXPECT_EQ(zmq_bind(socket_, ("ipc://" + path()).c_str()), 0);
        return *guard_;
    }
    void reset() {
        guard_.reset();
        for (int fd : fds_) ::close(fd);
        fds_.clear();
        if (socket_ != nullptr) zmq_close(socket_);
        socket_ = nullptr;
    }
    std::string path() const { return (dir_ / ("guarded" + std::to_string(served_))).string(); }
    int connect() { return fds_.emplace_back(rawConnect(path())); }

    // Declared first: the capture outlives the guard's thread.
    ev_test::LogCapture capture_;
    ev_test::TempDir dir_;
    int served_ = 0;
    void* socket_ = nullptr;
    std::unique_ptr<ConnectionGuard> guard_;
    std::vector<int> fds_;
};

TEST_F(ConnectionGuardTest, ClosesWhatIsOverALimitAndKeepsTheRest) {
    const std::string uid = std::to_string(::getuid());
    struct Case {
        const char* what;
        unsigned int perUid;
        unsigned int reserve;
        bool exempt;
        std::size_t held;
        // The refusal's log line: its start and its end.
        std::string lineEnd;
    };
    const std::vector<Case> cases = {
        {"per user", 2, 0, false, 2, " : 2 connections of this user (limit 2)"},
        {"exempt caller", 2, 0, true, 5, ""},
        {"reserve", 0, static_cast<unsigned int>(softDescriptorLimit()), false, 0,
         " kept in reserve)"},
        {"reserve, exempt caller", 0, static_cast<unsigned int>(softDescriptorLimit()), true, 5,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<PeerCredentials> asked;
        ConnectionLimits limits;
        limits.perUid = c.perUid;
        limits.reserve = c.reserve;
        limits.exempt = [&, exempt = c.exempt](const PeerCredentials& peer) {
            asked = peer;
            return exempt;
        };
        auto& guard = serve(limits);
        for (int i = 0; i < 5; ++i) connect();

        const std::size_t refused = 5 - c.held;
        ASSERT_TRUE(waitUntil([&] {
            return guard.refused() == refused && guard.connectionsOf(::getuid()) == c.held;
        })) << guard.refused()
            << " refused, " << guard.connectionsOf(::getuid()) << " held";
        // Connections are taken in the order they came: the first ones stay.
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            EXPECT_EQ(closedByServer(fds_[i], i < c.held ? 300ms : 10s), i >= c.held) << i;
        }
        if (c.held < 5) {
            ASSERT_TRUE(asked.has_value());
            EXPECT_EQ(asked->pid, ::getpid());
            EXPECT_EQ(asked->uid, ::getuid());
        }
        const std::string start = "Server test : connection of uid " + uid + " refused : ";
        const auto texts = capture_.texts();
        const auto warned = std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.rfind(start, 0) == 0 && t.size() > c.lineEnd.size() &&
                   t.compare(t.size() - c.lineEnd.size(), c.lineEnd.size(), c.lineEnd) == 0;
        });
        // Once per interval; the others are summed up when it ends.
        EXPECT_EQ(warned, refused > 0 ? 1 : 0) << capture_.dump();
        if (refused > 1) {
            EXPECT_TRUE(waitUntil([&] {
                return capture_.has(spdlog::level::warn,
                                    "Server test : " + std::to_string(refused - 1) +
                                        " more connections of uid " + uid + " refused");
            })) << capture_.dump();
        }
        reset();
        capture_.clear();
    }
}

TEST_F(ConnectionGuardTest, CountsAUserAgainOnceItsConnectionsEnd) {
    ConnectionLimits limits;
    limits.perUid = 1;
    auto& guard = serve(limits);
    const int first = connect();
    ASSERT_TRUE(waitUntil([&] { return guard.connectionsOf(::getuid()) == 1; }));
    EXPECT_TRUE(closedByServer(connect(), 10s));

    ::close(first);
    fds_.erase(fds_.begin());
    ASSERT_TRUE(waitUntil([&] { return guard.connectionsOf(::getuid()) == 0; }));
    const int next = connect();
    ASSERT_TRUE(waitUntil([&] { return guard.connectionsOf(::getuid()) == 1; }));
    EXPECT_FALSE(closedByServer(next, 300ms));
    EXPECT_EQ(guard.refused(), 1u);

    // Detached, it counts nothing and refuses nothing.
    guard.detach();
    EXPECT_EQ(guard.connectionsOf(::getuid()), 0u);
    EXPECT_FALSE(closedByServer(connect(), 300ms));
    EXPECT_EQ(guard.refused(), 1u);
}

// A REQ client's ping; false when no answer came within two seconds.
bool answersPing(const std::string& endpoint) {
    void* socket = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
    const int linger = 0;
    const int timeout = 2000;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    char reply[8];
    const bool answered = zmq_connect(socket, endpoint.c_str()) == 0 &&
                          zmq_send(socket, "", 0, 0) == 0 &&
                          zmq_recv(socket, reply, sizeof reply, 0) == 0;
    zmq_close(socket);
    return answered;
}

// The server's own reply socket is guarded: a connection over the bound is
// cut off, and the user is served again once one of its connections ends.
TEST_F(ConnectionGuardTest, CutsOffTheServersClientsOverTheBoundUntilOneEnds) {
    ev_common::ZmqIpcServerOptions options;
    options.connectionLimits.perUid = 1;
    ++served_;
    const std::string endpoint = "ipc://" + path();
    struct Silent : ev_common::ZmqIpcServer::IIpcRequestHandler {
        void notifyRequest(const std::string&, ev_common::IpcRequestContext&) override {}
    } handler;
    ev_common::ZmqIpcServer server("Test", endpoint, &handler, options);
    ASSERT_TRUE(server.start());
    const int holder = connect();
    EXPECT_TRUE(closedByServer(connect(), 10s));
    EXPECT_FALSE(closedByServer(holder, 100ms));
    EXPECT_EQ(server.refusedConnections(), 1u);
    EXPECT_TRUE(
        capture_.has(spdlog::level::warn, "Server " + endpoint + " : connection of uid " +
                                              std::to_string(::getuid()) +
                                              " refused : 1 connections of this user (limit 1)"))
        << capture_.dump();

    ::close(holder);
    fds_.clear();
    // A request sent on a connection that is cut off is lost with it; the
    // end of the holder's connection may reach the guard a moment late.
    bool answered = false;
    for (int attempt = 0; attempt < 5 && !answered; ++attempt) answered = answersPing(endpoint);
    EXPECT_TRUE(answered) << capture_.dump();
    EXPECT_TRUE(server.stop());
}

}  // namespace
