#include "ev_common/ipc/zmq_subscriber.hpp"

#include "ev_common/ipc/ipc_endpoint.hpp"

#include <sys/socket.h>

#include <zmq.hpp>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace ev_common {

namespace {

// A publisher that stops answering heartbeats for this long is taken as gone
// and the connection is made again.
constexpr int kHeartbeatInterval = 2000;
constexpr int kHeartbeatTimeout = 6000;

std::string monitorEndpoint() {
    static std::atomic<unsigned> next{0};
    return "inproc://subscriber-monitor-" + std::to_string(next++);
}

}  // namespace

struct ZmqSubscriber::Context {
    zmq::context_t context{1};
};

struct ZmqSubscriber::Connection {
    Connection(zmq::context_t& context, const std::string& endpoint, std::int64_t maxMessageSize,
               bool watched)
        : socket(context, zmq::socket_type::sub), monitor(context, zmq::socket_type::pair) {
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::maxmsgsize, maxMessageSize);
        socket.set(zmq::sockopt::heartbeat_ivl, kHeartbeatInterval);
        socket.set(zmq::sockopt::heartbeat_timeout, kHeartbeatTimeout);
        socket.set(zmq::sockopt::subscribe, "");
        monitor.set(zmq::sockopt::linger, 0);
        if (watched) {
            // Each connection is reported with its descriptor before any
            // message can come through it.
            const std::string address = monitorEndpoint();
            if (zmq_socket_monitor(socket.handle(), address.c_str(),
                                   ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED) != 0) {
                throw zmq::error_t();
            }
            monitor.connect(address);
        }
        socket.connect(endpoint);
    }
    ~Connection() {
        if (monitor) zmq_socket_monitor(socket.handle(), nullptr, 0);
    }
    zmq::socket_t socket;
    zmq::socket_t monitor;
};

ZmqSubscriber::ZmqSubscriber(const std::string& endpoint, std::int64_t maxMessageSize)
    : endpoint_(endpoint),
      maxMessageSize_(maxMessageSize),
      checkPublisher_(!ipcSocketPath(endpoint).empty()),
      context_(std::make_unique<Context>()),
      connection_(std::make_unique<Connection>(context_->context, endpoint, maxMessageSize,
                                               checkPublisher_)) {
    // Without a monitor there is no word of connections: taken as there.
    connected_ = !checkPublisher_;
}

ZmqSubscriber::~ZmqSubscriber() = default;

bool ZmqSubscriber::fromTrustedPublisher(void* message) const {
    if (!checkPublisher_) return true;
    const char* address = zmq_msg_gets(static_cast<zmq_msg_t*>(message), "Peer-Address");
    const auto publisher = address != nullptr ? parsePeerAddress(address) : std::nullopt;
    return publisher && trustedOwner(publisher->uid);
}

bool ZmqSubscriber::readMonitor() {
    for (;;) {
        zmq::message_t head;
        zmq::message_t address;
        if (!connection_->monitor.recv(head, zmq::recv_flags::dontwait)) return true;
        if (head.more()) (void)connection_->monitor.recv(address, zmq::recv_flags::dontwait);
        if (head.size() < 6) continue;
        std::uint16_t event = 0;
        std::uint32_t value = 0;
        std::memcpy(&event, head.data(), sizeof event);
        std::memcpy(&value, static_cast<const char*>(head.data()) + 2, sizeof value);
        if (event == ZMQ_EVENT_DISCONNECTED) {
            connected_ = false;
            continue;
        }
        if (event != ZMQ_EVENT_CONNECTED) continue;
        // The descriptor is the transport's, read here before it can carry
        // a message; a descriptor gone meanwhile means no connection either.
        struct ucred peer {};
        socklen_t size = sizeof peer;
        const bool known =
            ::getsockopt(static_cast<int>(value), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            size == sizeof peer;
        if (known && trustedOwner(peer.uid)) {
            connected_ = true;
            continue;
        }
        // Another user's socket holds the path: let go of it and look again
        // shortly, so the real publisher is found once it is back.
        ++refusedConnections_;
        connected_ = false;
        connection_.reset();
        reconnectAt_ = std::chrono::steady_clock::now() + kRetryAfterRefusal;
        return false;
    }
}

void ZmqSubscriber::reconnectIfDue() {
    if (connection_ || std::chrono::steady_clock::now() < reconnectAt_) return;
    connection_ = std::make_unique<Connection>(context_->context, endpoint_, maxMessageSize_,
                                               checkPublisher_);
}

std::optional<std::string> ZmqSubscriber::receive(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        reconnectIfDue();
        auto left =
            std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                     std::chrono::milliseconds(0));
        if (!connection_) {
            // Waiting for the next try; a signal ends the wait as it would
            // end a poll.
            const auto pause = std::min(left, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  reconnectAt_ - Clock::now()) +
                                                  std::chrono::milliseconds(1));
            if (::poll(nullptr, 0, static_cast<int>(std::max<long long>(pause.count(), 0))) < 0 &&
                errno == EINTR) {
                return std::nullopt;
            }
            if (left.count() == 0) return std::nullopt;
            continue;
        }
        zmq::socket_t& socket = connection_->socket;
        zmq::pollitem_t items[] = {{static_cast<void*>(socket), 0, ZMQ_POLLIN, 0},
                                   {static_cast<void*>(connection_->monitor), 0, ZMQ_POLLIN, 0}};
        const int count = checkPublisher_ ? 2 : 1;
        zmq::message_t message;
        try {
            if (zmq::poll(items, count, left) == 0) return std::nullopt;
            // Connections first: a message is never taken from one not yet
            // checked.
            if (count == 2 && (items[1].revents & ZMQ_POLLIN) != 0 && !readMonitor()) continue;
            if ((items[0].revents & ZMQ_POLLIN) == 0) continue;
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
