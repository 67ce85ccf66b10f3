#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "connection_guard.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "unix_listener.hpp"

#include <spdlog/spdlog.h>
#include <zmq.h>
#include <zmq.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace ev_common {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Errors in a row, without a request served in between, after which the
// endpoint counts as lost; with the growing pauses between attempts this is
// under a second of trying.
constexpr unsigned kMaxFailures = 6;

// No pause after the first failure, then 50, 100, 200, 400 ms.
milliseconds pauseBeforeReopening(unsigned failures) {
    return failures <= 1 ? milliseconds(0) : milliseconds(50 << (failures - 2));
}

// A message initialised empty and closed on every way out of its scope.
struct Message {
    zmq_msg_t msg;
    Message() { zmq_msg_init(&msg); }
    ~Message() { zmq_msg_close(&msg); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
};

// Marks the receiving thread busy from the arrival of a request until its
// reply has gone, for readers on other threads.
class BusyMark {
public:
    explicit BusyMark(std::atomic<std::int64_t>& since) : since_(since) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             steady_clock::now().time_since_epoch())
                             .count();
        since_.store(std::max<std::int64_t>(now, 1));
    }
    ~BusyMark() { since_.store(0); }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

private:
    std::atomic<std::int64_t>& since_;
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

int receiveFrame(zmq_msg_t& msg, void* socket) {
    int rc;
    do {
        rc = zmq_msg_recv(&msg, socket, 0);
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

std::string ipcLockFile(const std::string& endpoint, const std::string& rootFolder) {
    const char* runtimeFolder = std::getenv("XDG_RUNTIME_DIR");
    return ipcLockFile(endpoint, rootFolder, ::geteuid(),
                       runtimeFolder != nullptr ? runtimeFolder : "");
}

std::string ipcLockFile(const std::string& endpoint, const std::string& rootFolder, uid_t user,
                        const std::string& runtimeFolder) {
    namespace fs = std::filesystem;
    const fs::path socket = ipcSocketPath(endpoint);
    if (socket.empty()) return {};
    const std::string stem = socket.stem().string();
    if (user == 0) return (fs::path(rootFolder) / (stem + ".lock")).string();
    // Named after the daemon, as root's folder is ("/run/<daemon>").
    fs::path root = fs::path(rootFolder).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();
    std::string owner = root.filename().string();
    if (owner.empty() || owner == "." || owner == "..") owner = stem;
    struct stat status {};
    const fs::path runtime(runtimeFolder);
    if (runtime.is_absolute() && ::lstat(runtime.c_str(), &status) == 0 &&
        S_ISDIR(status.st_mode) && status.st_uid == user && (status.st_mode & 022) == 0) {
        // Shared by every program of the user: the name says whose lock it is.
        const std::string name = stem.rfind(owner, 0) == 0 ? stem : owner + "." + stem;
        return (runtime / (name + ".lock")).string();
    }
    return (fs::path("/tmp") / (owner + "-" + std::to_string(user)) / (stem + ".lock")).string();
}

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

bool IpcRequestContext::sendSharedResponse(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
    using Shared = std::shared_ptr<const std::vector<std::uint8_t>>;
    if (!bytes) return sendResponse(nullptr, 0);
    // The message refers to the bytes; its own reference is released by the
    // transport's thread once they are sent.
    auto* keeper = new Shared(std::move(bytes));
    zmq_msg_t msg;
    const auto release = [](void*, void* hint) { delete static_cast<Shared*>(hint); };
    if (zmq_msg_init_data(&msg, const_cast<std::uint8_t*>((*keeper)->data()), (*keeper)->size(),
                          release, keeper) != 0) {
        delete keeper;
        throw zmq::error_t();
    }
    int rc;
    do {
        rc = zmq_msg_send(&msg, socket, 0);
    } while (rc < 0 && zmq_errno() == EINTR);
    if (rc >= 0) {
        spdlog::trace("Server {} : response sent (size = {})", *serverEndpoint, responseSize);
        return true;
    }
    const int error = zmq_errno();
    zmq_msg_close(&msg);
    if (error == EAGAIN) {
        spdlog::error("Server {} : unable to send response (error = EAGAIN)", *serverEndpoint);
        return false;
    }
    throw zmq::error_t(error);
}

ZmqIpcServer::ZmqIpcServer(const std::string& name, const std::string& endpoint,
                           IIpcRequestHandler* handler, ZmqIpcServerOptions options)
    : name(name),
      endpoint(endpoint),
      handler(handler),
      context(ZmqIpc_GetContext()),
      controlEndpoint(buildControlEndpoint(this, endpoint)),
      options(std::move(options)),
      socketPath(ipcSocketPath(endpoint)),
      readsCredentials(endpoint.rfind("ipc://", 0) == 0) {}

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
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    if (thread->joinable()) thread->join();
    thread.reset();
}

void ZmqIpcServer::setEndpointAccess(IpcEndpointAccess access) {
    options.endpointAccess = std::move(access);
}

void ZmqIpcServer::setConnectionLimits(ConnectionLimits limits) {
    options.connectionLimits = std::move(limits);
}

std::uint64_t ZmqIpcServer::refusedConnections() const {
    return guard ? guard->refused() : 0;
}

bool ZmqIpcServer::claim() {
    if (socketPath.empty() || listener) return true;
    auto claimed = std::make_unique<UnixListener>(endpoint, socketPath, options.endpointAccess);
    if (!claimed->open()) return false;
    listener = std::move(claimed);
    return true;
}

bool ZmqIpcServer::start() {
    if (thread) {
        spdlog::error("Server {}: already started", endpoint);
        return false;
    }
    if (!claim()) return false;
    // Only a server with a bound per caller is watched; the daemon always
    // sets one.
    if (!socketPath.empty() && options.connectionLimits.perUid > 0) {
        if (!guard) {
            guard =
                std::make_unique<ConnectionGuard>("Server " + endpoint, options.connectionLimits);
        } else {
            guard->setLimits(options.connectionLimits);
        }
    }
    bound = std::promise<bool>();
    std::future<bool> ready = bound.get_future();
    try {
        thread = std::make_unique<std::thread>(&ZmqIpcServer::receivingThread, this);
    } catch (const std::system_error& e) {
        spdlog::error("Server {}: unable to start receiving thread : {}", endpoint, e.what());
        return false;
    }
    if (ready.get()) {
        started = true;
        return true;
    }
    thread->join();
    thread.reset();
    listener.reset();
    return false;
}

void ZmqIpcServer::sendTerminate() {
    sendControl("TERMINATE");
}

void ZmqIpcServer::sendControl(const std::string& command) {
    void* push = zmq_socket(context, ZMQ_PUSH);
    if (push == nullptr) throw zmq::error_t();
    try {
        // A command for a thread that has just ended must not hold up the
        // context's end; one the thread can still read is not lost, as inproc
        // delivers it to the reading end at once.
        const int linger = 0;
        if (zmq_setsockopt(push, ZMQ_LINGER, &linger, sizeof linger) != 0) throw zmq::error_t();
        if (zmq_connect(push, controlEndpoint.c_str()) != 0) throw zmq::error_t();
        zmq_msg_t msg;
        if (zmq_msg_init_size(&msg, command.size()) != 0) throw zmq::error_t();
        std::memcpy(zmq_msg_data(&msg), command.data(), command.size());
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
    started = false;
    try {
        if (!contextAlive(context)) throw zmq::error_t(ETERM);
        // A thread that gave up on its own has closed its control socket
        // already: there is nobody to tell, only a thread to join.
        if (receiving) sendTerminate();
        if (thread->joinable()) thread->join();
        thread.reset();
        listener.reset();
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
            listener.reset();
        }
        spdlog::info("Server {}: stopped", name);
        return true;
    }
}

bool ZmqIpcServer::post(std::function<void()> task) {
    if (!task || !started || !receiving) return false;
    {
        std::lock_guard<std::mutex> lock(postedMutex);
        posted.push_back(std::move(task));
    }
    try {
        sendControl("RUN");
        return true;
    } catch (const zmq::error_t& e) {
        // The task stays queued and runs with the next one that gets through.
        spdlog::error("Server {}: unable to post a task : {}", endpoint, e.what());
        return false;
    }
}

void ZmqIpcServer::runPosted() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(postedMutex);
        tasks.swap(posted);
    }
    for (auto& task : tasks) {
        const BusyMark busy(busySinceNs);
        try {
            task();
        } catch (const std::exception& e) {
            spdlog::error("Server {}: exception in posted task : {}", endpoint, e.what());
        } catch (...) {
            spdlog::error("Server {}: exception in posted task : {}", endpoint, "unknown error");
        }
    }
}

