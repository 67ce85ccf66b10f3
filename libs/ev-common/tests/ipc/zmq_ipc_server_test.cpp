#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "ev_common/ipc/request_reply.hpp"
#include "ev_common/ipc/serialization.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"
#include "wait_until.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zmq.h>
#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using ev_common::IpcRequestContext;
using ev_common::ZmqIpcServer;
using spdlog::level::level_enum;

std::string frameOf(std::initializer_list<int> bytes) {
    std::string frame;
    for (int b : bytes) frame.push_back(static_cast<char>(b));
    return frame;
}

// A REQ client of the test. Every wait is bounded so that a server that never
// replies fails the test instead of hanging it.
class Client {
public:
    explicit Client(const std::string& endpoint)
        : socket_(zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ)) {
        const int timeout = 10000;
        const int linger = 0;
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        zmq_setsockopt(socket_, ZMQ_SNDTIMEO, &timeout, sizeof timeout);
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        if (zmq_connect(socket_, endpoint.c_str()) != 0) throw zmq::error_t();
    }
    ~Client() { close(); }
    void close() {
        if (socket_ != nullptr) zmq_close(socket_);
        socket_ = nullptr;
    }

    bool send(const std::string& frame) {
        return zmq_send(socket_, frame.data(), frame.size(), 0) >= 0;
    }

    // One message of several frames, the way send_multipart sends it.
    bool sendMultipart(const std::vector<std::string>& frames) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const int flags = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
            if (zmq_send(socket_, frames[i].data(), frames[i].size(), flags) < 0) return false;
        }
        return true;
    }

    std::optional<std::string> request(const std::string& frame) {
        if (!send(frame)) return std::nullopt;
        return receive();
    }

    std::optional<std::string> requestMultipart(const std::vector<std::string>& frames) {
        if (!sendMultipart(frames)) return std::nullopt;
        return receive();
    }

    void setReceiveTimeout(int milliseconds) {
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &milliseconds, sizeof milliseconds);
    }

private:
    std::optional<std::string> receive() {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        int rc;
        do {
            rc = zmq_msg_recv(&msg, socket_, 0);
        } while (rc < 0 && zmq_errno() == EINTR);
        std::optional<std::string> reply;
        if (rc >= 0)
            reply.emplace(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        zmq_msg_close(&msg);
        return reply;
    }

    void* socket_;
};

struct Call {
    std::string clientId;
    std::uint32_t payloadStart;
    std::uint32_t position;
    bool dataIsFrame;
    std::uint32_t frameSize;
};

// Speaks a small protocol: operation 1 (uint32 id) answers status 0 for id 5
// and 1 otherwise, operation 2 answers an empty list, operation 9 throws a
// runtime error, operation 10 a ZeroMQ error, operation 11 answers like 2
// once the test releases it; anything else gets no reply.
class TestHandler : public ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string& clientId, IpcRequestContext& context) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back({clientId, context.request->payloadStart, context.request->position,
                              context.requestData == context.request->data, context.request->size});
        }
        std::int32_t operation = 0;
        ev_common::deserialize(*context.request, operation);
        std::vector<std::uint8_t> reply(4);
        ev_common::SerializationBuffer out{reply.data(), 4};
        if (operation == 1) {
            std::uint32_t id = 0;
            ev_common::deserialize(*context.request, id);
            ev_common::serialize(out, std::int32_t{id == 5 ? 0 : 1});
        } else if (operation == 2) {
            ev_common::serialize(out, std::uint32_t{0});
        } else if (operation == 9) {
            throw std::runtime_error("store failed");
        } else if (operation == 10) {
            throw zmq::error_t(EPROTO);
        } else if (operation == 11) {
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [&] { return release_; });
            ev_common::serialize(out, std::uint32_t{0});
        } else {
            return;
        }
        context.responseSize = reply.size();
        context.sendResponse(reply.data(), reply.size());
    }

    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        release_ = true;
        released_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
    std::vector<Call> calls_;
};

using ev_test::waitUntil;

const std::string removeId5 = frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x01, 0, 0, 0, 0x05, 0, 0, 0});
const std::string removeId6 = frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x01, 0, 0, 0, 0x06, 0, 0, 0});
const std::string listAll = frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x02, 0, 0, 0});

