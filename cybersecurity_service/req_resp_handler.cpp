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
    const auto& table = operation_table();
    if (static_cast<std::uint32_t>(raw) >= table.size() ||
        table[static_cast<std::uint32_t>(raw)].serve == nullptr) {
        spdlog::warn("Unknown operation : {}", raw);
        return;
    }
    const operation& entry = table[static_cast<std::uint32_t>(raw)];
    spdlog::debug("[{}] operation : {}", ev_common::bounded(clientId), entry.name);
    entry.serve(*this, requester::client(context.peer), context, entry.name);
}

const std::array<req_resp_cybersecurity_service_handler::operation, 14>&
req_resp_cybersecurity_service_handler::operation_table() {
    using ev_common::IpcRequestContext;
    using ev_common::readParameters;
    using ev_common::sendReplyOf;
    using handler = req_resp_cybersecurity_service_handler;
    static const std::array<operation, 14> table{{
        {to_string(operation_id::add_ca_certificate),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::string certificate;
             std::string certificate_name;
             if (!readParameters(context, name, certificate, certificate_name)) return;
             std::uint32_t id = 0;
             const auto status =
                 self.operations_->add_ca_certificate(who, certificate, certificate_name, id);
             sendReplyOf(context, name, status, id);
         }},
        {to_string(operation_id::remove_ca_certificate),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint32_t id = 0;
             if (!readParameters(context, name, id)) return;
             sendReplyOf(context, name, self.operations_->remove_ca_certificate(who, id));
         }},
        {to_string(operation_id::get_ca_certificates),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             sendReplyOf(context, name, self.operations_->get_ca_certificates(who));
         }},
        {to_string(operation_id::get_ca_certificate_by_id),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint32_t id = 0;
             if (!readParameters(context, name, id)) return;
             sendReplyOf(context, name, self.operations_->get_ca_certificate_by_id(who, id));
         }},
        {to_string(operation_id::get_ca_certificate_by_name),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::string certificate_name;
             if (!readParameters(context, name, certificate_name)) return;
             sendReplyOf(context, name,
                         self.operations_->get_ca_certificate_by_name(who, certificate_name));
         }},
        {to_string(operation_id::get_ca_certificate_details),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) { self.serve_details(who, context, name); }},
        {to_string(operation_id::remove_ca_certificate_by_hash),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             certificate_hash_data hash_data;
             if (!readParameters(context, name, hash_data)) return;
             sendReplyOf(context, name,
                         self.operations_->remove_ca_certificate_by_hash(who, hash_data));
         }},
        {to_string(operation_id::add_ca_certificate_to_domain),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::string domain;
             std::string certificate;
             std::string certificate_name;
             if (!readParameters(context, name, domain, certificate, certificate_name)) return;
             std::uint32_t id = 0;
             const auto status = self.operations_->add_ca_certificate_to_domain(
                 who, domain, certificate, certificate_name, id);
             sendReplyOf(context, name, status, id);
         }},
        {to_string(operation_id::get_changes_since),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint64_t since = 0;
             if (!readParameters(context, name, since)) return;
             sendReplyOf(context, name, self.operations_->get_changes_since(who, since));
         }},
        {to_string(operation_id::confirm_csms_root),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint32_t id = 0;
             if (!readParameters(context, name, id)) return;
             sendReplyOf(context, name, self.operations_->confirm_csms_root(who, id));
         }},
        {to_string(operation_id::verify_certificate_chain),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::string domains;
             std::string pem;
             std::string options;
             if (!readParameters(context, name, domains, pem, options)) return;
             std::string result;
             const auto status =
                 self.operations_->verify_certificate_chain(who, domains, pem, options, result);
             sendReplyOf(context, name, static_cast<std::uint32_t>(status), result);
         }},
        {to_string(operation_id::apply_changes),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::string changes;
             if (!readParameters(context, name, changes)) return;
             std::string result;
             const std::int32_t status = self.operations_->apply_changes(who, changes, result);
             sendReplyOf(context, name, status, result);
         }},
        {to_string(operation_id::distrust_builtin),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint32_t id = 0;
             std::string certificate_name;
             if (!readParameters(context, name, id, certificate_name)) return;
             sendReplyOf(context, name,
                         self.operations_->distrust_builtin(who, id, certificate_name));
         }},
        {to_string(operation_id::restore_builtin),
         [](handler& self, const requester& who, IpcRequestContext& context,
            const std::string& name) {
             std::uint32_t id = 0;
             std::string certificate_name;
             if (!readParameters(context, name, id, certificate_name)) return;
             sendReplyOf(context, name,
                         self.operations_->restore_builtin(who, id, certificate_name));
         }},
    }};
    return table;
}

void req_resp_cybersecurity_service_handler::serve_details(const requester& who,
                                                           ev_common::IpcRequestContext& context,
                                                           const std::string& operation) {
    auto text = operations_->get_ca_certificate_details(who);
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

}  // namespace ev_charging_platform::cybersecurity
