#include "ev_common/ipc/zmq_ipc_client.hpp"

#include <zmq.hpp>

#include <algorithm>

namespace ev_common {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

}  // namespace

struct ZmqIpcClient::Connection {
    explicit Connection(const std::string& endpoint) : socket(context, zmq::socket_type::req) {
        // A request still queued for a server that never came must not hold
        // up closing the socket or the context.
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(endpoint);
    }
    zmq::context_t context{1};
    zmq::socket_t socket;
};

ZmqIpcClient::ZmqIpcClient(std::string endpoint, std::chrono::milliseconds timeout)
    : endpoint_(std::move(endpoint)), timeout_(timeout) {}

ZmqIpcClient::~ZmqIpcClient() = default;

void ZmqIpcClient::dropConnection() {
    connection_.reset();
}

std::optional<std::vector<std::uint8_t>> ZmqIpcClient::exchange(
    const std::vector<std::uint8_t>& request) {
    std::optional<std::vector<std::uint8_t>> copy;
    exchange(request,
             [&](const std::uint8_t* data, std::size_t size) { copy.emplace(data, data + size); });
    return copy;
}

bool ZmqIpcClient::exchange(
    const std::vector<std::uint8_t>& request,
    const std::function<void(const std::uint8_t* data, std::size_t size)>& read) {
    lastError_ = Error::none;
    transportError_.clear();
    const auto deadline = Clock::now() + timeout_;
    try {
        if (!connection_) connection_ = std::make_unique<Connection>(endpoint_);
        zmq::socket_t& socket = connection_->socket;
        zmq::pollitem_t item{static_cast<void*>(socket), 0, ZMQ_POLLOUT, 0};
        if (zmq::poll(&item, 1, remaining(deadline)) == 0 ||
            !socket.send(zmq::buffer(request), zmq::send_flags::dontwait)) {
            dropConnection();
            lastError_ = Error::sendFailed;
            return false;
        }
        item.events = ZMQ_POLLIN;
        zmq::message_t reply;
        if (zmq::poll(&item, 1, remaining(deadline)) == 0 ||
            !socket.recv(reply, zmq::recv_flags::dontwait)) {
            // A REQ socket whose reply went missing refuses every further send.
            dropConnection();
            lastError_ = Error::noReply;
            return false;
        }
        if (reply.more()) {
            dropConnection();
            lastError_ = Error::invalidReply;
            return false;
        }
        read(static_cast<const std::uint8_t*>(reply.data()), reply.size());
        return true;
    } catch (const zmq::error_t& error) {
        // An endpoint text the library refuses, or a socket in a state it
        // will not leave: start over with a fresh socket on the next call.
        dropConnection();
        lastError_ = Error::sendFailed;
        transportError_ = error.what();
        return false;
    }
}

}  // namespace ev_common
