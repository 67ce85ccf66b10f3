#include "ev_common/ipc/zmq_publisher.hpp"

#include "ev_common/ipc/ipc_endpoint.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "unix_listener.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>

#include <unistd.h>

#include <cerrno>

namespace ev_common {

ZmqPublisher::ZmqPublisher(std::string endpoint, ZmqPublisherOptions options)
    : endpoint(std::move(endpoint)), options(options), context(ZmqIpc_GetContext()) {}

ZmqPublisher::~ZmqPublisher() {
    stop();
}

void ZmqPublisher::setEndpointAccess(IpcEndpointAccess access) {
    std::lock_guard<std::mutex> lock(mutex);
    options.endpointAccess = std::move(access);
}

bool ZmqPublisher::start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket != nullptr) {
        spdlog::error("Publisher {}: already started", endpoint);
        return false;
    }
    void* created = zmq_socket(context, ZMQ_PUB);
    if (created == nullptr) {
        spdlog::error("Publisher {}: unable to create socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    // Nothing queued for a subscriber may hold up closing the socket or the
    // context at shutdown.
    const int linger = 0;
    const int highWaterMark = options.sendHighWaterMark;
    if (zmq_setsockopt(created, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_setsockopt(created, ZMQ_SNDHWM, &highWaterMark, sizeof highWaterMark) != 0) {
        spdlog::error("Publisher {}: unable to configure socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        zmq_close(created);
        return false;
    }
    // A socket file is claimed as a server claims its endpoint, and libzmq
    // only gets the listening socket made here.
    std::unique_ptr<UnixListener> claimed;
    if (const std::string path = ipcSocketPath(endpoint); !path.empty()) {
        claimed =
            std::make_unique<UnixListener>(endpoint, path, options.endpointAccess, "Publisher");
        int listening = -1;
        if (!claimed->open() || (listening = claimed->duplicate()) < 0) {
            zmq_close(created);
            return false;
        }
        if (zmq_setsockopt(created, ZMQ_USE_FD, &listening, sizeof listening) != 0) {
            spdlog::error("Publisher {}: unable to configure socket : {}", endpoint,
                          zmq_strerror(zmq_errno()));
            ::close(listening);
            zmq_close(created);
            claimed->release();
            return false;
        }
    }
    if (zmq_bind(created, endpoint.c_str()) != 0) {
        spdlog::error("Publisher {}: unable to bind {} : {}", endpoint, endpoint,
                      zmq_strerror(zmq_errno()));
        zmq_close(created);
        if (claimed) claimed->release();
        return false;
    }
    socket = created;
    listener = std::move(claimed);
    spdlog::debug("Publisher {}: started", endpoint);
    return true;
}

void ZmqPublisher::stop() {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket == nullptr) return;
    zmq_close(socket);
    socket = nullptr;
    if (listener) {
        listener->release();
        listener.reset();
    }
    spdlog::debug("Publisher {}: stopped", endpoint);
}

bool ZmqPublisher::isStarted() const {
    std::lock_guard<std::mutex> lock(mutex);
    return socket != nullptr;
}

bool ZmqPublisher::publish(const std::string& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    if (socket == nullptr) return false;
    int rc;
    do {
        rc = zmq_send(socket, frame.data(), frame.size(), ZMQ_DONTWAIT);
    } while (rc < 0 && zmq_errno() == EINTR);
    if (rc >= 0) return true;
    if (zmq_errno() != EAGAIN) {
        spdlog::error("Publisher {}: unable to publish : {}", endpoint, zmq_strerror(zmq_errno()));
    }
    return false;
}

}  // namespace ev_common