ZmqIpcServer::Activity ZmqIpcServer::activity() const {
    Activity now;
    now.receiving = receiving.load();
    const std::int64_t since = busySinceNs.load();
    if (since != 0) {
        now.busySince = steady_clock::time_point(
            std::chrono::duration_cast<steady_clock::duration>(std::chrono::nanoseconds(since)));
    }
    return now;
}

std::optional<std::string> ZmqIpcServer::servingProblem(milliseconds bound) const {
    if (!started) return std::nullopt;
    const Activity now = activity();
    if (!now.receiving) return fmt::format("Server {} : receiving thread has ended", endpoint);
    if (!now.busySince) return std::nullopt;
    const auto busy =
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - *now.busySince);
    if (busy <= bound) return std::nullopt;
    return fmt::format("Server {} : busy on one request for {}ms (limit {}ms)", endpoint,
                       busy.count(), bound.count());
}

// The reply socket, bound to the endpoint, or null after the reason was logged.
// On an ipc:// file path it serves the listener's socket, which it gets a
// descriptor of its own to close.
void* ZmqIpcServer::openReplySocket() {
    void* reply = zmq_socket(context, ZMQ_REP);
    if (reply == nullptr) {
        spdlog::error("Server {}: unable to create socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return nullptr;
    }
    const int linger = 1;
    const std::int64_t maxMessageSize = options.maxMessageSize;
    if (zmq_setsockopt(reply, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_setsockopt(reply, ZMQ_MAXMSGSIZE, &maxMessageSize, sizeof maxMessageSize) != 0) {
        spdlog::error("Server {}: unable to configure socket : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        zmq_close(reply);
        return nullptr;
    }
    // Watched before it binds: no connection gets past the guard uncounted.
    if (guard && !guard->attach(reply)) {
        zmq_close(reply);
        return nullptr;
    }
    int listening = -1;
    if (listener) {
        if (!listener->refresh() || (listening = listener->duplicate()) < 0) {
            closeReplySocket(reply);
            return nullptr;
        }
        if (zmq_setsockopt(reply, ZMQ_USE_FD, &listening, sizeof listening) != 0) {
            spdlog::error("Server {}: unable to configure socket : {}", endpoint,
                          zmq_strerror(zmq_errno()));
            ::close(listening);
            closeReplySocket(reply);
            return nullptr;
        }
    }
    if (zmq_bind(reply, endpoint.c_str()) != 0) {
        spdlog::error("Server {}: unable to bind {} : {}", endpoint, endpoint,
                      zmq_strerror(zmq_errno()));
        // A failed bind never took the descriptor over.
        if (listening >= 0) ::close(listening);
        closeReplySocket(reply);
        return nullptr;
    }
    return reply;
}

// The guard lets go of the socket first: libzmq stops reporting its
// connections before they are closed with it.
void ZmqIpcServer::closeReplySocket(void*& reply) {
    if (reply == nullptr) return;
    if (guard) guard->detach();
    closeSocket(reply, endpoint);
}

bool ZmqIpcServer::openSockets(void*& reply, void*& control) {
    reply = openReplySocket();
    if (reply == nullptr) return false;
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
        closeReplySocket(reply);
        closeSocket(control, controlEndpoint);
        bound.set_value(false);
        return;
    }
    spdlog::debug("Server {}: start receiving thread", endpoint);
    receiving = true;
    bound.set_value(true);

    const LoopEnd end = serveUntilStopped(reply, control);
    closeReplySocket(reply);
    spdlog::debug("Server {} : end of reception thread", endpoint);
    closeSocket(control, controlEndpoint);
    receiving = false;
    {
        std::lock_guard<std::mutex> lock(postedMutex);
        posted.clear();
    }
    if (end == LoopEnd::failed && options.onFatalError) {
        try {
            options.onFatalError();
        } catch (const std::exception& e) {
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
        }
    }
}

// Serves until the stop command or the end of the context. Any other error
// costs the reply socket, never the thread: the socket is opened afresh on
// the same endpoint, so one broken exchange cannot leave a live process with
// a dead endpoint. Only when that keeps failing is the endpoint given up.
ZmqIpcServer::LoopEnd ZmqIpcServer::serveUntilStopped(void*& reply, void* control) {
    unsigned failures = 0;
    for (;;) {
        // Nothing may leave this thread: an escaping exception would end the
        // whole process.
        try {
            if (receiveLoop(reply, control, failures)) return LoopEnd::stopped;
        } catch (const zmq::error_t& e) {
            if (e.num() == ETERM) {
                spdlog::info("Server {}: context has been terminated", endpoint);
                return LoopEnd::stopped;
            }
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
        } catch (const std::exception& e) {
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
        } catch (...) {
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint,
                          "unknown error");
        }
        ++failures;
        bool stopped = false;
        if (!reopenReplySocket(reply, control, failures, stopped)) {
            return stopped ? LoopEnd::stopped : LoopEnd::failed;
        }
    }
}

// False when the endpoint is given up, or when the stop command or the end of
// the context came first (`stopped`).
bool ZmqIpcServer::reopenReplySocket(void*& reply, void* control, unsigned& failures,
                                     bool& stopped) {
    closeReplySocket(reply);
    while (failures < kMaxFailures) {
        try {
            if (waitForStop(control, pauseBeforeReopening(failures))) {
                stopped = true;
                return false;
            }
        } catch (const zmq::error_t& e) {
            if (e.num() == ETERM) {
                spdlog::info("Server {}: context has been terminated", endpoint);
                stopped = true;
                return false;
            }
            spdlog::error("Server {}: exception in receiving thread: {}", endpoint, e.what());
        }
        reply = openReplySocket();
        if (reply != nullptr) {
            spdlog::info("Server {}: endpoint reopened", endpoint);
            return true;
        }
        ++failures;
    }
    spdlog::critical("Server {}: endpoint lost, the server gives up", endpoint);
    return false;
}

// Pauses for `delay` while watching the control socket; true when the stop
// command arrived meanwhile.
bool ZmqIpcServer::waitForStop(void* control, milliseconds delay) {
    if (delay.count() <= 0) return false;
    zmq_pollitem_t item{control, 0, ZMQ_POLLIN, 0};
    const auto deadline = steady_clock::now() + delay;
    for (auto left = delay; left.count() > 0;
         left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now())) {
        item.revents = 0;
        const int rc = zmq_poll(&item, 1, static_cast<long>(left.count()));
        if (rc < 0 && zmq_errno() != EINTR) throw zmq::error_t();
        if (rc > 0 && readControl(control)) return true;
    }
    return false;
}