TEST(ZmqIpc, KeepsTheContextUntilTheLastReferenceIsReleased) {
    TestHandler handler;
    const std::string missing = "ZmqIpc_Init() must be called before creating any ZMQ IPC object";
    try {
        ZmqIpcServer server("Test", "inproc://none", &handler);
        FAIL() << "a server needs a context";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), missing);
    }
    ev_common::ZmqIpc_Init();
    void* first = ev_common::ZmqIpc_GetContext();
    ev_common::ZmqIpc_Init();
    EXPECT_EQ(ev_common::ZmqIpc_GetContext(), first);
    ev_common::ZmqIpc_Term();
    EXPECT_EQ(ev_common::ZmqIpc_GetContext(), first);
    ev_common::ZmqIpc_Term();
    EXPECT_THROW(ev_common::ZmqIpc_GetContext(), std::runtime_error);
    ev_common::ZmqIpc_Term();  // unmatched: ignored
    EXPECT_THROW(ev_common::ZmqIpc_GetContext(), std::runtime_error);
}

class ZmqIpcServerTest : public ::testing::Test {
protected:
    void SetUp() override { ev_common::ZmqIpc_Init(); }
    void TearDown() override { ev_common::ZmqIpc_Term(); }

    std::size_t linesStartingWith(const std::string& prefix) const {
        const auto texts = capture.texts();
        return static_cast<std::size_t>(
            std::count_if(texts.begin(), texts.end(),
                          [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
    }

    std::string ipcEndpoint() const { return "ipc://" + (dir / "test.reqresp.api").string(); }

    // Declared first: the capture must outlive every server of the test.
    ev_test::LogCapture capture;
    ev_test::TempDir dir;
    TestHandler handler;
};

TEST_F(ZmqIpcServerTest, AnswersAPingWithoutCallingTheHandler) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(capture.has(level_enum::debug, "Server " + endpoint + ": start receiving thread"));
    Client client(endpoint);

    EXPECT_EQ(client.request(""), std::string());
    EXPECT_TRUE(handler.calls().empty());
    EXPECT_TRUE(capture.has(level_enum::trace, "Server " + endpoint + " : receive ping request"));
    // Written once the reply is on its way, so possibly after it arrived.
    EXPECT_TRUE(waitUntil([&] {
        return capture.has(level_enum::trace, "Server " + endpoint + " : respond to ping request");
    }));
}

TEST_F(ZmqIpcServerTest, HandsIdentityAndPayloadToTheHandlerAndSendsItsReply) {
    const std::string endpoint = "inproc://reqresp.test";
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    Client client(endpoint);

    EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
    EXPECT_EQ(client.request(removeId6), frameOf({1, 0, 0, 0}));
    EXPECT_EQ(client.request(listAll), frameOf({0, 0, 0, 0}));
    // An empty identity is still an identity.
    EXPECT_EQ(client.request(frameOf({0, 0, 0, 0, 0x02, 0, 0, 0})), frameOf({0, 0, 0, 0}));

    const auto calls = handler.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].clientId, "ab");
    EXPECT_EQ(calls[0].payloadStart, 6u);
    EXPECT_EQ(calls[0].position, 6u);
    EXPECT_TRUE(calls[0].dataIsFrame);
    EXPECT_EQ(calls[3].clientId, "");
    EXPECT_EQ(calls[3].payloadStart, 4u);
    EXPECT_EQ(calls[3].position, 4u);
    EXPECT_EQ(capture.count("Server " + endpoint + ": receive message from client ab"), 3u);
    EXPECT_EQ(capture.count("Server " + endpoint + ": Notify request"), 4u);
    EXPECT_TRUE(waitUntil(
        [&] { return capture.count("Server " + endpoint + " : response sent (size = 4)") == 4; }));
}

