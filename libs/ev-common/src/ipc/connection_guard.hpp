// Holds the connections to one listening ZeroMQ socket on an ipc:// file path
// within ConnectionLimits. A thread of its own reads the socket's monitor:
// every accepted connection is counted against the uid the kernel gives for
// it (SO_PEERCRED) until its disconnection, and one that is over its user's
// bound, or that would eat into the descriptors kept in reserve, has its
// reading side shut down, so that libzmq sees the end of the stream and
// closes it by itself. Used by ZmqIpcServer for its reply socket; any owner
// of a listening socket may attach it the same way.
#pragma once

#include "ev_common/ipc/ipc_endpoint.hpp"
#include "ev_common/system/unique_fd.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ev_common {

class ConnectionGuard {
public:
    // `label` starts the log lines ("Server ipc:///tmp/x.api"). Refusals are
    // logged at most once per `warningInterval`; those left out are counted
    // per uid and logged at the end of the interval.
    ConnectionGuard(std::string label, ConnectionLimits limits,
                    std::chrono::milliseconds warningInterval = std::chrono::seconds(10));
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // Takes effect at the next attach().
    void setLimits(ConnectionLimits limits);

    // Starts watching `socket`, before it binds, on the thread that owns the
    // socket. False, after logging why, when the monitor or the thread
    // cannot be had. One socket at a time.
    bool attach(void* socket);
    // Stops watching, before the socket is closed, on the same thread;
    // returns once the watching thread has ended. The counts start afresh
    // at the next attach (a closed socket takes its connections with it).
    void detach();
    bool attached() const { return watcher_ != nullptr; }

    // Connections refused since construction; any thread may ask.
    std::uint64_t refused() const { return refused_.load(); }
    // Connections of `uid` held now, as far as the monitor has told.
    std::size_t connectionsOf(uid_t uid) const;

private:
    struct Peer {
        uid_t uid;
        gid_t gid;
        pid_t pid;
    };

    void watch(void* monitor);
    bool readEvent(void* monitor, std::uint16_t& event, std::uint32_t& value);
    void accepted(int fd);
    void disconnected(int fd);
    void forget(int fd);
    // Drops the entries of `uid` whose descriptor no longer holds a
    // connection of that caller (a disconnection the monitor never told).
    void pruneStale(uid_t uid);
    std::optional<std::string> reasonToRefuse(int fd, const Peer& peer);
    bool nearDescriptorLimit(int fd, std::size_t& open, std::size_t& limit);
    void refuse(int fd, const Peer& peer, const std::string& reason);
    bool isExempt(const ConnectionLimits& limits, const Peer& peer);
    void flushSummary(std::chrono::steady_clock::time_point now);
    int pollTimeout(std::chrono::steady_clock::time_point now) const;

    std::string label_;
    ConnectionLimits limits_;
    std::chrono::milliseconds warningInterval_;
    std::string monitorEndpoint_;
    void* socket_ = nullptr;
    std::unique_ptr<std::thread> watcher_;
    std::atomic<bool> stopping_{false};
    UniqueFd wake_;  // eventfd: told to stop
    std::atomic<std::uint64_t> refused_{0};

    // Only the watching thread changes these while attached.
    mutable std::mutex mutex_;
    std::unordered_map<int, Peer> connections_;  // guarded by mutex_
    std::map<uid_t, std::size_t> perUid_;        // guarded by mutex_
    std::chrono::steady_clock::time_point nextWarning_{};
    std::map<uid_t, std::uint64_t> unreported_;
    // Every connection accepted and not yet disconnected, refused ones
    // included: they hold a descriptor until libzmq has closed them.
    std::unordered_set<int> open_;
    // Descriptors of the process besides those, at the last count.
    std::size_t otherDescriptors_ = 0;
    std::chrono::steady_clock::time_point lastCountAt_{};
    // Recent answers of the exemption check by uid and gid: it may read the
    // user database, too slow to ask once per connection of a flood.
    std::map<std::pair<uid_t, gid_t>, std::pair<bool, std::chrono::steady_clock::time_point>>
        exemptions_;
};

// Descriptors the process has open now (entries of /proc/self/fd, less the
// one used to read it); nothing when they cannot be counted.
std::optional<std::size_t> openDescriptorCount();

}  // namespace ev_common
