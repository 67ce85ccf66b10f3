#include "endpoint_binding.hpp"

#include "ev_common/ipc/ipc_endpoint.hpp"
#include "unix_listener.hpp"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace ev_common {

namespace {

// Longest wait for libzmq's I/O thread to close a listener; it takes far less
// unless the machine is starved, and closing goes on regardless afterwards.
constexpr std::chrono::milliseconds kListenerCloseWait{2000};

class ListenerClosed : public zmq::monitor_t {
public:
    bool closed = false;

protected:
    void on_event_closed(const zmq_event_t&, const char*) override { closed = true; }
};

std::string closingMonitorName(const zmq::socket_t& socket) {
    static std::atomic<std::uint64_t> serial{0};
    return "inproc://closing_" + std::to_string(reinterpret_cast<std::uintptr_t>(socket.handle())) +
           "_" + std::to_string(++serial);
}

// The listener closes its descriptor on libzmq's I/O thread and only then
// reports ZMQ_EVENT_CLOSED, so the event is the proof that it is gone.
// libzmq knows a listener by the name its socket was bound under, which for
// a claimed path is the name beside it before the rename, not the endpoint:
// unbinding by the endpoint would find nothing and leave the close
// asynchronous.
void unbindAndWait(zmq::socket_t& socket) {
    const std::string bound = socket.get(zmq::sockopt::last_endpoint);
    if (bound.empty()) return;
    ListenerClosed watch;
    try {
        watch.init(socket, closingMonitorName(socket), ZMQ_EVENT_CLOSED);
    } catch (const zmq::error_t&) {
        socket.unbind(bound);  // unwatched: the close stays asynchronous
        return;
    }
    socket.unbind(bound);
    const auto deadline = std::chrono::steady_clock::now() + kListenerCloseWait;
    while (!watch.closed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        try {
            watch.check_event(static_cast<int>(left.count()));
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) break;
        }
    }
}

}  // namespace

bool claimEndpoint(const std::string& endpoint, const IpcEndpointAccess& access,
                   const std::string& role, std::unique_ptr<UnixListener>& listener) {
    if (listener) return true;
    const std::string path = ipcSocketPath(endpoint);
    if (path.empty()) return true;
    auto claimed = std::make_unique<UnixListener>(endpoint, path, access, role);
    if (!claimed->open()) return false;
    listener = std::move(claimed);
    return true;
}

bool bindEndpoint(zmq::socket_t& socket, const std::string& endpoint, UnixListener* listener,
                  const std::string& role) {
    int listening = -1;
    if (listener != nullptr) {
        if (!listener->refresh() || (listening = listener->duplicate()) < 0) return false;
        try {
            socket.set(zmq::sockopt::use_fd, listening);
        } catch (const zmq::error_t& e) {
            spdlog::error("{} {}: unable to configure socket : {}", role, endpoint, e.what());
            ::close(listening);
            return false;
        }
    }
    try {
        socket.bind(endpoint);
        return true;
    } catch (const zmq::error_t& e) {
        spdlog::error("{} {}: unable to bind {} : {}", role, endpoint, endpoint, e.what());
        // A failed bind never took the descriptor over.
        if (listening >= 0) ::close(listening);
        return false;
    }
}

void closeEndpoint(zmq::socket_t& socket, const std::string& endpoint) {
    if (!socket) return;
    try {
        if (ipcSocketPath(endpoint).empty()) {
            socket.unbind(endpoint);
        } else {
            unbindAndWait(socket);
        }
    } catch (const zmq::error_t&) {
        // Not bound (a failed start): there is nothing to release.
    }
    socket.close();
}

}  // namespace ev_common