TEST_F(ZmqIpcServerTest, RepliesEmptyToEveryMalformedRequestAndKeepsServing) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    Client client(endpoint);

    struct Case {
        const char* what;
        std::string frame;
        bool reachesHandler;
        const char* logLine;
    };
    const std::string deserializationError = "Server " + endpoint + " : deserialization error";
    const std::vector<Case> cases{
        {"one byte", frameOf({0x02}), false, nullptr},
        {"three bytes", frameOf({0x02, 0, 0}), false, nullptr},
        {"identity past the frame", frameOf({0x05, 0, 0, 0, 0x61, 0x62}), false, nullptr},
        {"huge identity length", frameOf({0xFF, 0xFF, 0xFF, 0xFF, 0x61}), false, nullptr},
        {"operation missing", frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x01}), true, nullptr},
        {"unknown operation", frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x05, 0, 0, 0}), true, nullptr},
        {"parameters truncated", frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x01, 0, 0, 0, 0x05}), true,
         nullptr},
        {"handler error", frameOf({0x02, 0, 0, 0, 0x61, 0x62, 0x09, 0, 0, 0}), true,
         " : error while serving request : store failed"},
    };
    std::size_t handlerCalls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        capture.clear();
        EXPECT_EQ(client.request(c.frame), std::string());
        if (c.reachesHandler) ++handlerCalls;
        EXPECT_EQ(handler.calls().size(), handlerCalls);
        if (c.logLine != nullptr) {
            EXPECT_TRUE(capture.has(level_enum::err, "Server " + endpoint + c.logLine))
                << capture.dump();
        } else if (c.what != std::string("unknown operation")) {
            EXPECT_TRUE(capture.has(level_enum::err, deserializationError)) << capture.dump();
        }
        // The same REQ socket goes on with a normal request.
        EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
        ++handlerCalls;
    }
    EXPECT_EQ(linesStartingWith("Server " + endpoint + ": exception in receiving thread"), 0u);
}

TEST_F(ZmqIpcServerTest, RefusesEveryMultipartRequestWithOneEmptyReplyAndKeepsServing) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    Client client(endpoint);

    struct Case {
        const char* what;
        std::vector<std::string> frames;
    };
    const std::vector<Case> cases{
        {"two empty frames", {"", ""}},
        {"list and list", {listAll, listAll}},
        {"five empty frames", {"", "", "", "", ""}},
        // The second frame must not be served as a request of its own.
        {"garbage and list", {frameOf({0x07, 0x01}), listAll}},
        {"list and garbage", {listAll, frameOf({0xFF})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(client.requestMultipart(c.frames), std::string());
        EXPECT_TRUE(
            capture.has(level_enum::warn, "Server " + endpoint + " : multipart request of " +
                                              std::to_string(c.frames.size()) + " frames refused"))
            << capture.dump();
        EXPECT_TRUE(handler.calls().empty());
        // The same REQ socket goes on with a ping.
        EXPECT_EQ(client.request(""), std::string());
    }
    EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
    EXPECT_EQ(handler.calls().size(), 1u);
    EXPECT_EQ(linesStartingWith("Server " + endpoint + ": exception in receiving thread"), 0u);
}

TEST_F(ZmqIpcServerTest, RefusesASecondStartStopsQuietlyWhenNotRunningAndCanBeRestarted) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    EXPECT_TRUE(server.stop());
    EXPECT_EQ(linesStartingWith("Server " + endpoint), 0u) << capture.dump();

    ASSERT_TRUE(server.start());
    EXPECT_FALSE(server.start());
    EXPECT_TRUE(capture.has(level_enum::err, "Server " + endpoint + ": already started"));
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(capture.has(level_enum::info,
                            "Server " + endpoint + " - TERMINATE : stop command received"));
    EXPECT_TRUE(
        capture.has(level_enum::debug, "Server " + endpoint + " : end of reception thread"));
    EXPECT_TRUE(capture.has(level_enum::info, "Server " + endpoint + ": stopped"));
    capture.clear();
    EXPECT_TRUE(server.stop());
    EXPECT_EQ(linesStartingWith("Server " + endpoint), 0u) << capture.dump();

    // Restarting at once: the control endpoint name is the same again.
    ASSERT_TRUE(server.start()) << capture.dump();
    Client client(endpoint);
    EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
}

TEST_F(ZmqIpcServerTest, StartReportsAnEndpointThatCannotBeBound) {
    const std::string missing = "ipc://" + (dir / "no-such-folder" / "api").string();
    ZmqIpcServer server("Test", missing, &handler);
    EXPECT_FALSE(server.start());
    EXPECT_TRUE(capture.has(level_enum::err, "Server " + missing + ": unable to bind " + missing +
                                                 " : No such file or directory"))
        << capture.dump();
    EXPECT_FALSE(capture.has("Server " + missing + ": start receiving thread"));
    // Nothing is left running: there is nothing to stop, and nothing to say.
    capture.clear();
    EXPECT_TRUE(server.stop());
    EXPECT_EQ(linesStartingWith("Server " + missing), 0u) << capture.dump();

    const std::string taken = "inproc://taken.test";
    ZmqIpcServer first("First", taken, &handler);
    ZmqIpcServer second("Second", taken, &handler);
    ASSERT_TRUE(first.start());
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(capture.has(level_enum::err, "Server " + taken + ": unable to bind " + taken +
                                                 " : Address already in use"));
    Client client(taken);
    EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
}

