#include "req_resp_handler.hpp"

#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>
#include <zmq.hpp>

namespace ev_charging_platform::cybersecurity {

namespace {

using ev_common::DeserializationBuffer;
using ev_common::DeserializationException;
using ev_common::SerializationBuffer;
using ev_common::SerializationException;

// Sizes the reply first, then writes it in place into one ZeroMQ message and
// sends that message as the reply frame.
template <typename Writer>
void send_reply(ev_common::IpcRequestContext& context, const std::string& operation,
                std::uint32_t size, Writer write) {
    context.responseSize = size;
    zmq_msg_t message;
    if (zmq_msg_init_size(&message, size) != 0) throw zmq::error_t();
    void* data = zmq_msg_data(&message);
    if (data == nullptr) {
        zmq_msg_close(&message);
        spdlog::error("Unable to send response for operation : {}", operation);
        return;
    }
    SerializationBuffer buffer{static_cast<std::uint8_t*>(data), size, 0};
    try {
        write(buffer);
    } catch (const SerializationException&) {
        spdlog::error("Server {} : serialization error", *context.serverEndpoint);
        zmq_msg_close(&message);
        spdlog::error("Unable to send response for operation : {}", operation);
        return;
    }
    bool sent = false;
    try {
        sent = context.sendResponse(data, zmq_msg_size(&message));
    } catch (...) {
        zmq_msg_close(&message);
        throw;
    }
    zmq_msg_close(&message);
    if (!sent) spdlog::error("Unable to send response for operation : {}", operation);
}

// Reads the operation's parameters; false (after the two error lines) when
// the request is too short for them.
template <typename Reader>
bool read_parameters(ev_common::IpcRequestContext& context, const std::string& operation,
                     Reader read) {
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

}  // namespace

req_resp_cybersecurity_service_handler::req_resp_cybersecurity_service_handler(
    i_req_resp_cybersecurity_service_handler* operations, const std::string& endpoint,
    ev_common::ZmqIpcServerOptions server_options)
    : operations_(operations),
      server_("Cybersecurity", endpoint, this, std::move(server_options)) {}

req_resp_cybersecurity_service_handler::~req_resp_cybersecurity_service_handler() {
    if (started_) stop();
}

bool req_resp_cybersecurity_service_handler::start() {
    if (!server_.start()) {
        spdlog::error("Unable to start IPC server");
        return false;
    }
    started_ = true;
    return true;
}

bool req_resp_cybersecurity_service_handler::stop() {
    if (!server_.stop()) {
        spdlog::error("Unable to stop IPC server");
        return false;
    }
    started_ = false;
    return true;
}

void req_resp_cybersecurity_service_handler::notifyRequest(const std::string& clientId,
                                                           ev_common::IpcRequestContext& context) {
    DeserializationBuffer& request = *context.request;
    std::int32_t raw = 0;
    try {
        ev_common::deserialize(request, raw);
    } catch (const DeserializationException&) {
        spdlog::error("Server {} : deserialization error", *context.serverEndpoint);
        request.position = request.payloadStart;
        spdlog::error("Unable to retrieve operation id");
        return;
    }
    if (static_cast<std::uint32_t>(raw) > 4) {
        spdlog::warn("Unknown operation : {}", raw);
        return;
    }
    const auto operation = static_cast<operation_id>(raw);
    const std::string& name = to_string(operation);
    spdlog::debug("[{}] operation : {}", ev_common::bounded(clientId), name);

    switch (operation) {
        case operation_id::add_ca_certificate: {
            std::string certificate;
            std::string certificate_name;
            if (!read_parameters(context, name, [&](DeserializationBuffer& in) {
                    ev_common::deserialize(in, certificate);
                    ev_common::deserialize(in, certificate_name);
                })) {
                return;
            }
            std::uint32_t id = 0;
            const auto status = operations_->add_ca_certificate(certificate, certificate_name, id);
            send_reply(context, name,
                       ev_common::getSerializedSize(status) + ev_common::getSerializedSize(id),
                       [&](SerializationBuffer& out) {
                           ev_common::serialize(out, status);
                           ev_common::serialize(out, id);
                       });
            break;
        }
        case operation_id::remove_ca_certificate: {
            std::uint32_t id = 0;
            if (!read_parameters(context, name, [&](DeserializationBuffer& in) {
                    ev_common::deserialize(in, id);
                })) {
                return;
            }
            const auto status = operations_->remove_ca_certificate(id);
            send_reply(context, name, ev_common::getSerializedSize(status),
                       [&](SerializationBuffer& out) { ev_common::serialize(out, status); });
            break;
        }
        case operation_id::get_ca_certificates: {
            const auto certificates = operations_->get_ca_certificates();
            send_reply(context, name, ev_common::getSerializedSize(certificates),
                       [&](SerializationBuffer& out) { ev_common::serialize(out, certificates); });
            break;
        }
        case operation_id::get_ca_certificate_by_id: {
            std::uint32_t id = 0;
            if (!read_parameters(context, name, [&](DeserializationBuffer& in) {
                    ev_common::deserialize(in, id);
                })) {
                return;
            }
            const std::string text = operations_->get_ca_certificate_by_id(id);
            send_reply(context, name, ev_common::getSerializedSize(text),
                       [&](SerializationBuffer& out) { ev_common::serialize(out, text); });
            break;
        }
        case operation_id::get_ca_certificate_by_name: {
            std::string certificate_name;
            if (!read_parameters(context, name, [&](DeserializationBuffer& in) {
                    ev_common::deserialize(in, certificate_name);
                })) {
                return;
            }
            const std::string text = operations_->get_ca_certificate_by_name(certificate_name);
            send_reply(context, name, ev_common::getSerializedSize(text),
                       [&](SerializationBuffer& out) { ev_common::serialize(out, text); });
            break;
        }
    }
}

}  // namespace ev_charging_platform::cybersecurity
