#include "cybersecurity/cybersecurity_client.hpp"

#include "ev_common/system/user_database.hpp"

#include <unistd.h>

#include <cstdio>

namespace ev_charging_platform::cybersecurity {

namespace {

cybersecurity_client::exchange_error to_exchange_error(ev_common::ZmqIpcClient::Error error) {
    switch (error) {
        case ev_common::ZmqIpcClient::Error::none:
            return cybersecurity_client::exchange_error::none;
        case ev_common::ZmqIpcClient::Error::sendFailed:
            return cybersecurity_client::exchange_error::send_failed;
        case ev_common::ZmqIpcClient::Error::noReply:
            return cybersecurity_client::exchange_error::no_reply;
        case ev_common::ZmqIpcClient::Error::untrustedEndpoint:
            return cybersecurity_client::exchange_error::untrusted_endpoint;
        case ev_common::ZmqIpcClient::Error::invalidReply:
            break;
    }
    return cybersecurity_client::exchange_error::invalid_reply;
}

// "uid 1000 (alice)", or "uid 1000" for a user the database does not know.
std::string user_text(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    if (const auto name = ev_common::findUserName(uid)) text += " (" + *name + ")";
    return text;
}

std::string endpoint_problem_text(const ev_common::ZmqIpcClient::EndpointProblem& problem,
                                  uid_t expected) {
    using Kind = ev_common::ZmqIpcClient::EndpointProblem::Kind;
    const std::string expected_text =
        expected == 0 ? std::string("root") : user_text(expected) + " or root";
    switch (problem.kind) {
        case Kind::notSocket:
            return problem.path + " is not a socket";
        case Kind::wrongOwner:
            return problem.path + " is owned by " + user_text(problem.owner) + ", not " +
                   expected_text;
        case Kind::wrongServer:
            return "the server at " + problem.path + " runs as " + user_text(problem.owner) +
                   ", not " + expected_text;
        case Kind::writableByOthers: {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(problem.mode));
            return problem.path + " is writable by every user (mode " + mode + ")";
        }
        case Kind::none:
            break;
    }
    return problem.path + " is not trusted";
}

}  // namespace

cybersecurity_client::cybersecurity_client(std::string endpoint,
                                           std::optional<std::chrono::milliseconds> timeout,
                                           std::string identity)
    : identity_(std::move(identity)),
      read_timeout_(timeout.value_or(default_timeout)),
      change_timeout_(timeout.value_or(default_change_timeout)),
      transport_(std::move(endpoint), read_timeout_) {}

void cybersecurity_client::set_timeout(std::chrono::milliseconds timeout) {
    read_timeout_ = timeout;
    change_timeout_ = timeout;
}

void cybersecurity_client::prepare(operation_id operation) {
    switch (operation) {
        case operation_id::add_ca_certificate:
        case operation_id::remove_ca_certificate:
        case operation_id::remove_ca_certificate_by_hash:
        case operation_id::confirm_csms_root:
        case operation_id::add_ca_certificate_to_domain:
        case operation_id::apply_changes:
        case operation_id::distrust_builtin:
        case operation_id::restore_builtin:
            last_call_was_change_ = true;
            transport_.setTimeout(change_timeout_);
            return;
        default:
            break;
    }
    last_call_was_change_ = false;
    transport_.setTimeout(read_timeout_);
}

cybersecurity_client::~cybersecurity_client() = default;

std::string cybersecurity_client::default_identity() {
    return "cybersecurity_client-" + std::to_string(::getpid());
}

template <typename... Parameters>
std::optional<std::vector<std::uint8_t>> cybersecurity_client::call(
    operation_id operation, const Parameters&... parameters) {
    prepare(operation);
    auto reply = transport_.exchange(ev_common::encodeRequest(identity_, operation, parameters...));
    last_error_ = to_exchange_error(transport_.lastError());
    return reply;
}

template <typename... Fields>
bool cybersecurity_client::decode(const std::optional<std::vector<std::uint8_t>>& reply,
                                  Fields&... fields) {
    return reply && settle(ev_common::decodeReply(*reply, fields...));
}