TEST_F(ZmqIpcServerTest, GivesServersOfTheSameEndpointTheirOwnControlEndpoint) {
    const std::string endpoint = "ipc:///tmp/x://y";
    ZmqIpcServer first("A", endpoint, &handler);
    ZmqIpcServer second("B", endpoint, &handler);
    EXPECT_NE(first.getControlEndpoint(), second.getControlEndpoint());
    EXPECT_EQ(first.getControlEndpoint(),
              "inproc://server_" + std::to_string(reinterpret_cast<std::uintptr_t>(&first)) +
                  "_ipc_/tmp/x_y");
}

TEST_F(ZmqIpcServerTest, LogsAnUnknownControlCommandAndGoesOn) {
    const std::string endpoint = "inproc://control.test";
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    void* push = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_PUSH);
    ASSERT_EQ(zmq_connect(push, server.getControlEndpoint().c_str()), 0);
    ASSERT_EQ(zmq_send(push, "RELOAD now", 10, 0), 10);
    zmq_close(push);
    const std::string line = "Server " + endpoint + " - RELOAD : unknown command => RELOAD.now";
    EXPECT_TRUE(waitUntil([&] { return capture.has(level_enum::err, line); })) << capture.dump();
    Client client(endpoint);
    EXPECT_EQ(client.request(""), std::string());
}

TEST_F(ZmqIpcServerTest, StopsWhenDestroyedWhileStarted) {
    const std::string endpoint = ipcEndpoint();
    {
        ZmqIpcServer server("Test", endpoint, &handler);
        ASSERT_TRUE(server.start());
    }
    EXPECT_TRUE(capture.has(level_enum::info,
                            "Server " + endpoint + " - TERMINATE : stop command received"));
    EXPECT_TRUE(capture.has(level_enum::info, "Server " + endpoint + ": stopped"));
    // The endpoint is free again.
    ZmqIpcServer next("Test", endpoint, &handler);
    EXPECT_TRUE(next.start()) << capture.dump();
}

TEST_F(ZmqIpcServerTest, EndsTheThreadWhenTheContextIsTerminated) {
    const std::string endpoint = ipcEndpoint();
    auto server = std::make_unique<ZmqIpcServer>("Test", endpoint, &handler);
    ASSERT_TRUE(server->start());
    {
        Client client(endpoint);
        EXPECT_EQ(client.request(""), std::string());
    }
    ev_common::ZmqIpc_Term();  // the fixture's reference: the context goes
    const auto terminated = capture.indexOf("Server " + endpoint + ": context has been terminated");
    ASSERT_GE(terminated, 0) << capture.dump();
    EXPECT_TRUE(
        capture.has(level_enum::info, "Server " + endpoint + ": context has been terminated"));
    EXPECT_GT(capture.indexOf("Server " + endpoint + " : end of reception thread"), terminated);

    // The finished thread is joined without touching the vanished context.
    server.reset();
    EXPECT_TRUE(capture.has(
        level_enum::err,
        "Server " + endpoint + ": exception while stopping sever Context was terminated"));
    EXPECT_TRUE(capture.has(level_enum::info, "Server Test: stopped"));
    ev_common::ZmqIpc_Init();  // for the fixture's release
}

