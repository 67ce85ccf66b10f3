#include "ev_common/ipc/request_reply.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

namespace ev_common {

bool readRequest(IpcRequestContext& context, const std::string& operation,
                 const std::function<void(DeserializationBuffer&)>& read) {
    try {
        read(*context.request);
        return true;
    } catch (const DeserializationException&) {
        spdlog::error("Server {} : deserialization error", *context.serverEndpoint);
        context.request->position = context.request->payloadStart;
        spdlog::error("Unable to retrieve parameters for operation : {}", operation);
        return false;
    }
}

bool sendReply(IpcRequestContext& context, const std::string& operation, std::uint32_t size,
               const std::function<void(SerializationBuffer&)>& write) {
    context.responseSize = size;
    // Written in place: the message is the only copy of the reply.
    zmq::message_t message(size);
    auto* data = message.data<std::uint8_t>();
    if (data == nullptr) {
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    SerializationBuffer buffer{data, size, 0};
    try {
        write(buffer);
    } catch (const SerializationException&) {
        spdlog::error("Server {} : serialization error", *context.serverEndpoint);
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    if (!context.sendResponse(message)) {
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    return true;
}

bool sendSharedReply(IpcRequestContext& context, const std::string& operation,
                     std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
    context.responseSize = bytes ? bytes->size() : 0;
    if (!context.sendSharedResponse(std::move(bytes))) {
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    return true;
}

}  // namespace ev_common
