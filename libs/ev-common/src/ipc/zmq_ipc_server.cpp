#include "ev_common/ipc/zmq_ipc_server.hpp"

#include "connection_guard.hpp"
#include "endpoint_binding.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "unix_listener.hpp"
#include "zmq_context.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
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
// any thread; an interrupted call is simply made again. False when the
// socket cannot take or give a frame now (EAGAIN).
bool sendMessage(zmq::socket_ref socket, zmq::message_t& message) {
    for (;;) {
        try {
            return socket.send(message, zmq::send_flags::none).has_value();
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
    }
}

bool receiveMessage(zmq::socket_t& socket, zmq::message_t& message) {
    for (;;) {
        try {
            return socket.recv(message, zmq::recv_flags::none).has_value();
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
    }
}

// The number of ready items; 0 as well when a signal cut the wait short.
int pollItems(zmq::pollitem_t* items, std::size_t count, milliseconds timeout) {
    try {
        return zmq::poll(items, count, timeout);
    } catch (const zmq::error_t& e) {
        if (e.num() == EINTR) return 0;
        throw;
    }
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
    zmq::message_t message;
    if (size > 0) message = zmq::message_t(data, size);
    return sendResponse(message);
}

bool IpcRequestContext::sendResponse(zmq::message_t& message) {
    if (sendMessage(zmq::socket_ref(zmq::from_handle, socket), message)) {
        replied = true;
        spdlog::trace("Server {} : response sent (size = {})", *serverEndpoint, responseSize);
        return true;
    }
    spdlog::error("Server {} : unable to send response (error = EAGAIN)", *serverEndpoint);
    return false;
}

bool IpcRequestContext::sendSharedResponse(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
    using Shared = std::shared_ptr<const std::vector<std::uint8_t>>;
    if (!bytes) return sendResponse(nullptr, 0);
    // The message refers to the bytes; its own reference is released by the
    // transport's thread once they are sent, or when the message is dropped.
    auto keeper = std::make_unique<Shared>(std::move(bytes));
    const auto release = [](void*, void* hint) { delete static_cast<Shared*>(hint); };
    zmq::message_t message(const_cast<std::uint8_t*>((*keeper)->data()), (*keeper)->size(), release,
                           keeper.get());
    keeper.release();
    return sendResponse(message);
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
    return claimEndpoint(endpoint, options.endpointAccess, "Server", listener);
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
    // Once the last reference has been released the context is gone.
    if (!contextAlive(context)) throw zmq::error_t(ETERM);
    zmq::socket_t push(ZmqIpc_Context(), zmq::socket_type::push);
    // A command for a thread that has just ended must not hold up the
    // context's end; one the thread can still read is not lost, as inproc
    // delivers it to the reading end at once.
    push.set(zmq::sockopt::linger, 0);
    push.connect(controlEndpoint);
    zmq::message_t message(command.data(), command.size());
    sendMessage(push, message);
}

bool ZmqIpcServer::stop() {
    // Never started, a start that failed, or stopped already: nothing to do.
    if (!thread) return true;
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

// Opens `reply` bound to the endpoint; false after the reason was logged.
bool ZmqIpcServer::openReplySocket(zmq::socket_t& reply) {
    try {
        reply = zmq::socket_t(ZmqIpc_Context(), zmq::socket_type::rep);
    } catch (const std::exception& e) {
        spdlog::error("Server {}: unable to create socket : {}", endpoint, e.what());
        return false;
    }
    try {
        reply.set(zmq::sockopt::linger, 1);
        reply.set(zmq::sockopt::maxmsgsize, options.maxMessageSize);
    } catch (const zmq::error_t& e) {
        spdlog::error("Server {}: unable to configure socket : {}", endpoint, e.what());
        reply.close();
        return false;
    }
    // Watched before it binds: no connection gets past the guard uncounted.
    if (guard && !guard->attach(reply.handle())) {
        reply.close();
        return false;
    }
    if (!bindEndpoint(reply, endpoint, listener.get(), "Server")) {
        closeReplySocket(reply);
        return false;
    }
    return true;
}

// The guard lets go of the socket first: libzmq stops reporting its
// connections before they are closed with it.
void ZmqIpcServer::closeReplySocket(zmq::socket_t& reply) {
    if (!reply) return;
    if (guard) guard->detach();
    closeEndpoint(reply, endpoint);
}

bool ZmqIpcServer::openSockets(zmq::socket_t& reply, zmq::socket_t& control) {
    if (!openReplySocket(reply)) return false;
    try {
        control = zmq::socket_t(ZmqIpc_Context(), zmq::socket_type::pull);
    } catch (const std::exception& e) {
        spdlog::error("Server {}: unable to create socket : {}", endpoint, e.what());
        return false;
    }
    try {
        control.bind(controlEndpoint);
    } catch (const zmq::error_t& e) {
        spdlog::error("Server {}: unable to bind {} : {}", endpoint, controlEndpoint, e.what());
        return false;
    }
    return true;
}

void ZmqIpcServer::receivingThread() {
    zmq::socket_t reply;
    zmq::socket_t control;
    bool ready = false;
    try {
        ready = openSockets(reply, control);
    } catch (const std::exception& e) {
        spdlog::error("Server {}: unable to start receiving thread : {}", endpoint, e.what());
    }
    if (!ready) {
        closeReplySocket(reply);
        closeEndpoint(control, controlEndpoint);
        bound.set_value(/*bound=*/false);
        return;
    }
    spdlog::debug("Server {}: start receiving thread", endpoint);
    receiving = true;
    bound.set_value(/*bound=*/true);

    const LoopEnd end = serveUntilStopped(reply, control);
    closeReplySocket(reply);
    spdlog::debug("Server {} : end of reception thread", endpoint);
    closeEndpoint(control, controlEndpoint);
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
ZmqIpcServer::LoopEnd ZmqIpcServer::serveUntilStopped(zmq::socket_t& reply,
                                                      zmq::socket_t& control) {
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
bool ZmqIpcServer::reopenReplySocket(zmq::socket_t& reply, zmq::socket_t& control,
                                     unsigned& failures, bool& stopped) {
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
        if (openReplySocket(reply)) {
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
bool ZmqIpcServer::waitForStop(zmq::socket_t& control, milliseconds delay) {
    if (delay.count() <= 0) return false;
    zmq::pollitem_t item{control.handle(), 0, ZMQ_POLLIN, 0};
    const auto deadline = steady_clock::now() + delay;
    for (auto left = delay; left.count() > 0;
         left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now())) {
        item.revents = 0;
        if (pollItems(&item, 1, left) > 0 && readControl(control)) return true;
    }
    return false;
}

// True when the stop command was received. `failures` is cleared by every
// request served to the end.
bool ZmqIpcServer::receiveLoop(zmq::socket_t& reply, zmq::socket_t& control, unsigned& failures) {
    zmq::pollitem_t items[2] = {{reply.handle(), 0, ZMQ_POLLIN, 0},
                                {control.handle(), 0, ZMQ_POLLIN, 0}};
    for (;;) {
        items[0].revents = 0;
        items[1].revents = 0;
        if (pollItems(items, 2, milliseconds(-1)) == 0) continue;  // interrupted
        spdlog::trace("Server {}: waiting for request", endpoint);
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            if (!serveRequest(reply)) continue;
            failures = 0;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0 && readControl(control)) return true;
    }
}

// False when nothing could be received, in which case the pass ends at once.
bool ZmqIpcServer::serveRequest(zmq::socket_t& reply) {
    zmq::message_t message;
    if (!receiveMessage(reply, message)) {
        spdlog::error("Server {}: error while waiting request : {}", endpoint,
                      zmq::error_t(EAGAIN).what());
        return false;
    }
    const BusyMark busy(busySinceNs);
    // A REP socket replies only once the whole message has been read, and the
    // request frame is a single frame: the other frames are read and dropped,
    // never served as requests of their own.
    std::size_t frames = 1;
    const std::size_t size = message.size();
    while (message.more()) {
        if (!receiveMessage(reply, message)) throw zmq::error_t(EAGAIN);
        ++frames;
    }
    if (frames > 1) {
        spdlog::warn("Server {} : multipart request of {} frames refused", endpoint, frames);
        replyEmpty(reply);
        return true;
    }
    if (size == 0) {
        spdlog::trace("Server {} : receive ping request", endpoint);
        zmq::message_t nothing;
        if (sendMessage(reply, nothing)) {
            spdlog::trace("Server {} : respond to ping request", endpoint);
        } else {
            spdlog::error("Server {} : unable to respond to ping request", endpoint);
        }
        return true;
    }
    std::optional<PeerCredentials> peer;
    if (readsCredentials) {
        // Only ipc peers end their address in credentials; a tcp peer's
        // IPv6 address could look alike.
        try {
            peer = parsePeerAddress(message.gets("Peer-Address"));
        } catch (const zmq::error_t&) {
            // The transport did not give them.
        }
    }
    serveFrame(reply, message.data<std::uint8_t>(), size, peer);
    return true;
}

void ZmqIpcServer::replyEmpty(zmq::socket_t& reply) {
    zmq::message_t nothing;
    if (sendMessage(reply, nothing)) return;
    spdlog::error("Server {} : unable to send response (error = EAGAIN)", endpoint);
}

void ZmqIpcServer::serveFrame(zmq::socket_t& reply, const std::uint8_t* frame,
                              std::size_t frameSize, std::optional<PeerCredentials> peer) {
    DeserializationBuffer request;
    request.data = frame;
    request.size = static_cast<std::uint32_t>(
        std::min<std::size_t>(frameSize, std::numeric_limits<std::uint32_t>::max()));
    IpcRequestContext requestContext;
    requestContext.serverEndpoint = &endpoint;
    requestContext.socket = reply.handle();
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
    // A REP socket takes the next request only after a reply to this one: a
    // request the handler left unanswered (or that never reached it) is
    // answered with an empty frame.
    if (!requestContext.replied) replyEmpty(reply);
}

// True when the stop command was received.
bool ZmqIpcServer::readControl(zmq::socket_t& control) {
    zmq::message_t message;
    receiveMessage(control, message);  // nothing there: an empty command
    const std::string text = message.to_string();
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
