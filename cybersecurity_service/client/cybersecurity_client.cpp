#include "cybersecurity_client.hpp"

#include <unistd.h>

#include <algorithm>

namespace ev_charging_platform::cybersecurity {

namespace {

using ev_common::DeserializationBuffer;
using ev_common::DeserializationException;
using ev_common::SerializationBuffer;
using clock_type = std::chrono::steady_clock;

std::chrono::milliseconds remaining(clock_type::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return std::max(left, std::chrono::milliseconds(0));
}

}  // namespace

cybersecurity_client::cybersecurity_client(std::string endpoint, std::chrono::milliseconds timeout,
                                           std::string identity)
    : endpoint_(std::move(endpoint)),
      timeout_(timeout),
      identity_(std::move(identity)),
      context_(1) {}

cybersecurity_client::~cybersecurity_client() {
    drop_socket();
}

std::string cybersecurity_client::default_identity() {
    return "cybersecurity_client-" + std::to_string(::getpid());
}

void cybersecurity_client::open_socket() {
    socket_.emplace(context_, zmq::socket_type::req);
    // A request still queued for a service that never came must not hold up
    // closing the socket or the context.
    socket_->set(zmq::sockopt::linger, 0);
    socket_->connect(endpoint_);
}

void cybersecurity_client::drop_socket() {
    socket_.reset();
}

std::optional<std::vector<std::uint8_t>> cybersecurity_client::exchange(
    const std::vector<std::uint8_t>& request) {
    last_error_ = exchange_error::none;
    transport_error_.clear();
    const auto deadline = clock_type::now() + timeout_;
    try {
        if (!socket_) open_socket();
        zmq::pollitem_t item{static_cast<void*>(*socket_), 0, ZMQ_POLLOUT, 0};
        if (zmq::poll(&item, 1, remaining(deadline)) == 0 ||
            !socket_->send(zmq::buffer(request), zmq::send_flags::dontwait)) {
            drop_socket();
            last_error_ = exchange_error::send_failed;
            return std::nullopt;
        }
        item.events = ZMQ_POLLIN;
        zmq::message_t reply;
        if (zmq::poll(&item, 1, remaining(deadline)) == 0 ||
            !socket_->recv(reply, zmq::recv_flags::dontwait)) {
            // A REQ socket whose reply went missing refuses every further send.
            drop_socket();
            last_error_ = exchange_error::no_reply;
            return std::nullopt;
        }
        if (reply.more()) {
            drop_socket();
            last_error_ = exchange_error::invalid_reply;
            return std::nullopt;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(reply.data());
        return std::vector<std::uint8_t>(bytes, bytes + reply.size());
    } catch (const zmq::error_t& error) {
        // An endpoint text the library refuses, or a socket in a state it
        // will not leave: start over with a fresh socket on the next call.
        drop_socket();
        last_error_ = exchange_error::send_failed;
        transport_error_ = error.what();
        return std::nullopt;
    }
}

template <typename Writer>
std::vector<std::uint8_t> cybersecurity_client::request(operation_id operation,
                                                        std::uint32_t parameters_size,
                                                        Writer write_parameters) const {
    std::vector<std::uint8_t> frame(ev_common::getSerializedSize(identity_) +
                                    ev_common::getSerializedSize(operation) + parameters_size);
    SerializationBuffer cursor{frame.data(), static_cast<std::uint32_t>(frame.size()), 0};
    ev_common::serialize(cursor, identity_);
    ev_common::serialize(cursor, operation);
    write_parameters(cursor);
    return frame;
}

template <typename Reader>
bool cybersecurity_client::decode(const std::vector<std::uint8_t>& reply, Reader read) {
    // The service answers with an empty frame whatever it could not serve.
    if (reply.empty()) {
        last_error_ = exchange_error::empty_reply;
        return false;
    }
    DeserializationBuffer cursor{reply.data(), static_cast<std::uint32_t>(reply.size()), 0, 0};
    try {
        read(cursor);
    } catch (const DeserializationException&) {
        last_error_ = exchange_error::invalid_reply;
        return false;
    }
    if (cursor.position != cursor.size) {
        last_error_ = exchange_error::invalid_reply;
        return false;
    }
    return true;
}

bool cybersecurity_client::ping() {
    const auto reply = exchange({});
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
    const auto reply = exchange(
        request(operation_id::add_ca_certificate,
                ev_common::getSerializedSize(pem_text) + ev_common::getSerializedSize(name),
                [&](SerializationBuffer& cursor) {
                    ev_common::serialize(cursor, pem_text);
                    ev_common::serialize(cursor, name);
                }));
    std::int32_t status = 0;
    std::uint32_t new_id = 0;
    if (!reply || !decode(*reply, [&](DeserializationBuffer& cursor) {
            ev_common::deserialize(cursor, status);
            ev_common::deserialize(cursor, new_id);
        })) {
        return AddCertificateStatus::ipc_error;
    }
    const auto result = static_cast<AddCertificateStatus>(status);
    if (result == AddCertificateStatus::success) id = new_id;
    return result;
}

RemoveCertificateStatus cybersecurity_client::remove_ca_certificate(std::uint32_t id) {
    const auto reply =
        exchange(request(operation_id::remove_ca_certificate, ev_common::getSerializedSize(id),
                         [&](SerializationBuffer& cursor) { ev_common::serialize(cursor, id); }));
    std::int32_t status = 0;
    if (!reply || !decode(*reply, [&](DeserializationBuffer& cursor) {
            ev_common::deserialize(cursor, status);
        })) {
        return RemoveCertificateStatus::ipc_error;
    }
    return static_cast<RemoveCertificateStatus>(status);
}

std::optional<std::vector<ca_certificate_info>> cybersecurity_client::get_ca_certificates() {
    const auto reply =
        exchange(request(operation_id::get_ca_certificates, 0, [](SerializationBuffer&) {}));
    std::vector<ca_certificate_info> certificates;
    if (!reply || !decode(*reply, [&](DeserializationBuffer& cursor) {
            ev_common::deserialize(cursor, certificates);
        })) {
        return std::nullopt;
    }
    return certificates;
}

std::optional<std::string> cybersecurity_client::get_ca_certificate_by_id(std::uint32_t id) {
    const auto reply =
        exchange(request(operation_id::get_ca_certificate_by_id, ev_common::getSerializedSize(id),
                         [&](SerializationBuffer& cursor) { ev_common::serialize(cursor, id); }));
    std::string text;
    if (!reply || !decode(*reply, [&](DeserializationBuffer& cursor) {
            ev_common::deserialize(cursor, text);
        })) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> cybersecurity_client::get_ca_certificate_by_name(
    const std::string& name) {
    const auto reply = exchange(
        request(operation_id::get_ca_certificate_by_name, ev_common::getSerializedSize(name),
                [&](SerializationBuffer& cursor) { ev_common::serialize(cursor, name); }));
    std::string text;
    if (!reply || !decode(*reply, [&](DeserializationBuffer& cursor) {
            ev_common::deserialize(cursor, text);
        })) {
        return std::nullopt;
    }
    return text;
}

std::string cybersecurity_client::last_error_text() const {
    const std::string within = " within " + std::to_string(timeout_.count()) + " ms";
    switch (last_error_) {
        case exchange_error::none:
            return "no error";
        case exchange_error::send_failed:
            if (!transport_error_.empty())
                return "cannot reach " + endpoint_ + ": " + transport_error_;
            return "could not send a request to " + endpoint_ + within;
        case exchange_error::no_reply:
            return "no answer from " + endpoint_ + within + " (is the service running?)";
        case exchange_error::empty_reply:
            return "the service at " + endpoint_ + " could not serve the request (empty reply)";
        case exchange_error::invalid_reply:
            return "the reply from " + endpoint_ + " does not decode";
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
    }
    return "INVALID_ENUM_VALUE";
}

}  // namespace ev_charging_platform::cybersecurity
