#include "ev_common/ipc/request_reply.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>
#include <zmq.hpp>

namespace ev_common {

namespace {

// A message of a given size, closed on every way out.
class ReplyMessage {
public:
    explicit ReplyMessage(std::uint32_t size) {
        if (zmq_msg_init_size(&message_, size) != 0) throw zmq::error_t();
    }
    ~ReplyMessage() { zmq_msg_close(&message_); }
    ReplyMessage(const ReplyMessage&) = delete;
    ReplyMessage& operator=(const ReplyMessage&) = delete;

    void* data() { return zmq_msg_data(&message_); }
    std::size_t size() { return zmq_msg_size(&message_); }

private:
    zmq_msg_t message_;
};

}  // namespace

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
    ReplyMessage message(size);
    void* data = message.data();
    if (data == nullptr) {
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    SerializationBuffer buffer{static_cast<std::uint8_t*>(data), size, 0};
    try {
        write(buffer);
    } catch (const SerializationException&) {
        spdlog::error("Server {} : serialization error", *context.serverEndpoint);
        spdlog::error("Unable to send response for operation : {}", operation);
        return false;
    }
    if (!context.sendResponse(data, message.size())) {
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