TEST_F(ZmqIpcServerTest, DestructorFinishesTheThreadAfterAFailedStop) {
    // Room for the server's two sockets (no connection bound, no monitor)
    // and one more, which the test takes: the stop channel's push socket
    // then cannot be created.
    ASSERT_EQ(zmq_ctx_set(ev_common::ZmqIpc_GetContext(), ZMQ_MAX_SOCKETS, 3), 0);
    const std::string endpoint = ipcEndpoint();
    auto server = std::make_unique<ZmqIpcServer>("Test", endpoint, &handler);
    ASSERT_TRUE(server->start());
    std::vector<void*> hogs;
    while (void* s = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_PAIR)) hogs.push_back(s);
    ASSERT_EQ(zmq_errno(), EMFILE);
    ASSERT_EQ(hogs.size(), 1u);

    const std::string failure =
        "Server " + endpoint + ": exception while stopping sever Too many open files";
    EXPECT_TRUE(server->stop());
    EXPECT_TRUE(capture.has(level_enum::err, failure));
    EXPECT_TRUE(capture.has(level_enum::info, "Server Test: stopped"));
    EXPECT_FALSE(capture.has("Server " + endpoint + " : end of reception thread"));

    // Destroyed while the stop channel still cannot be opened: the destructor
    // must wait for the thread rather than leave it running on freed memory.
    capture.clear();
    std::thread destroyer([&] { server.reset(); });
    EXPECT_TRUE(waitUntil([&] { return capture.has(level_enum::err, failure); }));
    for (void* s : hogs) zmq_close(s);
    destroyer.join();
    EXPECT_TRUE(
        capture.has(level_enum::debug, "Server " + endpoint + " : end of reception thread"));
}

TEST_F(ZmqIpcServerTest, ReopensTheEndpointAfterAZeroMqErrorAndServesTheNextClients) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    {
        // This client's request is lost with the socket it reached.
        Client client(endpoint);
        EXPECT_TRUE(client.send(frameOf({0, 0, 0, 0, 0x0A, 0, 0, 0})));
        EXPECT_TRUE(waitUntil([&] {
            return capture.has(level_enum::info, "Server " + endpoint + ": endpoint reopened");
        })) << capture.dump();
    }
    EXPECT_TRUE(capture.has(
        level_enum::err,
        "Server " + endpoint + ": exception in receiving thread: " + zmq_strerror(EPROTO)));
    EXPECT_FALSE(capture.has("Server " + endpoint + " : end of reception thread"));

    // Errors with requests served in between never add up to giving the
    // endpoint up.
    const std::string reopened = "Server " + endpoint + ": endpoint reopened";
    for (std::size_t round = 2; round < 10; ++round) {
        Client client(endpoint);
        EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
        EXPECT_TRUE(client.send(frameOf({0, 0, 0, 0, 0x0A, 0, 0, 0})));
        EXPECT_TRUE(waitUntil([&] { return capture.count(reopened) == round; }));
    }
    Client client(endpoint);
    EXPECT_EQ(client.request(listAll), frameOf({0, 0, 0, 0}));
    EXPECT_TRUE(server.activity().receiving);
    EXPECT_FALSE(capture.has("Server " + endpoint + ": endpoint lost, the server gives up"));
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(capture.has(level_enum::info, "Server " + endpoint + ": stopped"));
}

TEST_F(ZmqIpcServerTest, GivesTheEndpointUpAndCallsTheFatalHookWhenItCannotBeReopened) {
    const auto folder = dir / "gone";
    std::filesystem::create_directory(folder);
    const std::string endpoint = "ipc://" + (folder / "api").string();
    std::atomic<int> fatal{0};
    ev_common::ZmqIpcServerOptions options;
    options.onFatalError = [&] { ++fatal; };
    ZmqIpcServer server("Test", endpoint, &handler, options);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(server.servingProblem(std::chrono::seconds(1)), std::nullopt);
    Client client(endpoint);
    EXPECT_EQ(client.request(""), std::string());
    std::filesystem::remove_all(folder);  // the endpoint cannot be bound again
    EXPECT_TRUE(client.send(frameOf({0, 0, 0, 0, 0x0A, 0, 0, 0})));

    EXPECT_TRUE(waitUntil([&] { return fatal.load() == 1; })) << capture.dump();
    EXPECT_TRUE(capture.has(level_enum::critical,
                            "Server " + endpoint + ": endpoint lost, the server gives up"));
    EXPECT_EQ(capture.count("Server " + endpoint + ": unable to bind " + endpoint +
                            " : No such file or directory"),
              5u);
    EXPECT_GT(capture.indexOf("Server " + endpoint + " : end of reception thread"),
              capture.indexOf("Server " + endpoint + ": endpoint lost, the server gives up"));
    EXPECT_FALSE(server.activity().receiving);
    EXPECT_EQ(server.servingProblem(std::chrono::seconds(1)),
              "Server " + endpoint + " : receiving thread has ended");

    // The owner still stops it as usual; a stopped server has no problem to report.
    EXPECT_TRUE(server.stop());
    EXPECT_TRUE(capture.has(level_enum::info, "Server " + endpoint + ": stopped"));
    EXPECT_EQ(server.servingProblem(std::chrono::seconds(1)), std::nullopt);
    EXPECT_EQ(fatal.load(), 1);
}

