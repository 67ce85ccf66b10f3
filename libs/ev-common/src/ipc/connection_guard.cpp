#include "connection_guard.hpp"

#include "ev_common/ipc/zmq_ipc.hpp"

#include <dirent.h>
#include <spdlog/spdlog.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace ev_common {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The open descriptors are counted afresh at least this often, and this
// often once the process comes within two reserves of its limit.
constexpr milliseconds kRecountAfter{1000};
constexpr milliseconds kRecountNearTheLimit{20};
// How long the watching thread waits for an event before it looks at its
// own state again. A stop wakes it through its own event and warnings to sum
// up set their own time-out, so this is only a backstop: an idle daemon must
// not wake for nothing (its idle wake-ups are measured).
constexpr milliseconds kIdlePoll{30000};
constexpr milliseconds kStoppingPoll{50};
// How long an answer of the exemption check is used again, and for how many
// callers at most.
constexpr milliseconds kExemptionKept{1000};
constexpr std::size_t kExemptionsKept = 256;

// The caller at the other end of `fd`, as the kernel recorded it at connect
// time; false when `fd` is no connected Unix socket (any more).
template <typename Peer>
bool peerOf(int fd, Peer& peer) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials || credentials.pid <= 0) {
        return false;
    }
    peer = Peer{credentials.uid, credentials.gid, credentials.pid};
    return true;
}

template <typename Peer>
bool samePeer(const Peer& a, const Peer& b) {
    return a.uid == b.uid && a.gid == b.gid && a.pid == b.pid;
}

}  // namespace

std::optional<std::size_t> openDescriptorCount() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return std::nullopt;
    std::size_t entries = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') ++entries;
    }
    const int error = errno;
    ::closedir(folder);
    if (error != 0 || entries == 0) return std::nullopt;
    return entries - 1;
}

ConnectionGuard::ConnectionGuard(std::string label, ConnectionLimits limits,
                                 milliseconds warningInterval)
    : label_(std::move(label)), limits_(std::move(limits)), warningInterval_(warningInterval) {}

ConnectionGuard::~ConnectionGuard() {
    detach();
}

void ConnectionGuard::setLimits(ConnectionLimits limits) {
    std::lock_guard<std::mutex> lock(mutex_);
    limits_ = std::move(limits);
}

std::size_t ConnectionGuard::connectionsOf(uid_t uid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = perUid_.find(uid);
    return found == perUid_.end() ? 0 : found->second;
}

