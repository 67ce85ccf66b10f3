// The plumbing every request handler on a ZmqIpcServer needs around its own
// operations: reading an operation's parameters from the request, and sizing,
// writing in place and sending its reply as one ZeroMQ message. Handlers never
// touch <zmq.h> or close messages themselves.
//
//     std::uint32_t id = 0;
//     if (!readParameters(context, "remove", id)) return;   // logged, no reply
//     sendReplyOf(context, "remove", status);
#pragma once

#include "ev_common/ipc/serialization.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ev_common {

// Reads values in order from the request's cursor. When the request is too
// short: logs "Server {} : deserialization error" and "Unable to retrieve
// parameters for operation : {}", rewinds to the payload's start and answers
// false.
bool readRequest(IpcRequestContext& context, const std::string& operation,
                 const std::function<void(DeserializationBuffer&)>& read);

template <typename... Values>
bool readParameters(IpcRequestContext& context, const std::string& operation, Values&... values) {
    return readRequest(context, operation,
                       [&](DeserializationBuffer& in) { (deserialize(in, values), ...); });
}

// Creates a message of exactly `size` bytes (the context's responseSize),
// lets `write` fill it, and sends it as the reply. Every failure is logged
// ("Unable to send response for operation : {}", after "Server {} :
// serialization error" when the writer ran out of room) and answers false; a
// ZeroMQ error other than EAGAIN leaves as zmq::error_t for the server.
bool sendReply(IpcRequestContext& context, const std::string& operation, std::uint32_t size,
               const std::function<void(SerializationBuffer&)>& write);

// A reply encoded beforehand and kept by the handler, sent without a copy;
// failures are logged as sendReply logs them.
bool sendSharedReply(IpcRequestContext& context, const std::string& operation,
                     std::shared_ptr<const std::vector<std::uint8_t>> bytes);

// The reply made of the given values, sized with getSerializedSize.
template <typename... Values>
bool sendReplyOf(IpcRequestContext& context, const std::string& operation,
                 const Values&... values) {
    const std::uint32_t size = (0u + ... + getSerializedSize(values));
    return sendReply(context, operation, size,
                     [&](SerializationBuffer& out) { (serialize(out, values), ...); });
}

}  // namespace ev_common
