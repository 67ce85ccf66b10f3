#include "ev_common/ipc/zmq_publisher.hpp"

#include "connection_guard.hpp"
#include "endpoint_binding.hpp"
#include "unix_listener.hpp"
#include "zmq_context.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

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
    : endpoint(std::move(endpoint)), options(options) {
    ZmqIpc_Context();  // throws without a process-wide context
}

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
    return claimEndpoint(endpoint, options.endpointAccess, "Publisher", listener);
}

bool ZmqPublisher::start() {
    if (isStarted()) {
        spdlog::error("Publisher {}: already started", endpoint);
        return false;
    }
    if (!claim()) return false;
    zmq::socket_t created;
    try {
        created = zmq::socket_t(ZmqIpc_Context(), zmq::socket_type::xpub);
    } catch (const std::exception& e) {
        spdlog::error("Publisher {}: unable to create socket : {}", endpoint, e.what());
        return false;
    }
    // Nothing queued for a subscriber may hold up closing the socket or the
    // context at shutdown. Every subscription is passed up, not only the
    // first of its kind, so each arriving subscriber is seen.
    try {
        created.set(zmq::sockopt::linger, 0);
        created.set(zmq::sockopt::sndhwm, options.sendHighWaterMark);
        created.set(zmq::sockopt::xpub_verbose, /*verbose=*/true);
    } catch (const zmq::error_t& e) {
        spdlog::error("Publisher {}: unable to configure socket : {}", endpoint, e.what());
        return false;
    }
    if (listener) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!guard) {
            guard = std::make_unique<ConnectionGuard>("Publisher " + endpoint,
                                                      options.connectionLimits);
        } else {
            guard->setLimits(options.connectionLimits);
        }
    }
    // Watched before it binds: no subscriber gets past the guard uncounted.
    if (guard && !guard->attach(created.handle())) return false;
    UniqueFd event;
    if (bindEndpoint(created, endpoint, listener.get(), "Publisher")) {
        event.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!event) {
            spdlog::error("Publisher {}: unable to create its wake-up event : {}", endpoint,
                          std::strerror(errno));
        }
    }
    if (!event) {
        if (guard) guard->detach();
        closeEndpoint(created, endpoint);
        return false;
    }
    wakeUp = std::move(event);
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = true;
        stopping = false;
        queue.clear();
    }
    liveSocket = std::make_unique<zmq::socket_t>(std::move(created));
    thread = std::thread([this, socket = liveSocket.get()] { serve(*socket); });
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
    closeEndpoint(*liveSocket, endpoint);
    liveSocket.reset();
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

void ZmqPublisher::send(zmq::socket_t& socket, const std::string& frame) {
    for (;;) {
        try {
            // Nothing sent (EAGAIN): the subscribers' queues are full, the
            // frame is theirs to miss.
            socket.send(zmq::buffer(frame), zmq::send_flags::dontwait);
            return;
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            spdlog::error("Publisher {}: unable to publish : {}", endpoint, e.what());
            return;
        }
    }
}

// The socket is this thread's alone until it ends.
void ZmqPublisher::serve(zmq::socket_t& socket) {
    zmq::pollitem_t items[] = {{socket.handle(), 0, ZMQ_POLLIN, 0},
                               {nullptr, wakeUp.get(), ZMQ_POLLIN, 0}};
    for (;;) {
        try {
            zmq::poll(items, 2, std::chrono::milliseconds(-1));
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            spdlog::error("Publisher {}: unable to wait : {}", endpoint, e.what());
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
            zmq::message_t message;
            try {
                if (!socket.recv(message, zmq::recv_flags::dontwait)) break;
            } catch (const zmq::error_t&) {
                break;
            }
            if (message.size() >= 1 && *message.data<char>() == 1) arrived = true;
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
