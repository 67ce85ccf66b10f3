// The receiving side of a ZmqPublisher endpoint: a SUB socket that takes
// every message, read one frame at a time within a time-out. It connects at
// once and reconnects by itself, so it may be created before the publisher
// runs and outlives its restarts; what is published while it is not
// connected is lost. On ipc:// endpoints only messages of a publisher that
// runs as root (or as the user named) are taken, by the credentials the
// kernel gives for the connection: a process of another user that put its
// own socket at the path cannot feed forged events. Owns a ZeroMQ context of
// its own, like ZmqIpcClient. Not thread-safe: one subscriber per thread.
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

    const std::string& endpoint() const { return endpoint_; }

private:
    struct Connection;
    bool fromTrustedPublisher(void* message) const;

    std::string endpoint_;
    bool checkPublisher_;
    uid_t publisherOwner_ = 0;
    std::size_t refused_ = 0;
    std::unique_ptr<Connection> connection_;
};

}  // namespace ev_common
