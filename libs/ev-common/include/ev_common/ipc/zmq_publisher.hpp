// Publishes one-frame messages on a ZeroMQ endpoint, for daemons that tell
// their clients what changed. Publishing never waits: frames are queued for
// the publisher's own thread, and a subscriber that reads too slowly, or none
// at all, loses messages and never holds up the caller. The thread also sees
// each subscriber arrive and sends it the greeting frames (say, warnings that
// were published before it could connect); subscribers already there get
// them again. Any thread may publish; needs ZmqIpc_Init() first and must be
// stopped (or destroyed) before the last ZmqIpc_Term().
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "ev_common/system/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zmq {
class socket_t;
}  // namespace zmq

namespace ev_common {

class ConnectionGuard;
class UnixListener;

struct ZmqPublisherOptions {
    // Messages queued per subscriber before further ones are dropped for it.
    int sendHighWaterMark = 1000;
    // Frames waiting for the publisher's thread before further ones are
    // dropped.
    std::size_t queueLimit = 10000;
    // How an ipc:// endpoint on a file path is claimed: the socket file's
    // mode and group, a lock; as for ZmqIpcServer, a live socket of another
    // publisher keeps this one from starting and whatever else is at the
    // path is set aside.
    IpcEndpointAccess endpointAccess;
    // What one subscriber's user may hold of the endpoint's connections, as
    // for ZmqIpcServer (ipc:// file paths only).
    ConnectionLimits connectionLimits;
};

class ZmqPublisher {
public:
    // Throws std::runtime_error when there is no process-wide context.
    explicit ZmqPublisher(std::string endpoint, ZmqPublisherOptions options = {});
    ~ZmqPublisher();
    ZmqPublisher(const ZmqPublisher&) = delete;
    ZmqPublisher& operator=(const ZmqPublisher&) = delete;

    // Takes the ipc:// endpoint's path (lock and socket file) ahead of
    // start(), so a daemon learns early that it cannot publish. False, with
    // the reason logged, when the path is not to be had.
    bool claim();
    // Claims the endpoint if not done yet, binds it and starts the thread;
    // false (with the reason logged) when that fails or the publisher runs
    // already.
    bool start();
    // Ends the thread and closes the socket, dropping what was not sent;
    // nothing to do for a publisher that is not running.
    void stop();
    bool isStarted() const;

    // Queues one frame without waiting. False when the publisher is not
    // started or the queue is full.
    bool publish(const std::string& frame);
    // The frames every arriving subscriber is sent, replacing the last ones.
    void setGreeting(std::vector<std::string> frames);

    const std::string& getEndpoint() const { return endpoint; }
    // These apply to the next claim() or start().
    void setEndpoint(std::string value);
    void setEndpointAccess(IpcEndpointAccess access);
    void setConnectionLimits(ConnectionLimits limits);
    // Subscriber connections closed for the limits, since construction.
    std::uint64_t refusedConnections() const;

private:
    void serve(zmq::socket_t& socket);
    void send(zmq::socket_t& socket, const std::string& frame);

    std::string endpoint;
    ZmqPublisherOptions options;
    // Set up and torn down by the owner's thread (start, stop).
    std::unique_ptr<UnixListener> listener;
    std::unique_ptr<ConnectionGuard> guard;
    // Attached and closed by the owner's thread, used by `thread` between.
    std::unique_ptr<zmq::socket_t> liveSocket;
    std::thread thread;
    UniqueFd wakeUp;  // eventfd: frames queued, or stop

    mutable std::mutex mutex;
    bool started = false;               // guarded by mutex
    bool stopping = false;              // guarded by mutex
    std::deque<std::string> queue;      // guarded by mutex
    std::vector<std::string> greeting;  // guarded by mutex
};

}  // namespace ev_common
