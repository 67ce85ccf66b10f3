#include "ev_common/ipc/zmq_subscriber.hpp"

#include "ev_common/ipc/ipc_endpoint.hpp"

#include <zmq.hpp>

#include <algorithm>
#include <cerrno>

namespace ev_common {

struct ZmqSubscriber::Connection {
    Connection(const std::string& endpoint, std::int64_t maxMessageSize)
        : socket(context, zmq::socket_type::sub) {
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::maxmsgsize, maxMessageSize);
        socket.set(zmq::sockopt::subscribe, "");
        socket.connect(endpoint);
    }
    zmq::context_t context{1};
    zmq::socket_t socket;
};

ZmqSubscriber::ZmqSubscriber(const std::string& endpoint, std::int64_t maxMessageSize)
    : endpoint_(endpoint),
      checkPublisher_(!ipcSocketPath(endpoint).empty()),
      connection_(std::make_unique<Connection>(endpoint, maxMessageSize)) {}

bool ZmqSubscriber::fromTrustedPublisher(void* message) const {
    if (!checkPublisher_) return true;
    const char* address = zmq_msg_gets(static_cast<zmq_msg_t*>(message), "Peer-Address");
    const auto publisher = address != nullptr ? parsePeerAddress(address) : std::nullopt;
    return publisher && (publisher->uid == 0 || publisher->uid == publisherOwner_);
}

ZmqSubscriber::~ZmqSubscriber() = default;

std::optional<std::string> ZmqSubscriber::receive(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    zmq::socket_t& socket = connection_->socket;
    for (;;) {
        const auto left =
            std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                     std::chrono::milliseconds(0));
        zmq::pollitem_t item{static_cast<void*>(socket), 0, ZMQ_POLLIN, 0};
        zmq::message_t message;
        try {
            if (zmq::poll(&item, 1, left) == 0) return std::nullopt;
            if (!socket.recv(message, zmq::recv_flags::dontwait)) continue;
            if (!message.more()) {
                if (fromTrustedPublisher(message.handle())) return message.to_string();
                ++refused_;
                continue;
            }
            // The rest of a message of several frames is read and dropped.
            while (message.more() && socket.recv(message, zmq::recv_flags::dontwait)) {
            }
        } catch (const zmq::error_t& error) {
            // A signal for the caller (say, to stop) ends the wait early.
            if (error.num() == EINTR) return std::nullopt;
            throw;
        }
        if (left.count() == 0) return std::nullopt;
    }
}

}  // namespace ev_common
