#include "ev_common/ipc/zmq_publisher.hpp"

#include "connection_guard.hpp"
#include "ev_common/ipc/ipc_endpoint.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "unix_listener.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace ev_common {

namespace {

void signalEvent(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void clearEvent(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace

ZmqPublisher::ZmqPublisher(std::string endpoint, ZmqPublisherOptions options)
    : endpoint(std::move(endpoint)), options(options), context(ZmqIpc_GetContext()) {}

ZmqPublisher::~ZmqPublisher() {
    stop();
    if (listener) listener->release();
}

void ZmqPublisher::setEndpoint(std::string value) {
    std::lock_guard<std::mutex> lock(mutex);
    endpoint = std::move(value);
}

void ZmqPublisher::setEndpointAccess(IpcEndpointAccess access) {
    std::lock_guard<std::mutex> lock(mutex);
    options.endpointAccess = std::move(access);
}

void ZmqPublisher::setGreeting(std::vector<std::string> frames) {
    std::lock_guard<std::mutex> lock(mutex);
    greeting = std::move(frames);
}

void ZmqPublisher::setConnectionLimits(ConnectionLimits limits) {
    std::lock_guard<std::mutex> lock(mutex);
    options.connectionLimits = std::move(limits);
}

std::uint64_t ZmqPublisher::refusedConnections() const {
    std::lock_guard<std::mutex> lock(mutex);
    return guard ? guard->refused() : 0;
}

bool ZmqPublisher::claim() {
    if (listener) return true;
    const std::string path = ipcSocketPath(endpoint);
    if (path.empty()) return true;
    auto claimed =
        std::make_unique<UnixListener>(endpoint, path, options.endpointAccess, "Publisher");
    if (!claimed->open()) return false;
    listener = std::move(claimed);
    return true;
}

bool ZmqPublisher::start() {
    if (isStarted()) {
        spdlog::error("Publisher {}: already started", endpoint);
        return false;
    }
    if (!claim()) return false;
    void* created = zmq_socket(context, ZMQ_XPUB);
    if (created == nullptr) {
        spdlog::error("Publisher {}: unable to create socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    // Nothing queued for a subscriber may hold up closing the socket or the
    // context at shutdown. Every subscription is passed up, not only the
    // first of its kind, so each arriving subscriber is seen.
    const int linger = 0;
    const int verbose = 1;
    const int highWaterMark = options.sendHighWaterMark;
    if (zmq_setsockopt(created, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_setsockopt(created, ZMQ_SNDHWM, &highWaterMark, sizeof highWaterMark) != 0 ||
        zmq_setsockopt(created, ZMQ_XPUB_VERBOSE, &verbose, sizeof verbose) != 0) {
        spdlog::error("Publisher {}: unable to configure socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        zmq_close(created);
        return false;
    }
    // libzmq only gets the listening socket claimed here.
    if (listener) {
        int listening = -1;
        if (!listener->refresh() || (listening = listener->duplicate()) < 0) {
            zmq_close(created);
            return false;
        }
        if (zmq_setsockopt(created, ZMQ_USE_FD, &listening, sizeof listening) != 0) {
            spdlog::error("Publisher {}: unable to configure socket : {}", endpoint,
                          zmq_strerror(zmq_errno()));
            ::close(listening);
            zmq_close(created);
            return false;
        }
    }
    // Watched before it binds: no subscriber gets past the guard uncounted.
    if (listener) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!guard) {
            guard = std::make_unique<ConnectionGuard>("Publisher " + endpoint,
                                                      options.connectionLimits);
        } else {
            guard->setLimits(options.connectionLimits);
        }
    }
    if (guard && !guard->attach(created)) {
        zmq_close(created);
        return false;
    }
    if (zmq_bind(created, endpoint.c_str()) != 0) {
        spdlog::error("Publisher {}: unable to bind {} : {}", endpoint, endpoint,
                      zmq_strerror(zmq_errno()));
        if (guard) guard->detach();
        zmq_close(created);
        return false;
    }
    UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event) {
        spdlog::error("Publisher {}: unable to create its wake-up event : {}", endpoint,
                      std::strerror(errno));
        if (guard) guard->detach();
        zmq_close(created);
        return false;
    }
    wakeUp = std::move(event);
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = true;
        stopping = false;
        queue.clear();
    }
    liveSocket = created;
    thread = std::thread([this, created] { serve(created); });
    spdlog::debug("Publisher {}: started", endpoint);
    return true;
}

void ZmqPublisher::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!started) return;
        stopping = true;
    }
    signalEvent(wakeUp.get());
    if (thread.joinable()) thread.join();
    wakeUp.reset();
    if (guard) guard->detach();
    zmq_close(liveSocket);
    liveSocket = nullptr;
    if (listener) {
        listener->release();
        listener.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = false;
        queue.clear();
    }
    spdlog::debug("Publisher {}: stopped", endpoint);
}

bool ZmqPublisher::isStarted() const {
    std::lock_guard<std::mutex> lock(mutex);
    return started && !stopping;
}

bool ZmqPublisher::publish(const std::string& frame) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!started || stopping || queue.size() >= options.queueLimit) return false;
        queue.push_back(frame);
    }
    signalEvent(wakeUp.get());
    return true;
}

void ZmqPublisher::send(void* socket, const std::string& frame) {
    int rc;
    do {
        rc = zmq_send(socket, frame.data(), frame.size(), ZMQ_DONTWAIT);
    } while (rc < 0 && zmq_errno() == EINTR);
    // EAGAIN: the subscribers' queues are full, the frame is theirs to miss.
    if (rc < 0 && zmq_errno() != EAGAIN) {
        spdlog::error("Publisher {}: unable to publish : {}", endpoint, zmq_strerror(zmq_errno()));
    }
}

// The socket is this thread's alone until it ends.
void ZmqPublisher::serve(void* socket) {
    zmq_pollitem_t items[] = {{socket, 0, ZMQ_POLLIN, 0}, {nullptr, wakeUp.get(), ZMQ_POLLIN, 0}};
    for (;;) {
        if (zmq_poll(items, 2, -1) < 0) {
            if (zmq_errno() == EINTR) continue;
            spdlog::error("Publisher {}: unable to wait : {}", endpoint, zmq_strerror(zmq_errno()));
            break;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            clearEvent(wakeUp.get());
            std::deque<std::string> frames;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) break;
                frames.swap(queue);
            }
            for (const auto& frame : frames) send(socket, frame);
        }
        if ((items[0].revents & ZMQ_POLLIN) == 0) continue;
        // Subscriptions start with 1, cancellations with 0; a subscriber's
        // arrival is its first subscription.
        bool arrived = false;
        for (;;) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, socket, ZMQ_DONTWAIT) < 0) {
                zmq_msg_close(&message);
                break;
            }
            if (zmq_msg_size(&message) >= 1 &&
                *static_cast<const char*>(zmq_msg_data(&message)) == 1)
                arrived = true;
            zmq_msg_close(&message);
        }
        if (!arrived) continue;
        std::vector<std::string> frames;
        {
            std::lock_guard<std::mutex> lock(mutex);
            frames = greeting;
        }
        for (const auto& frame : frames) send(socket, frame);
    }
}

}  // namespace ev_common
