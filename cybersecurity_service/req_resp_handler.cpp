#include "req_resp_handler.hpp"

#include "ev_common/ipc/request_reply.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

namespace ev_charging_platform::cybersecurity {

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
    // The server takes a stop while not running quietly; the handler still
    // reports one to its owner.
    if (!started_ || !server_.stop()) {
        spdlog::error("Unable to stop IPC server");
        return false;
    }
    started_ = false;
    return true;
}

void req_resp_cybersecurity_service_handler::notifyRequest(const std::string& clientId,
                                                           ev_common::IpcRequestContext& context) {
    ev_common::DeserializationBuffer& request = *context.request;
    std::int32_t raw = 0;
    try {
        ev_common::deserialize(request, raw);
    } catch (const ev_common::DeserializationException&) {
        spdlog::error("Server {} : deserialization error", *context.serverEndpoint);
        request.position = request.payloadStart;
        spdlog::error("Unable to retrieve operation id");
        return;
    }
    if (static_cast<std::uint32_t>(raw) > 7) {
        spdlog::warn("Unknown operation : {}", raw);
        return;
    }
    const auto operation = static_cast<operation_id>(raw);
    const std::string& name = to_string(operation);
    spdlog::debug("[{}] operation : {}", ev_common::bounded(clientId), name);

    using ev_common::readParameters;
    using ev_common::sendReplyOf;
    switch (operation) {
        case operation_id::add_ca_certificate: {
            std::string certificate;
            std::string certificate_name;
            if (!readParameters(context, name, certificate, certificate_name)) return;
            std::uint32_t id = 0;
            const auto status = operations_->add_ca_certificate_for(context.peer, certificate,
                                                                    certificate_name, id);
            sendReplyOf(context, name, status, id);
            break;
        }
        case operation_id::remove_ca_certificate: {
            std::uint32_t id = 0;
            if (!readParameters(context, name, id)) return;
            serve_removal(context, name,
                          [&] { return operations_->remove_ca_certificate_for(context.peer, id); });
            break;
        }
        case operation_id::get_ca_certificates:
            sendReplyOf(context, name, operations_->get_ca_certificates());
            break;
        case operation_id::get_ca_certificate_by_id: {
            std::uint32_t id = 0;
            if (!readParameters(context, name, id)) return;
            sendReplyOf(context, name, operations_->get_ca_certificate_by_id(id));
            break;
        }
        case operation_id::get_ca_certificate_by_name: {
            std::string certificate_name;
            if (!readParameters(context, name, certificate_name)) return;
            sendReplyOf(context, name, operations_->get_ca_certificate_by_name(certificate_name));
            break;
        }
        case operation_id::get_ca_certificate_details:
            serve_details(context, name);
            break;
        case operation_id::remove_ca_certificate_by_hash: {
            certificate_hash_data hash_data;
            if (!readParameters(context, name, hash_data)) return;
            serve_removal(context, name, [&] {
                return operations_->remove_ca_certificate_by_hash_for(context.peer, hash_data);
            });
            break;
        }
        case operation_id::add_ca_certificate_to_domain: {
            std::string domain;
            std::string certificate;
            std::string certificate_name;
            if (!readParameters(context, name, domain, certificate, certificate_name)) return;
            std::uint32_t id = 0;
            const auto status = operations_->add_ca_certificate_to_domain_for(
                context.peer, domain, certificate, certificate_name, id);
            sendReplyOf(context, name, status, id);
            break;
        }
    }
}

void req_resp_cybersecurity_service_handler::serve_details(ev_common::IpcRequestContext& context,
                                                           const std::string& operation) {
    auto text = operations_->get_ca_certificate_details();
    if (!text) text = std::make_shared<const std::string>();
    if (text != details_text_ || !details_reply_) {
        auto reply =
            std::make_shared<std::vector<std::uint8_t>>(ev_common::getSerializedSize(*text));
        ev_common::SerializationBuffer out{reply->data(), static_cast<std::uint32_t>(reply->size()),
                                           0};
        ev_common::serialize(out, *text);
        details_reply_ = std::move(reply);
        details_text_ = std::move(text);
    }
    ev_common::sendSharedReply(context, operation, details_reply_);
}

void req_resp_cybersecurity_service_handler::serve_removal(
    ev_common::IpcRequestContext& context, const std::string& operation,
    const std::function<RemoveCertificateStatus()>& remove) {
    ev_common::sendReplyOf(context, operation, remove());
}

}  // namespace ev_charging_platform::cybersecurity