bool ConnectionGuard::attach(void* socket) {
    detach();
    static std::atomic<std::uint64_t> generation{0};
    monitorEndpoint_ = "inproc://connection-guard-" +
                       std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                       std::to_string(++generation);
    void* context = nullptr;
    try {
        context = ZmqIpc_GetContext();
    } catch (const std::runtime_error& e) {
        spdlog::error("{} : unable to watch connections : {}", label_, e.what());
        return false;
    }
    constexpr int kEvents = ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_MONITOR_STOPPED;
    if (zmq_socket_monitor(socket, monitorEndpoint_.c_str(), kEvents) != 0) {
        spdlog::error("{} : unable to watch connections : {}", label_, zmq_strerror(zmq_errno()));
        return false;
    }
    void* monitor = zmq_socket(context, ZMQ_PAIR);
    const int linger = 0;
    if (monitor == nullptr || zmq_setsockopt(monitor, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_connect(monitor, monitorEndpoint_.c_str()) != 0) {
        spdlog::error("{} : unable to watch connections : {}", label_, zmq_strerror(zmq_errno()));
        zmq_socket_monitor(socket, nullptr, 0);
        if (monitor != nullptr) zmq_close(monitor);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.clear();
        perUid_.clear();
    }
    open_.clear();
    exemptions_.clear();
    otherDescriptors_ = 0;
    lastCountAt_ = {};
    stopping_ = false;
    if (!wake_) wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    try {
        watcher_ = std::make_unique<std::thread>(&ConnectionGuard::watch, this, monitor);
    } catch (const std::system_error& e) {
        spdlog::error("{} : unable to watch connections : {}", label_, e.what());
        zmq_socket_monitor(socket, nullptr, 0);
        zmq_close(monitor);
        return false;
    }
    socket_ = socket;
    return true;
}

// The monitor is stopped before the thread is told: libzmq's I/O thread
// waits while the monitor's queue is full, so the thread reads until the
// monitor's last event.
void ConnectionGuard::detach() {
    if (!watcher_) return;
    zmq_socket_monitor(socket_, nullptr, 0);
    stopping_ = true;
    // The monitor's last event may never come (its queue goes with it).
    if (wake_) {
        const std::uint64_t one = 1;
        while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    if (watcher_->joinable()) watcher_->join();
    if (wake_) {
        std::uint64_t count = 0;
        while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    watcher_.reset();
    socket_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.clear();
    perUid_.clear();
}

void ConnectionGuard::watch(void* monitor) {
    for (;;) {
        zmq_pollitem_t items[] = {{monitor, 0, ZMQ_POLLIN, 0},
                                  {nullptr, wake_.get(), ZMQ_POLLIN, 0}};
        const int rc = zmq_poll(items, wake_ ? 2 : 1, pollTimeout(steady_clock::now()));
        if (rc < 0) {
            if (zmq_errno() == ETERM) break;
            if (zmq_errno() != EINTR) std::this_thread::sleep_for(kStoppingPoll);
            continue;
        }
        if (rc == 0 || (items[0].revents & ZMQ_POLLIN) == 0) {
            flushSummary(steady_clock::now());
            if (stopping_) break;
            continue;
        }
        std::uint16_t event = 0;
        std::uint32_t value = 0;
        if (!readEvent(monitor, event, value)) {
            if (zmq_errno() == ETERM) break;
            continue;
        }
        if (event == ZMQ_EVENT_MONITOR_STOPPED) break;
        if (event == ZMQ_EVENT_ACCEPTED) accepted(static_cast<int>(value));
        if (event == ZMQ_EVENT_DISCONNECTED) disconnected(static_cast<int>(value));
    }
    nextWarning_ = {};
    flushSummary(steady_clock::now());
    zmq_close(monitor);
}

// One event: a frame of its number and value, then one of its address.
bool ConnectionGuard::readEvent(void* monitor, std::uint16_t& event, std::uint32_t& value) {
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    bool valid = false;
    bool more = true;
    for (bool first = true; more; first = false) {
        if (zmq_msg_recv(&frame, monitor, first ? ZMQ_DONTWAIT : 0) < 0) {
            const int error = zmq_errno();
            zmq_msg_close(&frame);
            errno = error;
            return false;
        }
        if (first && zmq_msg_size(&frame) == sizeof event + sizeof value) {
            const auto* data = static_cast<const std::uint8_t*>(zmq_msg_data(&frame));
            std::memcpy(&event, data, sizeof event);
            std::memcpy(&value, data + sizeof event, sizeof value);
            valid = true;
        }
        more = zmq_msg_more(&frame) != 0;
    }
    zmq_msg_close(&frame);
    return valid;
}

void ConnectionGuard::accepted(int fd) {
    Peer peer{};
    // A connection gone before its event was read was never the guard's
    // to count.
    if (!peerOf(fd, peer)) return;
    forget(fd);
    open_.insert(fd);
    ConnectionLimits limits;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limits = limits_;
    }
    if (const auto reason = reasonToRefuse(fd, peer)) {
        if (!isExempt(limits, peer)) {
            refuse(fd, peer, *reason);
            return;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[fd] = peer;
    const std::size_t held = ++perUid_[peer.uid];
    spdlog::trace("{} : connection of uid {} pid {} accepted ({} of this user)", label_, peer.uid,
                  peer.pid, held);
}

bool ConnectionGuard::isExempt(const ConnectionLimits& limits, const Peer& peer) {
    if (!limits.exempt) return false;
    const auto now = steady_clock::now();
    const auto key = std::make_pair(peer.uid, peer.gid);
    const auto found = exemptions_.find(key);
    if (found != exemptions_.end() && now - found->second.second < kExemptionKept) {
        return found->second.first;
    }
    const bool exempt = limits.exempt(PeerCredentials{peer.uid, peer.gid, peer.pid});
    if (exemptions_.size() >= kExemptionsKept) exemptions_.clear();
    exemptions_[key] = {exempt, now};
    return exempt;
}

void ConnectionGuard::disconnected(int fd) {
    spdlog::trace("{} : connection on descriptor {} ended", label_, fd);
    open_.erase(fd);
    forget(fd);
}

void ConnectionGuard::forget(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    const auto count = perUid_.find(found->second.uid);
    if (count != perUid_.end() && --count->second == 0) perUid_.erase(count);
    connections_.erase(found);
}

void ConnectionGuard::pruneStale(uid_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto at = connections_.begin(); at != connections_.end();) {
        Peer now{};
        if (at->second.uid != uid || (peerOf(at->first, now) && samePeer(now, at->second))) {
            ++at;
            continue;
        }
        const auto count = perUid_.find(uid);
        if (count != perUid_.end() && --count->second == 0) perUid_.erase(count);
        at = connections_.erase(at);
    }
}

std::optional<std::string> ConnectionGuard::reasonToRefuse(int fd, const Peer& peer) {
    unsigned int perUid = 0;
    unsigned int reserve = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        perUid = limits_.perUid;
        reserve = limits_.reserve;
    }
    if (perUid > 0 && connectionsOf(peer.uid) >= perUid) {
        pruneStale(peer.uid);
        const std::size_t held = connectionsOf(peer.uid);
        if (held >= perUid) {
            return fmt::format("{} connections of this user (limit {})", held, perUid);
        }
    }
    std::size_t open = 0;
    std::size_t limit = 0;
    if (nearDescriptorLimit(fd, open, limit)) {
        return fmt::format("{} descriptors open (limit {}, {} kept in reserve)", open, limit,
                           reserve);
    }
    return std::nullopt;
}

// Counting /proc/self/fd costs a pass over every descriptor, and a guard
// that falls behind lets libzmq accept on: it is done now and then, and
// often only near the limit. In between, the descriptors found besides the
// connections at the last count plus the connections open now stand in.
bool ConnectionGuard::nearDescriptorLimit(int fd, std::size_t& open, std::size_t& limit) {
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) {
        return false;
    }
    std::size_t reserve = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reserve = limits_.reserve;
    }
    limit = static_cast<std::size_t>(descriptors.rlim_cur);
    const std::size_t threshold = limit > reserve ? limit - reserve : 0;
    // Descriptors are handed out lowest first: all below `fd` are taken.
    const std::size_t atLeast = static_cast<std::size_t>(fd) + 1;
    open = std::max(otherDescriptors_ + open_.size(), atLeast);
    const auto now = steady_clock::now();
    const auto since = now - lastCountAt_;
    if (since >= kRecountAfter || (open + reserve >= threshold && since >= kRecountNearTheLimit)) {
        errno = 0;
        const auto counted = openDescriptorCount();
        if (counted) {
            lastCountAt_ = now;
            otherDescriptors_ = *counted > open_.size() ? *counted - open_.size() : 0;
            open = std::max(*counted, atLeast);
        } else if (errno == EMFILE || errno == ENFILE) {
            // Not even one left for the count.
            return true;
        }
    }
    return open > threshold;
}

