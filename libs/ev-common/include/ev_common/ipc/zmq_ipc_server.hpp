// Serves one ZeroMQ request/response endpoint on a receiving thread of its
// own: answers pings itself, reads the client identity in front of every other
// request and hands the rest to its IIpcRequestHandler. Stopped through an
// inproc control channel, so no lock is shared with the owner's thread.
// Owned by a service's IPC-side handler; needs ZmqIpc_Init() first.
#pragma once

#include "ev_common/ipc/serialization.hpp"

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace ev_common {

// What the receiving thread hands to the handler for one request; lives on that
// thread's stack for the duration of the handler call only.
struct IpcRequestContext {
    const std::string* serverEndpoint = nullptr;
    void* socket = nullptr;  // the server's reply socket
    const std::uint8_t* requestData = nullptr;
    DeserializationBuffer* request = nullptr;  // cursor over the whole frame
    std::size_t responseSize = 0;              // set by the handler before it replies

    // Sends one reply frame. False when the socket refused it for now (EAGAIN);
    // any other failure throws zmq::error_t.
    bool sendResponse(const void* data, std::size_t size);
};

class ZmqIpcServer {
public:
    class IIpcRequestHandler {
    public:
        virtual ~IIpcRequestHandler() = default;
        // Runs on the receiving thread for every non-empty request. A request
        // the handler leaves unanswered is answered with an empty frame, so
        // the reply socket stays usable for the next client.
        virtual void notifyRequest(const std::string& clientId, IpcRequestContext& context) = 0;
    };

    // Throws std::runtime_error when there is no process-wide context.
    ZmqIpcServer(const std::string& name, const std::string& endpoint, IIpcRequestHandler* handler);
    virtual ~ZmqIpcServer();
    ZmqIpcServer(const ZmqIpcServer&) = delete;
    ZmqIpcServer& operator=(const ZmqIpcServer&) = delete;

    // Returns once the receiving thread has bound both its sockets (true) or
    // failed to (false, with the reason logged).
    bool start();
    bool stop();

    const std::string& getEndpoint() const { return endpoint; }
    const std::string& getControlEndpoint() const { return controlEndpoint; }

private:
    void receivingThread();
    bool openSockets(void*& reply, void*& control);
    void receiveLoop(void* reply, void* control);
    bool serveRequest(void* reply);
    void serveFrame(void* reply, const std::uint8_t* frame, std::size_t frameSize);
    bool readControl(void* control);
    void sendTerminate();

    std::string name;
    std::string endpoint;
    IIpcRequestHandler* handler;
    void* context;
    std::string controlEndpoint;
    std::unique_ptr<std::thread> thread;
    std::promise<bool> bound;
};

}  // namespace ev_common
