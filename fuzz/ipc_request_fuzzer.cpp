// Drives arbitrary request frames through a running ZmqIpcServer over inproc:
// the server reads the client identity, and the handler decodes the
// parameters of the certificate service's five operations with the real
// deserialisation code and answers the way that service does. Every frame
// must get exactly one reply, the one the decoding predicts; a frame left
// unanswered would stall the endpoint for every client.
#include "ev_common/ipc/serialization.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <zmq.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using ev_common::DeserializationBuffer;
using ev_common::SerializationBuffer;

void fail(const char* why) {
    std::fprintf(stderr, "fuzz_ipc_request: %s\n", why);
    std::abort();
}

template <typename... Values>
std::string encode(const Values&... values) {
    using ev_common::getSerializedSize;
    using ev_common::serialize;
    const std::uint32_t size = (0 + ... + getSerializedSize(values));
    std::string out(size, '\0');
    SerializationBuffer buffer{reinterpret_cast<std::uint8_t*>(out.data()), size};
    (serialize(buffer, values), ...);
    if (buffer.position != buffer.capacity) fail("sized message not filled exactly");
    return out;
}

// The reply for the payload at the cursor, or nothing when the request is not
// an operation. Throws DeserializationException on truncated parameters.
std::optional<std::string> answer(const std::string& clientId, DeserializationBuffer& request) {
    using ev_common::deserialize;
    std::int32_t operation = 0;
    deserialize(request, operation);
    switch (static_cast<std::uint32_t>(operation)) {
        case 0: {
            std::string pem;
            std::string name;
            deserialize(request, pem);
            deserialize(request, name);
            return encode(std::int32_t{pem.empty() ? 1 : 0},
                          static_cast<std::uint32_t>(name.size()));
        }
        case 1: {
            std::uint32_t id = 0;
            deserialize(request, id);
            return encode(std::int32_t{id == 5 ? 0 : 1});
        }
        case 2:
            return encode(std::vector<std::string>{clientId, "builtin"});
        case 3: {
            std::uint32_t id = 0;
            deserialize(request, id);
            return encode(std::to_string(id));
        }
        case 4: {
            std::string name;
            deserialize(request, name);
            return encode(name);
        }
        default:
            return std::nullopt;
    }
}

class Handler : public ev_common::ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string& clientId,
                       ev_common::IpcRequestContext& context) override {
        if (context.request->position != context.request->payloadStart)
            fail("cursor not at the payload");
        const std::optional<std::string> reply = answer(clientId, *context.request);
        if (!reply) return;
        context.responseSize = reply->size();
        context.sendResponse(reply->data(), reply->size());
    }
};

struct Harness {
    Handler handler;
    std::unique_ptr<ev_common::ZmqIpcServer> server;
    void* client = nullptr;

    Harness() {
        // Formatting of every log line still runs, only the output is dropped.
        auto logger = std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
        ev_common::ZmqIpc_Init();
        server = std::make_unique<ev_common::ZmqIpcServer>("Fuzz", "inproc://fuzz.reqresp.api",
                                                           &handler);
        if (!server->start()) fail("server did not start");
        client = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
        const int timeout = 5000;
        zmq_setsockopt(client, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        if (zmq_connect(client, "inproc://fuzz.reqresp.api") != 0) fail("client did not connect");
    }
    ~Harness() {
        zmq_close(client);
        server.reset();
        ev_common::ZmqIpc_Term();
    }
};

Harness* harness = nullptr;

// What the server must send back for this frame.
std::string expectedReply(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    DeserializationBuffer request{data, static_cast<std::uint32_t>(size)};
    try {
        std::string clientId;
        ev_common::deserialize(request, clientId);
        request.payloadStart = request.position;
        return answer(clientId, request).value_or(std::string());
    } catch (const ev_common::DeserializationException&) {
        if (request.position > request.size) fail("cursor ran past the frame");
        return {};
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static Harness instance;
    harness = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string expected = expectedReply(data, size);
    int sent;
    do {
        sent = zmq_send(harness->client, data, size, 0);
    } while (sent < 0 && zmq_errno() == EINTR);
    if (sent < 0) fail("request not sent");
    zmq_msg_t reply;
    zmq_msg_init(&reply);
    // libFuzzer's own timer signal interrupts waits now and then.
    int rc;
    do {
        rc = zmq_msg_recv(&reply, harness->client, 0);
    } while (rc < 0 && zmq_errno() == EINTR);
    if (rc < 0) fail("request left without a reply");
    const std::string got(static_cast<const char*>(zmq_msg_data(&reply)), zmq_msg_size(&reply));
    zmq_msg_close(&reply);
    if (got != expected) fail("reply differs from the decoded request");
    return 0;
}
