// The client side of a ZmqIpcServer endpoint: each exchange sends one request
// frame and waits for one reply frame within a time-out. A REQ socket whose
// reply went missing refuses every further send, so it is replaced and the
// next exchange starts afresh. Before every exchange on an ipc:// endpoint it
// checks who owns the socket file, and it checks who sent each reply, so a
// socket some other user put at the path never gets a request nor answers
// one. Owns a ZeroMQ context of its own, so any
// program can use it without the service runtime. Not thread-safe: one client
// per thread. Service clients (for example the trust service's) build on it.
#pragma once

#include "ev_common/ipc/serialization.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ev_common {

class ZmqIpcClient {
public:
    enum class Error {
        none,
        sendFailed,         // the request could not be handed to the socket in time
        noReply,            // nothing came back within the time-out
        invalidReply,       // the reply came in several frames
        untrustedEndpoint,  // the endpoint is not its owner's (endpointProblem says why)
    };

    // Why an ipc:// endpoint was refused: its socket file is not a socket,
    // belongs to another user than the expected owner (or root), or is
    // writable by every user; or the reply came from a process of another
    // user (wrongServer, found only after the request went out).
    struct EndpointProblem {
        enum class Kind { none, notSocket, wrongOwner, writableByOthers, wrongServer };
        Kind kind = Kind::none;
        std::string path;
        uid_t owner = 0;  // of the file, or of the process that replied
        mode_t mode = 0;  // of the file
    };

    ZmqIpcClient(std::string endpoint, std::chrono::milliseconds timeout);
    ~ZmqIpcClient();
    ZmqIpcClient(const ZmqIpcClient&) = delete;
    ZmqIpcClient& operator=(const ZmqIpcClient&) = delete;

    const std::string& endpoint() const { return endpoint_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // The user who must own the socket file of an ipc:// endpoint (and the
    // server behind it): root unless set. Root is always accepted.
    uid_t endpointOwner() const { return endpointOwner_; }
    void setEndpointOwner(uid_t owner) { endpointOwner_ = owner; }

    // The one-frame reply, or nothing (lastError says why) when the exchange
    // failed. Never throws for a transport failure.
    std::optional<std::vector<std::uint8_t>> exchange(const std::vector<std::uint8_t>& request);
    // The same, but the reply's bytes are handed to `read` where the
    // transport received them, so that a large reply is not copied first.
    // False when the exchange failed (`read` is not called then).
    bool exchange(const std::vector<std::uint8_t>& request,
                  const std::function<void(const std::uint8_t* data, std::size_t size)>& read);

    Error lastError() const { return lastError_; }
    // Whether the last exchange handed its request to a connected server.
    // After a noReply that did, the server may still carry the request out.
    bool requestSent() const { return requestSent_; }
    // The transport's own text when it refused the endpoint or the socket.
    const std::string& transportError() const { return transportError_; }
    // Set when the last exchange failed with untrustedEndpoint.
    const EndpointProblem& endpointProblem() const { return endpointProblem_; }

private:
    struct Connection;
    enum class Check { trusted, missing, refused, unreadable };
    void dropConnection();
    // Waits until the deadline for the socket file to appear, then judges it.
    Check checkEndpoint(std::chrono::steady_clock::time_point deadline);
    bool trustedOwner(uid_t owner) const { return owner == endpointOwner_ || owner == 0; }

    std::string endpoint_;
    std::string socketPath_;  // empty unless an ipc:// file endpoint
    uid_t endpointOwner_ = 0;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<Connection> connection_;
    Error lastError_ = Error::none;
    bool requestSent_ = false;
    std::string transportError_;
    EndpointProblem endpointProblem_;
};

// A request frame as a ZmqIpcServer reads it: the client identity, then the
// given values in order.
template <typename... Values>
std::vector<std::uint8_t> encodeRequest(const std::string& identity, const Values&... values) {
    std::vector<std::uint8_t> frame(getSerializedSize(identity) +
                                    (std::uint32_t{0} + ... + getSerializedSize(values)));
    SerializationBuffer cursor{frame.data(), static_cast<std::uint32_t>(frame.size()), 0};
    serialize(cursor, identity);
    (serialize(cursor, values), ...);
    return frame;
}

enum class ReplyDecoding { decoded, empty, invalid };

// Reads a reply that must be exactly the given values: `empty` for an empty
// frame (what a server answers to a request it could not serve), `invalid`
// when the bytes are too few or too many.
template <typename... Values>
ReplyDecoding decodeReply(const std::uint8_t* data, std::size_t size, Values&... values) {
    if (size == 0) return ReplyDecoding::empty;
    if (size > UINT32_MAX) return ReplyDecoding::invalid;
    DeserializationBuffer cursor{data, static_cast<std::uint32_t>(size), 0, 0};
    try {
        (deserialize(cursor, values), ...);
    } catch (const DeserializationException&) {
        return ReplyDecoding::invalid;
    }
    return cursor.position == cursor.size ? ReplyDecoding::decoded : ReplyDecoding::invalid;
}

template <typename... Values>
ReplyDecoding decodeReply(const std::vector<std::uint8_t>& reply, Values&... values) {
    return decodeReply(reply.data(), reply.size(), values...);
}

}  // namespace ev_common
