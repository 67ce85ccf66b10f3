// The listening Unix socket behind a ZmqIpcServer's ipc:// endpoint on a file
// path. The server claims the path for itself alone: a lock file held while
// it serves, no start over a live socket of another server. The socket is
// the one systemd passed (socket activation) or one bound here under a fresh
// name beside the path, given its mode and group, and renamed into place in
// one step, so the path is never free for somebody else to bind; whatever
// was there is set aside under a name that says so (a stale socket of this
// user is removed). libzmq only gets duplicates (ZMQ_USE_FD), so it never
// binds, replaces or unlinks the file itself. On release the file is removed
// only while it is still the one bound here.
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "ev_common/system/unique_fd.hpp"

#include <sys/types.h>

#include <string>

namespace ev_common {

class UnixListener {
public:
    // `role` and `endpoint` label the log lines ("Server ipc://...");
    // `path` is the file part of the endpoint.
    UnixListener(std::string endpoint, std::string path, IpcEndpointAccess access,
                 const std::string& role = "Server");
    ~UnixListener();
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;

    // Takes the lock, then adopts systemd's socket for the path or binds a
    // new one. False, after logging why, when the endpoint is not to be had.
    bool open();
    // Binds afresh when the path no longer holds this listener's socket
    // (removed, replaced); an adopted socket is kept as it is.
    bool refresh();
    // A new descriptor of the listening socket for ZMQ_USE_FD; its new owner
    // closes it. -1 after logging why.
    int duplicate();
    // Removes the socket file if it is still this listener's, closes the
    // socket (an adopted one stays open for a later start) and the lock.
    void release();

private:
    enum class Outcome { done, served, failed };

    bool lock();
    bool lockFolderIsOwn(const std::string& folder);
    bool adopt();
    bool claimPath();
    bool servedByAnother();
    std::string bindBeside();
    bool giveModeAndGroup(const std::string& name);
    bool moveIntoPlace(const std::string& name);
    Outcome disposeOf(const std::string& at);
    bool stillOurs() const;
    // Removes the file while it is still this listener's, then closes.
    void discardSocket();
    void closeSocket();
    int listening() const { return adopted_ >= 0 ? adopted_ : bound_socket_.get(); }

    std::string endpoint_;
    std::string path_;
    IpcEndpointAccess access_;
    std::string label_;
    UniqueFd lock_;
    // A socket bound here, or the one systemd passed, which belongs to the
    // process and is never closed.
    UniqueFd bound_socket_;
    int adopted_ = -1;
    // The file bind() created, as recorded right after; `bound_` once it is
    // at the path.
    bool bound_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace ev_common
