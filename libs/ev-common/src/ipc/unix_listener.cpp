#include "unix_listener.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace ev_common {

namespace {

// libzmq's own listen backlog for ipc endpoints.
constexpr int kBacklog = 100;

// The address of `path`; false (errno ENAMETOOLONG) when it does not fit.
bool unixAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

enum class Probe { live, stale, absent, unknown };

// Whether a server listens on the socket at `path`. Never blocks: a full
// backlog answers EAGAIN, which means someone listens.
Probe probe(const std::string& path) {
    sockaddr_un address;
    if (!unixAddress(path, address)) return Probe::unknown;
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return Probe::unknown;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    const int error = rc == 0 ? 0 : errno;
    switch (error) {
        case 0:
        case EAGAIN:
        case EINPROGRESS:
            return Probe::live;
        case ECONNREFUSED:
            return Probe::stale;
        case ENOENT:
            return Probe::absent;
        default:
            // EACCES: not ours to write to, so someone else's socket.
            return Probe::unknown;
    }
}

}  // namespace

UnixListener::UnixListener(std::string endpoint, std::string path, IpcEndpointAccess access,
                           const std::string& role)
    : endpoint_(std::move(endpoint)),
      path_(std::move(path)),
      access_(std::move(access)),
      label_(role + " " + endpoint_) {}

UnixListener::~UnixListener() {
    release();
}

bool UnixListener::open() {
    if (!lock()) return false;
    if (adopt()) return true;
    return clearPath() && bindSocket();
}

bool UnixListener::refresh() {
    if (adopted_ >= 0 || stillOurs()) return true;
    closeSocket();
    return clearPath() && bindSocket();
}

int UnixListener::duplicate() {
    const int fd = ::fcntl(listening(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        spdlog::error("{}: unable to create socket : {}", label_, std::strerror(errno));
    }
    return fd;
}

void UnixListener::release() {
    discardSocket();
    // The descriptors systemd passed belong to the process: a server started
    // again finds its socket there once more.
    adopted_ = -1;
    lock_.reset();
}

// Another process holding the lock is another server of this endpoint. The
// lock lives where only the server's user may write, so nobody else can
// hold it to keep the server out.
bool UnixListener::lock() {
    if (access_.lockFile.empty()) return true;
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    UniqueFd fd(::open(access_.lockFile.c_str(), flags, 0600));
    if (!fd && errno == ENOENT) {
        // The lock's own folder, one level, e.g. /run/<daemon> outside systemd.
        const auto folder = std::filesystem::path(access_.lockFile).parent_path();
        if (!folder.empty() && ::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            spdlog::error("{}: unable to lock {} : {}", label_, access_.lockFile,
                          std::strerror(errno));
            return false;
        }
        fd.reset(::open(access_.lockFile.c_str(), flags, 0600));
    }
    if (!fd) {
        spdlog::error("{}: unable to lock {} : {}", label_, access_.lockFile, std::strerror(errno));
        return false;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        spdlog::error("{}: unable to lock {} : not a regular file", label_, access_.lockFile);
        return false;
    }
    // Whoever made the file may hold it: only this user's own will do.
    if (status.st_uid != ::geteuid()) {
        spdlog::error("{}: unable to lock {} : owned by uid {}", label_, access_.lockFile,
                      status.st_uid);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            spdlog::critical("{}: endpoint is served by another process", label_);
        } else {
            spdlog::error("{}: unable to lock {} : {}", label_, access_.lockFile,
                          std::strerror(errno));
        }
        return false;
    }
    lock_ = std::move(fd);
    return true;
}

// A listening stream socket that systemd passed for exactly this path. Its
// file, mode and group are systemd's: never changed, never removed here.
bool UnixListener::adopt() {
    const int count = sd_listen_fds(0);
    for (int fd = SD_LISTEN_FDS_START; count > 0 && fd < SD_LISTEN_FDS_START + count; ++fd) {
        if (sd_is_socket_unix(fd, SOCK_STREAM, 1, path_.c_str(), 0) > 0) {
            adopted_ = fd;
            spdlog::info("{}: using the listening socket passed by systemd", label_);
            return true;
        }
    }
    return false;
}

