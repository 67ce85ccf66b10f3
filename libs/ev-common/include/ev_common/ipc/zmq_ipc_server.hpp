// Serves one ZeroMQ request/response endpoint on a receiving thread of its
// own: answers pings itself, reads the client identity in front of every other
// request and hands the rest to its IIpcRequestHandler. Stopped through an
// inproc control channel, so no lock is shared with the owner's thread; the
// same channel lets other threads hand it work that must run between requests.
// Owned by a service's IPC-side handler; needs ZmqIpc_Init() first.
#pragma once

#include "ev_common/ipc/serialization.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ev_common {

// What the receiving thread hands to the handler for one request; lives on that
// thread's stack for the duration of the handler call only.
struct IpcRequestContext {
    const std::string* serverEndpoint = nullptr;
    void* socket = nullptr;  // the server's reply socket
    const std::uint8_t* requestData = nullptr;
    DeserializationBuffer* request = nullptr;  // cursor over the whole frame
    std::size_t responseSize = 0;              // set by the handler before it replies

    // Sends one reply frame. False when the socket refused it for now (EAGAIN);
    // any other failure throws zmq::error_t.
    bool sendResponse(const void* data, std::size_t size);
    // The same for a reply the handler keeps and sends again (a large one
    // that changes rarely): sent without a copy, and kept alive until the
    // transport is done with it.
    bool sendSharedResponse(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
};

// What a daemon chooses for its server; the defaults suit a local endpoint.
struct ZmqIpcServerOptions {
    // Largest frame a client may send, in bytes (-1: no limit). The transport
    // drops a client that sends more before any of it reaches the handler;
    // inproc endpoints are not limited.
    std::int64_t maxMessageSize = 1024 * 1024;
    // Called on the receiving thread when the endpoint is lost for good (the
    // reply socket could not be opened again after an error); the thread ends
    // right after. A daemon ends itself here so that its supervisor restarts
    // it: a live process without its endpoint helps no client.
    std::function<void()> onFatalError;
};

class ZmqIpcServer {
public:
    class IIpcRequestHandler {
    public:
        virtual ~IIpcRequestHandler() = default;
        // Runs on the receiving thread for every non-empty request. A request
        // the handler leaves unanswered is answered with an empty frame, so
        // the reply socket stays usable for the next client.
        virtual void notifyRequest(const std::string& clientId, IpcRequestContext& context) = 0;
    };

    // What the receiving thread is doing, readable from any thread.
    struct Activity {
        // The thread is up with its sockets (false before start, after stop,
        // and once the thread has ended on its own).
        bool receiving = false;
        // When the request in progress arrived; empty while waiting for one.
        std::optional<std::chrono::steady_clock::time_point> busySince;
    };

    // Throws std::runtime_error when there is no process-wide context.
    ZmqIpcServer(const std::string& name, const std::string& endpoint, IIpcRequestHandler* handler,
                 ZmqIpcServerOptions options = {});
    virtual ~ZmqIpcServer();
    ZmqIpcServer(const ZmqIpcServer&) = delete;
    ZmqIpcServer& operator=(const ZmqIpcServer&) = delete;

    // Returns once the receiving thread has bound both its sockets (true) or
    // failed to (false, with the reason logged).
    bool start();
    bool stop();

    // Runs `task` on the receiving thread between two requests, so that it
    // may use what only that thread touches (the handler's objects). From
    // any thread but the receiving one. False when the server is not
    // receiving; tasks still waiting when it stops are dropped. A task that
    // throws is logged and the server goes on.
    bool post(std::function<void()> task);

    Activity activity() const;
    // Nothing while the server can serve: it is not started, or its thread is
    // receiving and has been on the current request for at most `bound`.
    // Otherwise why it cannot, as text for a log line. Any thread may ask.
    std::optional<std::string> servingProblem(std::chrono::milliseconds bound) const;

    const std::string& getEndpoint() const { return endpoint; }
    const std::string& getControlEndpoint() const { return controlEndpoint; }

private:
    enum class LoopEnd { stopped, failed };

    void receivingThread();
    void* openReplySocket();
    bool openSockets(void*& reply, void*& control);
    LoopEnd serveUntilStopped(void*& reply, void* control);
    bool receiveLoop(void* reply, void* control, unsigned& failures);
    bool reopenReplySocket(void*& reply, void* control, unsigned& failures, bool& stopped);
    bool waitForStop(void* control, std::chrono::milliseconds delay);
    bool serveRequest(void* reply);
    void serveFrame(void* reply, const std::uint8_t* frame, std::size_t frameSize);
    void replyEmpty(void* reply);
    bool readControl(void* control);
    void runPosted();
    void sendTerminate();
    void sendControl(const std::string& command);

    std::string name;
    std::string endpoint;
    IIpcRequestHandler* handler;
    void* context;
    std::string controlEndpoint;
    ZmqIpcServerOptions options;
    std::unique_ptr<std::thread> thread;
    std::promise<bool> bound;
    // Published by the receiving thread for activity(); `started` by the
    // owner's thread between a successful start and stop.
    std::atomic<bool> started{false};
    std::atomic<bool> receiving{false};
    std::atomic<std::int64_t> busySinceNs{0};
    std::mutex postedMutex;
    std::deque<std::function<void()>> posted;  // guarded by postedMutex
};

}  // namespace ev_common
