#include "ev_common/ipc/zmq_ipc_client.hpp"

#include "ev_common/ipc/ipc_endpoint.hpp"

#include <sys/stat.h>
#include <zmq.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace ev_common {

namespace {

using Clock = std::chrono::steady_clock;

// How often a missing socket file is looked for again.
constexpr std::chrono::milliseconds kFilePollInterval{20};

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
    // The socket file the connection was made to, for ipc:// endpoints.
    dev_t device = 0;
    ino_t inode = 0;
};

ZmqIpcClient::ZmqIpcClient(std::string endpoint, std::chrono::milliseconds timeout)
    : endpoint_(std::move(endpoint)), socketPath_(ipcSocketPath(endpoint_)), timeout_(timeout) {}

ZmqIpcClient::~ZmqIpcClient() = default;

void ZmqIpcClient::dropConnection() {
    connection_.reset();
}

// Until the file is judged nothing connects to it: libzmq would otherwise
// connect (and reconnect) to whatever appears at the path.
ZmqIpcClient::Check ZmqIpcClient::checkEndpoint(Clock::time_point deadline) {
    struct stat status {};
    while (::lstat(socketPath_.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            transportError_ = "cannot examine " + socketPath_ + ": " + std::strerror(errno);
            return Check::unreadable;
        }
        const auto left = remaining(deadline);
        if (left.count() == 0) return Check::missing;
        std::this_thread::sleep_for(std::min(left, kFilePollInterval));
    }
    using Kind = EndpointProblem::Kind;
    Kind problem = Kind::none;
    if (!S_ISSOCK(status.st_mode)) {
        problem = Kind::notSocket;
    } else if (!trustedOwner(status.st_uid)) {
        problem = Kind::wrongOwner;
    } else if ((status.st_mode & S_IWOTH) != 0) {
        problem = Kind::writableByOthers;
    }
    if (problem != Kind::none) {
        endpointProblem_ = {problem, socketPath_, status.st_uid, status.st_mode & 07777};
        return Check::refused;
    }
    // Another file than the one connected to: another server, which gets a
    // connection of its own.
    if (connection_ &&
        (connection_->device != status.st_dev || connection_->inode != status.st_ino))
        dropConnection();
    if (!connection_) {
        connection_ = std::make_unique<Connection>(endpoint_);
        connection_->device = status.st_dev;
        connection_->inode = status.st_ino;
    }
    return Check::trusted;
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
    requestSent_ = false;
    transportError_.clear();
    endpointProblem_ = {};
    const auto deadline = Clock::now() + timeout_;
    try {
        if (!socketPath_.empty()) {
            switch (checkEndpoint(deadline)) {
                case Check::trusted:
                    break;
                case Check::missing:
                    dropConnection();
                    lastError_ = Error::noReply;
                    return false;
                case Check::refused:
                    dropConnection();
                    lastError_ = Error::untrustedEndpoint;
                    return false;
                case Check::unreadable:
                    dropConnection();
                    lastError_ = Error::sendFailed;
                    return false;
            }
        } else if (!connection_) {
            connection_ = std::make_unique<Connection>(endpoint_);
        }
        zmq::socket_t& socket = connection_->socket;
        zmq::pollitem_t item{static_cast<void*>(socket), 0, ZMQ_POLLOUT, 0};
        if (zmq::poll(&item, 1, remaining(deadline)) == 0 ||
            !socket.send(zmq::buffer(request), zmq::send_flags::dontwait)) {
            dropConnection();
            lastError_ = Error::sendFailed;
            return false;
        }
        requestSent_ = true;
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
        // The file was checked before connecting, but the path may have
        // changed hands since: the kernel's word on who replied settles it.
        if (!socketPath_.empty()) {
            const char* address = zmq_msg_gets(reply.handle(), "Peer-Address");
            const auto server = address != nullptr ? parsePeerAddress(address) : std::nullopt;
            if (server && !trustedOwner(server->uid)) {
                dropConnection();
                endpointProblem_ = {EndpointProblem::Kind::wrongServer, socketPath_, server->uid,
                                    0};
                lastError_ = Error::untrustedEndpoint;
                return false;
            }
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