// The reading side is shut down, not the descriptor closed: libzmq owns it
// and closes it once it reads the end of the stream. The descriptor is asked
// again first, as it may have been closed and given to another connection.
void ConnectionGuard::refuse(int fd, const Peer& peer, const std::string& reason) {
    Peer now{};
    if (!peerOf(fd, now) || !samePeer(now, peer)) return;
    if (::shutdown(fd, SHUT_RD) != 0) return;
    ++refused_;
    const auto at = steady_clock::now();
    if (at >= nextWarning_) {
        flushSummary(at);
        spdlog::warn("{} : connection of uid {} refused : {}", label_, peer.uid, reason);
        nextWarning_ = at + warningInterval_;
    } else {
        ++unreported_[peer.uid];
    }
}

void ConnectionGuard::flushSummary(steady_clock::time_point now) {
    if (unreported_.empty() || now < nextWarning_) return;
    for (const auto& [uid, count] : unreported_) {
        spdlog::warn("{} : {} more connections of uid {} refused", label_, count, uid);
    }
    unreported_.clear();
}

int ConnectionGuard::pollTimeout(steady_clock::time_point now) const {
    if (stopping_) return static_cast<int>(kStoppingPoll.count());
    if (unreported_.empty()) return static_cast<int>(kIdlePoll.count());
    if (now >= nextWarning_) return 0;
    const auto left = std::chrono::duration_cast<milliseconds>(nextWarning_ - now).count() + 1;
    return static_cast<int>(std::min<long long>(left, kIdlePoll.count()));
}

}  // namespace ev_common