// True when the stop command was received. `failures` is cleared by every
// request served to the end.
bool ZmqIpcServer::receiveLoop(void* reply, void* control, unsigned& failures) {
    zmq_pollitem_t items[2] = {{reply, 0, ZMQ_POLLIN, 0}, {control, 0, ZMQ_POLLIN, 0}};
    for (;;) {
        items[0].revents = 0;
        items[1].revents = 0;
        if (zmq_poll(items, 2, -1) < 0) {
            if (zmq_errno() == EINTR) continue;
            throw zmq::error_t();
        }
        spdlog::trace("Server {}: waiting for request", endpoint);
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            if (!serveRequest(reply)) continue;
            failures = 0;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0 && readControl(control)) return true;
    }
}

// False when nothing could be received, in which case the pass ends at once.
bool ZmqIpcServer::serveRequest(void* reply) {
    Message message;
    if (receiveFrame(message.msg, reply) < 0) {
        if (zmq_errno() != EAGAIN) throw zmq::error_t();
        spdlog::error("Server {}: error while waiting request : {}", endpoint,
                      zmq_strerror(zmq_errno()));
        return false;
    }
    const BusyMark busy(busySinceNs);
    // A REP socket replies only once the whole message has been read, and the
    // request frame is a single frame: the other frames are read and dropped,
    // never served as requests of their own.
    std::size_t frames = 1;
    std::size_t size = zmq_msg_size(&message.msg);
    while (zmq_msg_more(&message.msg) != 0) {
        if (receiveFrame(message.msg, reply) < 0) throw zmq::error_t();
        ++frames;
    }
    if (frames > 1) {
        spdlog::warn("Server {} : multipart request of {} frames refused", endpoint, frames);
        replyEmpty(reply);
        return true;
    }
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
    std::optional<PeerCredentials> peer;
    if (readsCredentials) {
        // Only ipc peers end their address in credentials; a tcp peer's
        // IPv6 address could look alike.
        if (const char* address = zmq_msg_gets(&message.msg, "Peer-Address")) {
            peer = parsePeerAddress(address);
        }
    }
    serveFrame(reply, static_cast<const std::uint8_t*>(zmq_msg_data(&message.msg)), size, peer);
    return true;
}

