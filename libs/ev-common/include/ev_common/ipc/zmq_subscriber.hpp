// The receiving side of a ZmqPublisher endpoint: a SUB socket that takes
// every message, read one frame at a time within a time-out. It connects at
// once and reconnects by itself, so it may be created before the publisher
// runs and outlives its restarts; what is published while it is not
// connected is lost. On ipc:// endpoints only a publisher that runs as root
// (or as the user named) is listened to, by the credentials the kernel gives
// for the connection: each connection is checked as it is made, one to a
// socket of another user is dropped and made again a moment later (so a
// process that held the path while the service was down cannot keep the
// subscriber from the real publisher), and every message is checked again.
// Heartbeats find a publisher that went away without closing. Owns a ZeroMQ
// context of its own, like ZmqIpcClient. Not thread-safe: one subscriber per
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ev_common {

class ZmqSubscriber {
public:
    // Frames longer than this are refused by the transport (the connection
    // is dropped and made again).
    static constexpr std::int64_t kDefaultMaxMessageSize = 64 * 1024;
    // How long a connection refused for its owner waits before the next try.
    static constexpr std::chrono::milliseconds kRetryAfterRefusal{500};

    // Throws zmq::error_t when the transport refuses the endpoint.
    explicit ZmqSubscriber(const std::string& endpoint,
                           std::int64_t maxMessageSize = kDefaultMaxMessageSize);
    ~ZmqSubscriber();
    ZmqSubscriber(const ZmqSubscriber&) = delete;
    ZmqSubscriber& operator=(const ZmqSubscriber&) = delete;

    // The next one-frame message, or nothing when none came within the
    // time-out. A message of several frames is skipped, and so is one from a
    // publisher of another user (counted in refusedMessages).
    std::optional<std::string> receive(std::chrono::milliseconds timeout);

    // The user whose publisher is trusted besides root (default root).
    void setPublisherOwner(uid_t owner) { publisherOwner_ = owner; }
    std::size_t refusedMessages() const { return refused_; }
    // Connections dropped because the socket at the path was another user's.
    std::size_t refusedConnections() const { return refusedConnections_; }
    // Whether a trusted publisher is connected, as of the last receive().
    bool isConnected() const { return connected_; }

    const std::string& endpoint() const { return endpoint_; }

private:
    struct Context;
    struct Connection;
    bool fromTrustedPublisher(void* message) const;
    bool trustedOwner(uid_t uid) const { return uid == 0 || uid == publisherOwner_; }
    // Reads what the connection's monitor reported; false once the
    // connection was dropped for its owner.
    bool readMonitor();
    void reconnectIfDue();

    std::string endpoint_;
    std::int64_t maxMessageSize_;
    bool checkPublisher_;
    uid_t publisherOwner_ = 0;
    std::size_t refused_ = 0;
    std::size_t refusedConnections_ = 0;
    bool connected_ = false;
    std::chrono::steady_clock::time_point reconnectAt_{};
    std::unique_ptr<Context> context_;
    // Empty while a refused connection waits for its next try.
    std::unique_ptr<Connection> connection_;
};

}  // namespace ev_common
