// Publishes one-frame messages on a ZeroMQ PUB endpoint, for daemons that tell
// their clients what changed. Publishing never waits: a subscriber that reads
// too slowly, or none at all, loses messages and never holds up the caller.
// Any thread may publish; needs ZmqIpc_Init() first and must be stopped (or
// destroyed) before the last ZmqIpc_Term().
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"

#include <memory>
#include <mutex>
#include <string>

namespace ev_common {

class UnixListener;

struct ZmqPublisherOptions {
    // Messages queued per subscriber before further ones are dropped for it.
    int sendHighWaterMark = 1000;
    // How an ipc:// endpoint on a file path is claimed: the socket file's
    // mode and group, a lock; as for ZmqIpcServer, a live socket of another
    // publisher keeps this one from starting and a stale file is cleared.
    IpcEndpointAccess endpointAccess;
};

class ZmqPublisher {
public:
    // Throws std::runtime_error when there is no process-wide context.
    explicit ZmqPublisher(std::string endpoint, ZmqPublisherOptions options = {});
    ~ZmqPublisher();
    ZmqPublisher(const ZmqPublisher&) = delete;
    ZmqPublisher& operator=(const ZmqPublisher&) = delete;

    // Creates the socket and binds the endpoint; false (with the reason
    // logged) when that fails or the publisher runs already.
    bool start();
    // Closes the socket, dropping what was not sent yet.
    void stop();
    bool isStarted() const;

    // Hands one frame to the socket without waiting. False when the publisher
    // is not started or the frame could not be queued (logged, except when
    // the subscribers' queues are full).
    bool publish(const std::string& frame);

    const std::string& getEndpoint() const { return endpoint; }
    // Applies to the next start().
    void setEndpointAccess(IpcEndpointAccess access);

private:
    std::string endpoint;
    ZmqPublisherOptions options;
    std::unique_ptr<UnixListener> listener;  // the ipc:// socket file, guarded by mutex
    void* context;
    mutable std::mutex mutex;
    void* socket = nullptr;  // guarded by mutex
};

}  // namespace ev_common