// Makes way for a new socket at the path. A live socket of this user or of
// root is another server: the start is refused. A live socket of any other
// user is an impostor waiting for clients, a dead one is left by a crash,
// anything else has no business at the endpoint: all are removed.
bool UnixListener::clearPath() {
    struct stat status {};
    if (::lstat(path_.c_str(), &status) != 0) {
        if (errno == ENOENT) return true;
        spdlog::error("{}: unable to examine {} : {}", label_, path_, std::strerror(errno));
        return false;
    }
    if (!S_ISSOCK(status.st_mode)) {
        spdlog::error("{}: {} is not a socket, removed", label_, path_);
    } else {
        const Probe state = probe(path_);
        if (state == Probe::absent) return true;
        const bool trusted = status.st_uid == ::geteuid() || status.st_uid == 0;
        if (state == Probe::stale) {
            spdlog::warn("{}: stale socket {} removed", label_, path_);
        } else if (trusted) {
            spdlog::critical("{}: endpoint is served by another process", label_);
            return false;
        } else {
            spdlog::error("{}: socket {} owned by uid {} is an impostor, removed", label_, path_,
                          status.st_uid);
        }
    }
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        spdlog::error("{}: unable to remove {} : {}", label_, path_, std::strerror(errno));
        return false;
    }
    return true;
}

// The file gets its mode through the umask at bind time, so it is never
// wider open than configured, not even for a moment. The umask is the
// process's: it is only ever tightened here, and restored right after.
bool UnixListener::bindSocket() {
    sockaddr_un address;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        spdlog::error("{}: unable to create socket : {}", label_, std::strerror(errno));
        return false;
    }
    int rc = -1;
    int error = 0;
    if (unixAddress(path_, address)) {
        const mode_t previous = ::umask(0777);
        ::umask(previous | (~access_.mode & 0777));
        rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        error = errno;
        ::umask(previous);
        if (rc == 0) {
            rc = ::listen(fd.get(), kBacklog);
            error = errno;
        }
    } else {
        error = errno;
    }
    if (rc != 0) {
        spdlog::error("{}: unable to bind {} : {}", label_, endpoint_, std::strerror(error));
        return false;
    }
    bound_socket_ = std::move(fd);
    struct stat status {};
    if (::lstat(path_.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        spdlog::error("{}: unable to bind {} : {}", label_, endpoint_, "the socket file is gone");
        closeSocket();
        return false;
    }
    bound_ = true;
    device_ = status.st_dev;
    inode_ = status.st_ino;
    if (access_.group && ::lchown(path_.c_str(), static_cast<uid_t>(-1), *access_.group) != 0) {
        spdlog::error("{}: unable to give {} to group {} : {}", label_, path_, *access_.group,
                      std::strerror(errno));
        discardSocket();
        return false;
    }
    // Exactly the configured mode: the umask may have taken more than asked.
    if (::chmod(path_.c_str(), access_.mode & 07777) != 0) {
        spdlog::error("{}: unable to set the mode of {} : {}", label_, path_, std::strerror(errno));
        discardSocket();
        return false;
    }
    return true;
}

bool UnixListener::stillOurs() const {
    if (!bound_) return false;
    struct stat status {};
    return ::lstat(path_.c_str(), &status) == 0 && status.st_dev == device_ &&
           status.st_ino == inode_;
}

void UnixListener::discardSocket() {
    if (bound_ && stillOurs()) {
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
            spdlog::error("{}: unable to remove {} : {}", label_, path_, std::strerror(errno));
        }
    } else if (bound_) {
        spdlog::warn("{}: {} is no longer the socket of this server, left in place", label_, path_);
    }
    closeSocket();
}

void UnixListener::closeSocket() {
    bound_socket_.reset();
    bound_ = false;
}

}  // namespace ev_common