bool cybersecurity_client::settle(ev_common::ReplyDecoding decoding) {
    switch (decoding) {
        case ev_common::ReplyDecoding::decoded:
            return true;
        case ev_common::ReplyDecoding::empty:
            // The service answers with an empty frame whatever it could not serve.
            last_error_ = exchange_error::empty_reply;
            return false;
        case ev_common::ReplyDecoding::invalid:
            break;
    }
    last_error_ = exchange_error::invalid_reply;
    return false;
}

bool cybersecurity_client::ping() {
    last_call_was_change_ = false;
    transport_.setTimeout(read_timeout_);
    const auto reply = transport_.exchange({});
    last_error_ = to_exchange_error(transport_.lastError());
    if (!reply) return false;
    if (!reply->empty()) {
        last_error_ = exchange_error::invalid_reply;
        return false;
    }
    return true;
}

AddCertificateStatus cybersecurity_client::add_ca_certificate(const std::string& pem_text,
                                                              const std::string& name,
                                                              std::uint32_t& id) {
    std::int32_t status = 0;
    std::uint32_t new_id = 0;
    if (!decode(call(operation_id::add_ca_certificate, pem_text, name), status, new_id)) {
        return AddCertificateStatus::ipc_error;
    }
    const auto result = static_cast<AddCertificateStatus>(status);
    if (result == AddCertificateStatus::success) id = new_id;
    return result;
}

AddCertificateStatus cybersecurity_client::add_ca_certificate_to_domain(const std::string& domain,
                                                                        const std::string& pem_text,
                                                                        const std::string& name,
                                                                        std::uint32_t& id) {
    std::int32_t status = 0;
    std::uint32_t new_id = 0;
    if (!decode(call(operation_id::add_ca_certificate_to_domain, domain, pem_text, name), status,
                new_id)) {
        return AddCertificateStatus::ipc_error;
    }
    const auto result = static_cast<AddCertificateStatus>(status);
    if (result == AddCertificateStatus::success) id = new_id;
    return result;
}

std::optional<cybersecurity_client::verification> cybersecurity_client::verify(
    const std::string& domains, const std::string& pem_text, const std::string& options) {
    std::uint32_t status = 0;
    verification answer;
    if (!decode(call(operation_id::verify_certificate_chain, domains, pem_text, options), status,
                answer.result)) {
        return std::nullopt;
    }
    answer.status = static_cast<VerifyStatus>(status);
    return answer;
}

std::optional<cybersecurity_client::batch_result> cybersecurity_client::apply_changes(
    const std::string& changes) {
    batch_result answer;
    if (!decode(call(operation_id::apply_changes, changes), answer.status, answer.result)) {
        return std::nullopt;
    }
    return answer;
}

DistrustStatus cybersecurity_client::distrust_builtin(std::uint32_t id, const std::string& name) {
    std::int32_t status = 0;
    if (!decode(call(operation_id::distrust_builtin, id, name), status)) {
        return DistrustStatus::ipc_error;
    }
    return static_cast<DistrustStatus>(status);
}

DistrustStatus cybersecurity_client::restore_builtin(std::uint32_t id, const std::string& name) {
    std::int32_t status = 0;
    if (!decode(call(operation_id::restore_builtin, id, name), status)) {
        return DistrustStatus::ipc_error;
    }
    return static_cast<DistrustStatus>(status);
}

RemoveCertificateStatus cybersecurity_client::remove_ca_certificate(std::uint32_t id) {
    std::int32_t status = 0;
    if (!decode(call(operation_id::remove_ca_certificate, id), status)) {
        return RemoveCertificateStatus::ipc_error;
    }
    return static_cast<RemoveCertificateStatus>(status);
}

RemoveCertificateStatus cybersecurity_client::confirm_csms_root(std::uint32_t id) {
    std::int32_t status = 0;
    if (!decode(call(operation_id::confirm_csms_root, id), status)) {
        return RemoveCertificateStatus::ipc_error;
    }
    return static_cast<RemoveCertificateStatus>(status);
}

std::optional<std::vector<ca_certificate_info>> cybersecurity_client::get_ca_certificates() {
    std::vector<ca_certificate_info> certificates;
    if (!decode(call(operation_id::get_ca_certificates), certificates)) return std::nullopt;
    return certificates;
}

