// Serves one ZeroMQ request/response endpoint on a receiving thread of its
// own: answers pings itself, reads the client identity in front of every other
// request and hands the rest to its IIpcRequestHandler, with the caller's
// credentials on ipc:// endpoints. An ipc:// endpoint's socket file is the
// server's alone while it runs (see claim()). Stopped through an inproc
// control channel, so no lock is shared with the owner's thread; the same
// channel lets other threads hand it work that must run between requests.
// Owned by a service's IPC-side handler; needs ZmqIpc_Init() first.
#pragma once

#include "ev_common/ipc/ipc_endpoint.hpp"
#include "ev_common/ipc/serialization.hpp"

#include <sys/types.h>

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

namespace zmq {
class message_t;
class socket_t;
}  // namespace zmq

namespace ev_common {

// What the receiving thread hands to the handler for one request; lives on that
// thread's stack for the duration of the handler call only.
struct IpcRequestContext {
    const std::string* serverEndpoint = nullptr;
    void* socket = nullptr;  // the server's reply socket
    const std::uint8_t* requestData = nullptr;
    DeserializationBuffer* request = nullptr;  // cursor over the whole frame
    std::size_t responseSize = 0;              // set by the handler before it replies
    // The client's credentials on an ipc:// endpoint; empty elsewhere, and
    // when the transport did not give them.
    std::optional<PeerCredentials> peer;
    // Set once a reply has gone out; the server answers a request left
    // without one with an empty frame.
    bool replied = false;

    // Sends one reply frame. False when the socket refused it for now (EAGAIN);
    // any other failure throws zmq::error_t.
    bool sendResponse(const void* data, std::size_t size);
    // The same for a reply written straight into its message, which the
    // transport takes over without a copy (emptied once sent).
    bool sendResponse(zmq::message_t& message);
    // The same for a reply the handler keeps and sends again (a large one
    // that changes rarely): sent without a copy, and kept alive until the
    // transport is done with it.
    bool sendSharedResponse(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
};

// How a server claims an ipc:// endpoint on a file path; other endpoints
// ignore it. Without a lock, a live socket at the path still keeps a second
// server out, but two servers starting at the same moment could both bind.
struct IpcEndpointAccess {
    // Mode of the socket file. Connecting needs write permission on it, so
    // 0600 admits the server's user (and root) only, 0660 its group too.
    mode_t mode = 0600;
    // Group of the socket file; unset: the server's own. A server that may
    // not give the file to the group (no CAP_CHOWN, chown calls filtered)
    // says so and serves with the mode less the group's bits: the group's
    // members cannot connect. Where that matters, systemd creates the socket
    // (socket activation) and the server adopts it.
    std::optional<gid_t> group;
    // A file the server holds locked (flock) while it runs, so that a second
    // server of the endpoint, in any process, refuses to start. Its folder is
    // created when missing and must belong to the server's user and be
    // writable by nobody else (see ipcLockFile). Empty: no lock.
    std::string lockFile;
};

// Where a server of the ipc:// `endpoint` keeps its lock, for the endpoint
// /tmp/x.reqresp.api: as root in `rootFolder` (a folder only root may write,
// such as /run/<daemon>), "/run/<daemon>/x.reqresp.lock"; as any other user
// in $XDG_RUNTIME_DIR when that is a folder of the user's that nobody else
// may write ("$XDG_RUNTIME_DIR/<daemon>.x.reqresp.lock", without the daemon's
// name when the endpoint's starts with it), otherwise in a folder of the
// user's own, "/tmp/<daemon>-<uid>/x.reqresp.lock" (never in /tmp itself,
// where anyone could take the name). <daemon> is the last part of
// `rootFolder`. Empty for an endpoint that is not an ipc:// file path.
std::string ipcLockFile(const std::string& endpoint, const std::string& rootFolder);
// The same for a process of `user` whose $XDG_RUNTIME_DIR is `runtimeFolder`
// (empty when unset).
std::string ipcLockFile(const std::string& endpoint, const std::string& rootFolder, uid_t user,
                        const std::string& runtimeFolder);

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
    IpcEndpointAccess endpointAccess;
    // What one caller may hold of an ipc:// endpoint on a file path; other
    // endpoints ignore it.
    ConnectionLimits connectionLimits;
};

class UnixListener;
class ConnectionGuard;

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

    // For a server whose access is known only once its owner has read its
    // configuration; takes effect at the next claim.
    void setEndpointAccess(IpcEndpointAccess access);
    // The same for the connection limits; takes effect at the next start.
    void setConnectionLimits(ConnectionLimits limits);

    // Makes an ipc:// endpoint on a file path this server's, without serving
    // it yet: takes the lock, then uses the listening socket systemd passed
    // for the path (socket activation) or binds one beside the path and
    // renames it into place, setting aside whatever another user left there
    // (see IpcEndpointAccess).
    // Clients that connect meanwhile wait in the socket's backlog. False,
    // with the reason logged, when the endpoint is not to be had, e.g. while
    // another process serves it. A daemon claims before it prepares anything
    // a second instance must not touch. True at once for other endpoints and
    // for a claimed one; start() claims when this was not called.
    bool claim();

    // Returns once the receiving thread has bound both its sockets (true) or
    // failed to (false, with the reason logged).
    bool start();
    // Ends the receiving thread and releases the endpoint. A server that is
    // not running (never started, failed to start, stopped already) has
    // nothing to stop: true, without a word.
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

    // Connections closed at once for being over a limit, since the first
    // start; any thread may ask.
    std::uint64_t refusedConnections() const;

    const std::string& getEndpoint() const { return endpoint; }
    const std::string& getControlEndpoint() const { return controlEndpoint; }

private:
    enum class LoopEnd { stopped, failed };

    void receivingThread();
    bool openReplySocket(zmq::socket_t& reply);
    void closeReplySocket(zmq::socket_t& reply);
    bool openSockets(zmq::socket_t& reply, zmq::socket_t& control);
    LoopEnd serveUntilStopped(zmq::socket_t& reply, zmq::socket_t& control);
    bool receiveLoop(zmq::socket_t& reply, zmq::socket_t& control, unsigned& failures);
    bool reopenReplySocket(zmq::socket_t& reply, zmq::socket_t& control, unsigned& failures,
                           bool& stopped);
    bool waitForStop(zmq::socket_t& control, std::chrono::milliseconds delay);
    bool serveRequest(zmq::socket_t& reply);
    void serveFrame(zmq::socket_t& reply, const std::uint8_t* frame, std::size_t frameSize,
                    std::optional<PeerCredentials> peer);
    void replyEmpty(zmq::socket_t& reply);
    bool readControl(zmq::socket_t& control);
    void runPosted();
    void sendTerminate();
    void sendControl(const std::string& command);

    std::string name;
    std::string endpoint;
    IIpcRequestHandler* handler;
    void* context;  // the process-wide context's handle, to tell it is still alive
    std::string controlEndpoint;
    ZmqIpcServerOptions options;
    // The file path of an ipc:// endpoint, empty for any other endpoint.
    std::string socketPath;
    bool readsCredentials;
    // Claimed and released by the owner's thread, used by the receiving
    // thread while it runs.
    std::unique_ptr<UnixListener> listener;
    // Created by the first start on an ipc:// file path; watches each reply
    // socket of the receiving thread.
    std::unique_ptr<ConnectionGuard> guard;
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