void ZmqIpcServer::replyEmpty(void* reply) {
    static const char nothing = 0;
    if (sendFrame(reply, &nothing, 0) >= 0) return;
    if (zmq_errno() != EAGAIN) throw zmq::error_t();
    spdlog::error("Server {} : unable to send response (error = EAGAIN)", endpoint);
}

void ZmqIpcServer::serveFrame(void* reply, const std::uint8_t* frame, std::size_t frameSize,
                              std::optional<PeerCredentials> peer) {
    DeserializationBuffer request;
    request.data = frame;
    request.size = static_cast<std::uint32_t>(
        std::min<std::size_t>(frameSize, std::numeric_limits<std::uint32_t>::max()));
    IpcRequestContext requestContext;
    requestContext.serverEndpoint = &endpoint;
    requestContext.socket = reply;
    requestContext.requestData = frame;
    requestContext.request = &request;
    requestContext.peer = peer;
    try {
        std::string identity;
        deserialize(request, identity);
        request.payloadStart = request.position;
        spdlog::trace("Server {}: receive message from client {}", endpoint, bounded(identity));
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
    if (receiveFrame(message.msg, control) < 0 && zmq_errno() != EAGAIN) throw zmq::error_t();
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
    if (command == "RUN") {
        runPosted();
        return false;
    }
    spdlog::error("Server {} - {} : unknown command => {}.{}", endpoint, command, command,
                  argument);
    return false;
}

}  // namespace ev_common