TEST_F(ZmqIpcServerTest, ReportsARequestThatTakesLongerThanTheBound) {
    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    const auto bound = std::chrono::milliseconds(50);
    EXPECT_EQ(server.servingProblem(bound), std::nullopt);  // not started: nothing to judge
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(server.activity().receiving);
    EXPECT_FALSE(server.activity().busySince);
    EXPECT_EQ(server.servingProblem(bound), std::nullopt);

    std::optional<std::string> reply;
    std::thread slow([&] {
        Client client(endpoint);
        reply = client.request(frameOf({0, 0, 0, 0, 0x0B, 0, 0, 0}));
    });
    std::optional<std::string> problem;
    EXPECT_TRUE(waitUntil([&] { return (problem = server.servingProblem(bound)).has_value(); }));
    const std::string busy = "Server " + endpoint + " : busy on one request for ";
    EXPECT_EQ(problem.value_or("").rfind(busy, 0), 0u) << problem.value_or("");
    EXPECT_NE(problem.value_or("").find("ms (limit 50ms)"), std::string::npos);
    EXPECT_TRUE(server.activity().busySince);
    // A longer bound is not exceeded yet.
    EXPECT_EQ(server.servingProblem(std::chrono::minutes(10)), std::nullopt);

    handler.release();
    slow.join();
    EXPECT_EQ(reply, frameOf({0, 0, 0, 0}));
    EXPECT_TRUE(waitUntil([&] { return !server.servingProblem(bound); }));
    EXPECT_FALSE(server.activity().busySince);
}

TEST_F(ZmqIpcServerTest, NeverHandsAFrameAboveTheSizeLimitToTheHandler) {
    const std::string endpoint = ipcEndpoint();
    ev_common::ZmqIpcServerOptions options;
    options.maxMessageSize = 1000;
    ZmqIpcServer server("Test", endpoint, &handler, options);
    ASSERT_TRUE(server.start());

    auto padded = [](std::size_t size) {
        std::string frame = listAll;
        frame.resize(size, 'x');
        return frame;
    };
    Client tooLarge(endpoint);
    tooLarge.setReceiveTimeout(300);
    EXPECT_TRUE(tooLarge.send(padded(1001)));
    // Other clients are served as before, up to the limit itself.
    Client other(endpoint);
    EXPECT_EQ(other.request(padded(1000)), frameOf({0, 0, 0, 0}));
    EXPECT_EQ(other.request(""), std::string());
    EXPECT_EQ(tooLarge.request(""), std::nullopt);  // dropped, never answered
    Client later(endpoint);
    EXPECT_EQ(later.request(removeId5), frameOf({0, 0, 0, 0}));

    const auto calls = handler.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].frameSize, 1000u);
    EXPECT_EQ(linesStartingWith("Server " + endpoint + ": exception in receiving thread"), 0u);
}

extern "C" void ignoreSignal(int) {}

TEST_F(ZmqIpcServerTest, KeepsServingWhenSignalsInterruptTheWait) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked poll returns EINTR
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    const std::string endpoint = ipcEndpoint();
    ZmqIpcServer server("Test", endpoint, &handler);
    ASSERT_TRUE(server.start());
    Client client(endpoint);
    EXPECT_EQ(client.request(""), std::string());
    // Every thread of the process gets the signal, the receiving thread too.
    for (int round = 0; round < 5; ++round) {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            syscall(SYS_tgkill, getpid(), std::stoi(task.path().filename().string()), SIGUSR2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(client.request(removeId5), frameOf({0, 0, 0, 0}));
    EXPECT_EQ(capture.count("Server " + endpoint +
                            ": exception in receiving thread: Interrupted system call"),
              0u);
    sigaction(SIGUSR2, &previous, nullptr);
}

// Keeps state that only the receiving thread may touch, without a lock, so
// that ThreadSanitizer reports a posted task that runs anywhere else.
class ThreadBoundHandler : public ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string&, IpcRequestContext& context) override {
        touch();
        static const char reply[4] = {0, 0, 0, 0};
        context.sendResponse(reply, sizeof reply);
    }
    void touch() {
        ++touches;
        threads.push_back(std::this_thread::get_id());
    }
    int touches = 0;
    std::vector<std::thread::id> threads;
};