std::optional<std::string> cybersecurity_client::get_ca_certificate_by_id(std::uint32_t id) {
    std::string text;
    if (!decode(call(operation_id::get_ca_certificate_by_id, id), text)) return std::nullopt;
    return text;
}

std::optional<std::string> cybersecurity_client::get_ca_certificate_by_name(
    const std::string& name) {
    std::string text;
    if (!decode(call(operation_id::get_ca_certificate_by_name, name), text)) return std::nullopt;
    return text;
}

std::optional<std::string> cybersecurity_client::get_ca_certificate_details() {
    std::string text;
    if (!get_ca_certificate_details(text)) return std::nullopt;
    return text;
}

bool cybersecurity_client::get_ca_certificate_details(std::string& text) {
    // The text runs to hundreds of kilobytes: it is read straight out of the
    // received message rather than from a copy of it.
    auto decoding = ev_common::ReplyDecoding::invalid;
    prepare(operation_id::get_ca_certificate_details);
    const bool exchanged = transport_.exchange(
        ev_common::encodeRequest(identity_, operation_id::get_ca_certificate_details),
        [&](const std::uint8_t* data, std::size_t size) {
            decoding = ev_common::decodeReply(data, size, text);
        });
    last_error_ = to_exchange_error(transport_.lastError());
    return exchanged && settle(decoding);
}

RemoveCertificateStatus cybersecurity_client::remove_ca_certificate_by_hash(
    const certificate_hash_data& hash_data) {
    std::int32_t status = 0;
    if (!decode(call(operation_id::remove_ca_certificate_by_hash, hash_data), status)) {
        return RemoveCertificateStatus::ipc_error;
    }
    return static_cast<RemoveCertificateStatus>(status);
}

std::optional<std::string> cybersecurity_client::get_changes_since(std::uint64_t since) {
    std::string text;
    auto decoding = ev_common::ReplyDecoding::invalid;
    prepare(operation_id::get_changes_since);
    const bool exchanged = transport_.exchange(
        ev_common::encodeRequest(identity_, operation_id::get_changes_since, since),
        [&](const std::uint8_t* data, std::size_t size) {
            decoding = ev_common::decodeReply(data, size, text);
        });
    last_error_ = to_exchange_error(transport_.lastError());
    if (!exchanged || !settle(decoding)) return std::nullopt;
    return text;
}

std::string cybersecurity_client::last_error_text() const {
    const std::string& endpoint = transport_.endpoint();
    const std::string& transport_error = transport_.transportError();
    const std::string within = " within " + std::to_string(transport_.timeout().count()) + " ms";
    switch (last_error_) {
        case exchange_error::none:
            return "no error";
        case exchange_error::send_failed:
            if (!transport_error.empty())
                return "cannot reach " + endpoint + ": " + transport_error;
            return "could not send a request to " + endpoint + within;
        case exchange_error::no_reply:
            if (last_call_was_change_ && transport_.requestSent()) {
                return "no answer from " + endpoint + within +
                       ": the change may still be carried out by the service; check with "
                       "'cybersecurity_ctl list' before trying again";
            }
            return "no answer from " + endpoint + within + " (is the service running?)";
        case exchange_error::empty_reply:
            return "the service at " + endpoint + " could not serve the request (empty reply)";
        case exchange_error::invalid_reply:
            return "the reply from " + endpoint + " does not decode";
        case exchange_error::untrusted_endpoint:
            return "not talking to " + endpoint + ": " +
                   endpoint_problem_text(transport_.endpointProblem(), transport_.endpointOwner());
    }
    return "unknown error";
}

const char* to_string(cybersecurity_client::exchange_error error) {
    switch (error) {
        case cybersecurity_client::exchange_error::none:
            return "none";
        case cybersecurity_client::exchange_error::send_failed:
            return "send_failed";
        case cybersecurity_client::exchange_error::no_reply:
            return "no_reply";
        case cybersecurity_client::exchange_error::empty_reply:
            return "empty_reply";
        case cybersecurity_client::exchange_error::invalid_reply:
            return "invalid_reply";
        case cybersecurity_client::exchange_error::untrusted_endpoint:
            return "untrusted_endpoint";
    }
    return "INVALID_ENUM_VALUE";
}

}  // namespace ev_charging_platform::cybersecurity
