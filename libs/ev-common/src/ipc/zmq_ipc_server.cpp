#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "ev_common/ipc/zmq_ipc.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>
#include <zmq.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace ev_common {
namespace {

// A message initialised empty and closed on every way out of its scope.
struct Message {
    zmq_msg_t msg;
    Message() { zmq_msg_init(&msg); }
    ~Message() { zmq_msg_close(&msg); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
};

// Signals sent to the process (log level changes, stop requests) may land on
// any thread; an interrupted call is simply made again.
int sendFrame(void* socket, const void* data, std::size_t size) {
    int rc;
    do {
        rc = zmq_send(socket, data, size, 0);
    } while (rc < 0 && zmq_errno() == EINTR);
    return rc;
}

// Closing is asynchronous; an inproc name would stay taken for a moment after
// zmq_close, and a restarted server (or a new one at the same address) could
// not bind it. Unbinding first releases it at once.
void closeSocket(void*& socket, const std::string& endpoint) {
    if (socket == nullptr) return;
    zmq_unbind(socket, endpoint.c_str());
    zmq_close(socket);
    socket = nullptr;
}

std::string buildControlEndpoint(const void* self, const std::string& endpoint) {
    std::string flattened = endpoint;
    for (std::size_t at = flattened.find("://"); at != std::string::npos;
         at = flattened.find("://", at + 1)) {
        flattened.replace(at, 3, "_");
    }
    return "inproc://server_" + std::to_string(reinterpret_cast<std::uintptr_t>(self)) + "_" +
           flattened;
}

// True while `context` is still the process-wide context. Once the last
// reference has been released the handle is gone and must not be used; the
// receiving thread has then necessarily closed its sockets.
bool contextAlive(void* context) {
    try {
        return ZmqIpc_GetContext() == context;
    } catch (const std::runtime_error&) {
        return false;
    }
}

}  // namespace

bool IpcRequestContext::sendResponse(const void* data, std::size_t size) {
    static const char nothing = 0;
    if (sendFrame(socket, data != nullptr ? data : &nothing, size) >= 0) {
        spdlog::trace("Server {} : response sent (size = {})", *serverEndpoint, responseSize);
        return true;
    }
    if (zmq_errno() == EAGAIN) {
        spdlog::error("Server {} : unable to send response (error = EAGAIN)", *serverEndpoint);
        return false;
    }
    throw zmq::error_t();
}

ZmqIpcServer::ZmqIpcServer(const std::string& name, const std::string& endpoint,
                           IIpcRequestHandler* handler)
    : name(name),
      endpoint(endpoint),
      handler(handler),
      context(ZmqIpc_GetContext()),
      controlEndpoint(buildControlEndpoint(this, endpoint)) {}

ZmqIpcServer::~ZmqIpcServer() {
    if (thread) stop();
    if (!thread) return;
    // stop() caught a ZeroMQ error before the thread had ended; the thread
    // uses this object, so it has to be told again and waited for.
    while (contextAlive(context)) {
        try {
            sendTerminate();
            break;
        } catch (const zmq::error_t& e) {
            if (e.num() == ETERM) break;  // the thread ends by itself
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (thread->joinable()) thread->join();
    thread.reset();
}

bool ZmqIpcServer::start() {
    if (thread) {
        spdlog::error("Server {}: already started", endpoint);
        return false;
    }
    bound = std::promise<bool>();
    std::future<bool> ready = bound.get_future();
    try {
        thread = std::make_unique<std::thread>(&ZmqIpcServer::receivingThread, this);
    } catch (const std::system_error& e) {
        spdlog::error("Server {}: unable to start receiving thread : {}", endpoint, e.what());
        return false;
    }
    if (ready.get()) return true;
    thread->join();
    thread.reset();
    return false;
}

void ZmqIpcServer::sendTerminate() {
    void* push = zmq_socket(context, ZMQ_PUSH);
    if (push == nullptr) throw zmq::error_t();
    try {
        if (zmq_connect(push, controlEndpoint.c_str()) != 0) throw zmq::error_t();
        static const char command[] = "TERMINATE";
        zmq_msg_t msg;
        if (zmq_msg_init_size(&msg, sizeof command - 1) != 0) throw zmq::error_t();
        std::memcpy(zmq_msg_data(&msg), command, sizeof command - 1);
        int rc;
        do {
            rc = zmq_msg_send(&msg, push, 0);
        } while (rc < 0 && zmq_errno() == EINTR);
        if (rc < 0) {
            const int error = zmq_errno();
            zmq_msg_close(&msg);
            if (error != EAGAIN) throw zmq::error_t(error);
        }
    } catch (...) {
        zmq_close(push);
        throw;
    }
    zmq_close(push);
}

bool ZmqIpcServer::stop() {
    if (!thread) {
        spdlog::error("Server {}: not started", endpoint);
        return false;
    }
    try {
        if (!contextAlive(context)) throw zmq::error_t(ETERM);
        sendTerminate();
        if (thread->joinable()) thread->join();
        thread.reset();
        spdlog::info("Server {}: stopped", endpoint);
        return true;
    } catch (const zmq::error_t& e) {
        spdlog::error("Server {}: exception while stopping sever {}", endpoint, e.what());
        // A terminated context ends the receiving thread by itself, so it can
        // be joined now; otherwise the server stays started and may be
        // stopped again.
        if (e.num() == ETERM) {
            if (thread->joinable()) thread->join();
            thread.reset();
        }
        spdlog::info("Server {}: stopped", name);
        return true;
    }
}

bool ZmqIpcServer::openSockets(void*& reply, void*& control) {
    reply = zmq_socket(context, ZMQ_REP);
    if (reply == nullptr) {
        spdlog::error("Server {}: unable to create socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    const int linger = 1;
    if (zmq_setsockopt(reply, ZMQ_LINGER, &linger, sizeof linger) != 0) {
        spdlog::error("Server {}: unable to configure socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    if (zmq_bind(reply, endpoint.c_str()) != 0) {
        spdlog::error("Server {}: unable to bind {} : {}", endpoint, endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    control = zmq_socket(context, ZMQ_PULL);
    if (control == nullptr) {
        spdlog::error("Server {}: unable to create socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    if (zmq_bind(control, controlEndpoint.c_str()) != 0) {
        spdlog::error("Server {}: unable to bind {} : {}", endpoint, controlEndpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    return true;
}

void ZmqIpcServer::receivingThread() {
    void* reply = nullptr;
    void* control = nullptr;
    bool ready = false;
    try {
        ready = openSockets(reply, control);
    } catch (const std::exception& e) {
        spdlog::error("Server {}: unable to start receiving thread : {}", endpoint, e.what());
    }
    if (!ready) {
        closeSocket(reply, endpoint);
        closeSocket(control, controlEndpoint);
        bound.set_value(false);
        return;
    }
    spdlog::debug("Server {}: start receiving thread", endpoint);
    bound.set_value(true);

    // Nothing may leave this thread: an escaping exception would end the
    // whole process.
    try {
        receiveLoop(reply, control);
    } catch (const zmq::error_t& e) {
        if (e.num() == ETERM) {
            spdlog::info("Server {}: context has been terminated", endpoint);
        } else {
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
        }
    } catch (const std::exception& e) {
        spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
    } catch (...) {
        spdlog::error("Server {}: exception in receiving thread: {}", endpoint, "unknown error");
    }
    closeSocket(reply, endpoint);
    spdlog::debug("Server {} : end of reception thread", endpoint);
    closeSocket(control, controlEndpoint);
}

void ZmqIpcServer::receiveLoop(void* reply, void* control) {
    zmq_pollitem_t items[2] = {{reply, 0, ZMQ_POLLIN, 0}, {control, 0, ZMQ_POLLIN, 0}};
    for (bool running = true; running;) {
        items[0].revents = 0;
        items[1].revents = 0;
        if (zmq_poll(items, 2, -1) < 0) {
            if (zmq_errno() == EINTR) continue;
            throw zmq::error_t();
        }
        spdlog::trace("Server {}: waiting for request", endpoint);
        if ((items[0].revents & ZMQ_POLLIN) != 0 && !serveRequest(reply)) continue;
        if ((items[1].revents & ZMQ_POLLIN) != 0) running = !readControl(control);
    }
}

// False when nothing could be received, in which case the pass ends at once.
bool ZmqIpcServer::serveRequest(void* reply) {
    Message message;
    int rc;
    do {
        rc = zmq_msg_recv(&message.msg, reply, 0);
    } while (rc < 0 && zmq_errno() == EINTR);
    if (rc < 0) {
        if (zmq_errno() != EAGAIN) throw zmq::error_t();
        spdlog::error("Server {}: error while waiting request : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    const std::size_t size = zmq_msg_size(&message.msg);
    if (size == 0) {
        spdlog::trace("Server {} : receive ping request", endpoint);
        static const char nothing = 0;
        if (sendFrame(reply, &nothing, 0) >= 0) {
            spdlog::trace("Server {} : respond to ping request", endpoint);
        } else if (zmq_errno() == EAGAIN) {
            spdlog::error("Server {} : unable to respond to ping request", endpoint);
        } else {
            throw zmq::error_t();
        }
        return true;
    }
    serveFrame(reply, static_cast<const std::uint8_t*>(zmq_msg_data(&message.msg)), size);
    return true;
}

void ZmqIpcServer::serveFrame(void* reply, const std::uint8_t* frame, std::size_t frameSize) {
    DeserializationBuffer request;
    request.data = frame;
    request.size = static_cast<std::uint32_t>(
        std::min<std::size_t>(frameSize, std::numeric_limits<std::uint32_t>::max()));
    IpcRequestContext requestContext;
    requestContext.serverEndpoint = &endpoint;
    requestContext.socket = reply;
    requestContext.requestData = frame;
    requestContext.request = &request;
    try {
        std::string identity;
        deserialize(request, identity);
        request.payloadStart = request.position;
        spdlog::trace("Server {}: receive message from client {}", endpoint, identity);
        spdlog::trace("Server {}: Notify request", endpoint);
        if (handler != nullptr) handler->notifyRequest(identity, requestContext);
    } catch (const DeserializationException&) {
        spdlog::error("Server {} : deserialization error", endpoint);
    } catch (const zmq::error_t&) {
        throw;
    } catch (const std::exception& e) {
        // One failing request must not end the service for every client.
        spdlog::error("Server {} : error while serving request : {}", endpoint, e.what());
    }
    // A REP socket takes the next request only after a reply to this one. If
    // the handler sent none (or never ran), complete the exchange with an
    // empty frame; EFSM means a reply has already gone out.
    static const char nothing = 0;
    if (sendFrame(reply, &nothing, 0) < 0) {
        const int error = zmq_errno();
        if (error == EAGAIN) {
            spdlog::error("Server {} : unable to send response (error = EAGAIN)", endpoint);
        } else if (error != EFSM) {
            throw zmq::error_t(error);
        }
    }
}

// True when the stop command was received.
bool ZmqIpcServer::readControl(void* control) {
    Message message;
    int rc;
    do {
        rc = zmq_msg_recv(&message.msg, control, 0);
    } while (rc < 0 && zmq_errno() == EINTR);
    if (rc < 0 && zmq_errno() != EAGAIN) throw zmq::error_t();
    const std::string text(static_cast<const char*>(zmq_msg_data(&message.msg)),
                           zmq_msg_size(&message.msg));
    std::istringstream words(text);
    std::string command;
    std::string argument;
    words >> command >> argument;
    if (command == "TERMINATE") {
        spdlog::info("Server {} - {} : stop command received", endpoint, command);
        return true;
    }
    spdlog::error("Server {} - {} : unknown command => {}.{}", endpoint, command, command,
                  argument);
    return false;
}

}  // namespace ev_common