TEST_F(ZmqIpcServerTest, RunsPostedTasksOnTheReceivingThreadBetweenRequests) {
    const std::string endpoint = ipcEndpoint();
    ThreadBoundHandler bound;
    ZmqIpcServer server("Test", endpoint, &bound);
    EXPECT_FALSE(server.post([] {}));
    ASSERT_TRUE(server.start());

    constexpr int kRounds = 50;
    std::atomic<int> posted{0};
    std::thread poster([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (server.post([&] { bound.touch(); })) ++posted;
        }
        server.post([] { throw std::runtime_error("boom"); });
    });
    Client client(endpoint);
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(client.request(listAll), frameOf({0, 0, 0, 0}));
    poster.join();
    EXPECT_EQ(posted.load(), kRounds);

    // Read out by a last task, on the thread that owns the state.
    std::promise<std::pair<int, bool>> seen;
    ASSERT_TRUE(server.post([&] {
        const bool oneThread = std::all_of(bound.threads.begin(), bound.threads.end(), [](auto id) {
            return id == std::this_thread::get_id();
        });
        seen.set_value({bound.touches, oneThread});
    }));
    auto result = seen.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto [touches, oneThread] = result.get();
    EXPECT_EQ(touches, 2 * kRounds);
    EXPECT_TRUE(oneThread);
    EXPECT_TRUE(
        capture.has(level_enum::err, "Server " + endpoint + ": exception in posted task : boom"));
    EXPECT_EQ(client.request(listAll), frameOf({0, 0, 0, 0}));

    ASSERT_TRUE(server.stop());
    EXPECT_FALSE(server.post([] {}));
}

// Answers every request the way the test in progress tells it. The script
// changes under a lock: a reply reaches the client through libzmq, which the
// thread checker does not see as an ordering.
class ScriptedHandler : public ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string&, IpcRequestContext& context) override {
        std::function<void(IpcRequestContext&)> current;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current = answer_;
        }
        current(context);
    }
    void script(std::function<void(IpcRequestContext&)> answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(answer);
    }

private:
    std::mutex mutex_;
    std::function<void(IpcRequestContext&)> answer_;
};

TEST_F(ZmqIpcServerTest, SendsTheHandlersReplyAloneAndAnEmptyFrameOnlyWhenItSentNone) {
    const std::string endpoint = ipcEndpoint();
    ScriptedHandler scripted;
    ZmqIpcServer server("Test", endpoint, &scripted);
    ASSERT_TRUE(server.start());
    Client client(endpoint);
    const auto shared = std::make_shared<const std::vector<std::uint8_t>>(
        std::vector<std::uint8_t>{'s', 'h', 'a', 'r', 'e', 'd'});
    struct Case {
        const char* name;
        std::function<void(IpcRequestContext&)> answer;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"written in place", [](auto& c) { ev_common::sendReplyOf(c, "op", std::uint32_t{7}); },
         frameOf({7, 0, 0, 0})},
        {"copied", [](auto& c) { c.sendResponse("copy", 4); }, "copy"},
        {"shared", [&](auto& c) { ev_common::sendSharedReply(c, "op", shared); }, "shared"},
        {"empty on purpose", [](auto& c) { c.sendResponse(nullptr, 0); }, ""},
        {"none", [](auto&) {}, ""},
        {"replied, then failed",
         [](auto& c) {
             c.sendResponse("done", 4);
             throw std::runtime_error("late failure");
         },
         "done"},
        {"refused to read",
         [](auto& c) {
             std::uint32_t operation = 0;
             std::uint32_t missing = 0;
             ev_common::readParameters(c, "op", operation, missing);
         },
         ""},
    };
    for (const auto& c : cases) {
        scripted.script(c.answer);
        EXPECT_EQ(client.request(listAll), c.reply) << c.name;
        // The exchange is complete: the same client goes on at once.
        EXPECT_EQ(client.request(""), std::string()) << c.name;
    }
    EXPECT_EQ(linesStartingWith("Server " + endpoint + ": exception in receiving thread"), 0u)
        << capture.dump();
    EXPECT_FALSE(capture.has("Server " + endpoint + ": endpoint reopened"));
}

}  // namespace
