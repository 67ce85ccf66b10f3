#include "unix_listener.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace ev_common {

namespace {

// libzmq's own listen backlog for ipc endpoints.
constexpr int kBacklog = 100;
// Fresh names tried before giving up on one that is free.
constexpr int kNameAttempts = 8;
// Moves tried while whatever is at the path keeps changing under the claim.
constexpr int kMoveAttempts = 16;

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

// Letters and digits from the kernel's generator; empty (errno set) when
// there is none to be had.
std::string randomText(std::size_t length) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[32];
    if (length > sizeof bytes) length = sizeof bytes;
    ssize_t got;
    do {
        // Never waits for the pool at early boot: /dev/urandom does not either.
        got = ::getrandom(bytes, length, GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(length)) {
        const UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
        if (!fd || ::read(fd.get(), bytes, length) != static_cast<ssize_t>(length)) return {};
    }
    std::string text(length, '0');
    for (std::size_t i = 0; i < length; ++i) text[i] = kAlphabet[bytes[i] % 36];
    return text;
}

// What a file of `mode` is, as the log lines name it.
const char* kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "regular file";
    if (S_ISDIR(mode)) return "folder";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    return "file";
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
    return claimPath();
}

bool UnixListener::refresh() {
    if (adopted_ >= 0 || stillOurs()) return true;
    closeSocket();
    return claimPath();
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
    std::string folder = std::filesystem::path(access_.lockFile).parent_path().string();
    if (!lockFolderIsOwn(folder.empty() ? "." : folder)) return false;
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    UniqueFd fd(::open(access_.lockFile.c_str(), flags, 0600));
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

// Anybody who may write the lock's folder could put a lock of their own
// there, held to keep the server out, or a link in its place: the folder must
// be this user's and nobody else's to write. One that is missing (e.g.
// /run/<daemon> outside systemd, /tmp/<daemon>-<uid>) is made so.
bool UnixListener::lockFolderIsOwn(const std::string& folder) {
    const uid_t user = ::geteuid();
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 && errno == ENOENT &&
        ::mkdir(folder.c_str(), user == 0 ? 0755 : 0700) != 0 && errno != EEXIST) {
        spdlog::error("{}: unable to lock {} : {}", label_, access_.lockFile, std::strerror(errno));
        return false;
    }
    if (::lstat(folder.c_str(), &status) != 0) {
        spdlog::error("{}: unable to lock {} : {}", label_, access_.lockFile, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != user || (status.st_mode & 022) != 0) {
        spdlog::critical(
            "{}: unable to lock {} : the folder {} (uid {}, mode {:04o}) must belong to uid {} "
            "and be writable by nobody else",
            label_, access_.lockFile, folder, status.st_uid, status.st_mode & 07777, user);
        return false;
    }
    return true;
}

// A listening stream socket that systemd passed for exactly this path, found
// by its path whatever the order systemd passed the sockets in. Its file,
// mode and group are systemd's: never changed, never removed here.
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

// Binds beside the path and renames the socket into place: there is never a
// moment without a socket at the path that somebody else could bind.
bool UnixListener::claimPath() {
    if (servedByAnother()) return false;
    const std::string name = bindBeside();
    if (name.empty()) return false;
    if (giveModeAndGroup(name) && moveIntoPlace(name)) {
        bound_ = true;
        return true;
    }
    struct stat status {};
    if (::lstat(name.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_)
        ::unlink(name.c_str());
    closeSocket();
    return false;
}

// A live socket of this user or of root at the path is another server of the
// endpoint (or one that cannot be told apart from one).
bool UnixListener::servedByAnother() {
    struct stat status {};
    if (::lstat(path_.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
    if (status.st_uid != ::geteuid() && status.st_uid != 0) return false;
    const Probe state = probe(path_);
    if (state != Probe::live && state != Probe::unknown) return false;
    spdlog::critical("{}: endpoint is served by another process", label_);
    return true;
}

// A new listening socket under a fresh, unpredictable name in the path's own
// folder (a rename cannot cross file systems). Its mode comes from the umask
// at bind time, so the file is never wider open than configured, not even for
// a moment, and owner-only until its group is given. The umask is the
// process's: it is only ever tightened here, and restored right after.
// Empty, after logging why, when none could be bound.
std::string UnixListener::bindBeside() {
    sockaddr_un address;
    if (!unixAddress(path_, address)) {
        spdlog::error("{}: unable to bind {} : {}", label_, endpoint_, std::strerror(errno));
        return {};
    }
    const std::filesystem::path target(path_);
    const std::string folder = target.parent_path().string();
    const std::string prefix = (folder.empty() ? "" : folder + "/") + ".";
    const mode_t mode = access_.group ? access_.mode & ~mode_t{070} : access_.mode;
    int error = EADDRINUSE;
    for (int attempt = 0; attempt < kNameAttempts && error == EADDRINUSE; ++attempt) {
        const std::string random = randomText(12);
        if (random.empty()) {
            error = errno;
            break;
        }
        std::string name = prefix + target.filename().string() + "." + random;
        if (!unixAddress(name, address)) name = prefix + random;
        if (!unixAddress(name, address)) {
            error = errno;
            break;
        }
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd) {
            spdlog::error("{}: unable to create socket : {}", label_, std::strerror(errno));
            return {};
        }
        const mode_t previous = ::umask(0777);
        ::umask(previous | (~mode & 0777));
        int rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        error = errno;
        ::umask(previous);
        if (rc != 0) continue;
        struct stat status {};
        rc = ::listen(fd.get(), kBacklog);
        error = errno;
        if (rc == 0 && ::lstat(name.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
            device_ = status.st_dev;
            inode_ = status.st_ino;
            bound_socket_ = std::move(fd);
            return name;
        }
        if (rc == 0) error = ENOENT;
        ::unlink(name.c_str());
        break;
    }
    spdlog::error("{}: unable to bind {} : {}", label_, endpoint_, std::strerror(error));
    return {};
}

// Gives the new socket file its group and exactly its mode (the umask may
// have taken more than asked) while it is not at the path yet. A server that
// may not change the group (no CAP_CHOWN, chown calls filtered) serves
// anyway, owner-only: widening the mode instead would admit whatever group
// the file has now.
bool UnixListener::giveModeAndGroup(const std::string& name) {
    mode_t mode = access_.mode & 07777;
    struct stat status {};
    if (access_.group && ::lstat(name.c_str(), &status) == 0 && status.st_gid != *access_.group &&
        ::lchown(name.c_str(), static_cast<uid_t>(-1), *access_.group) != 0) {
        if (errno != EPERM) {
            spdlog::error("{}: unable to give {} to group {} : {}", label_, path_, *access_.group,
                          std::strerror(errno));
            return false;
        }
        mode &= ~mode_t{070};
        spdlog::warn(
            "{}: not permitted to give {} to group {} ({}): members of the group cannot "
            "connect, the socket file keeps mode {:04o}",
            label_, path_, *access_.group, std::strerror(errno), mode);
    }
    if (::chmod(name.c_str(), mode) != 0) {
        spdlog::error("{}: unable to set the mode of {} : {}", label_, path_, std::strerror(errno));
        return false;
    }
    return true;
}

// Renames the socket at `name` onto the path without ever replacing an entry
// unseen: onto a free path, or in exchange for whatever is there, which then
// sits at `name` to be dealt with. Something that keeps reappearing or
// vanishing is tried again a bounded number of times.
bool UnixListener::moveIntoPlace(const std::string& name) {
    const char* from = name.c_str();
    const char* to = path_.c_str();
    for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
        int error = errno;
        if (error == EINVAL || error == ENOSYS) {
            // A file system without the flag: a new link never replaces either.
            if (::link(from, to) == 0) {
                ::unlink(from);
                return true;
            }
            error = errno;
        }
        if (error != EEXIST) {
            spdlog::error("{}: unable to bind {} : {}", label_, endpoint_, std::strerror(error));
            return false;
        }
        if (servedByAnother()) return false;
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
            if (disposeOf(name) != Outcome::served) return true;
            // Another server bound the path since it was looked at: it keeps it.
            if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) != 0) {
                spdlog::error("{}: unable to give {} back to its server : {}", label_, path_,
                              std::strerror(errno));
            }
            spdlog::critical("{}: endpoint is served by another process", label_);
            return false;
        }
        error = errno;
        if (error == ENOENT) continue;  // gone meanwhile
        if (error == EINVAL || error == ENOSYS) {
            // No exchange on this file system: out of the way first.
            const Outcome outcome = disposeOf(path_);
            if (outcome == Outcome::done) continue;
            if (outcome == Outcome::served)
                spdlog::critical("{}: endpoint is served by another process", label_);
            return false;
        }
        spdlog::error("{}: unable to set aside {} : {}", label_, path_, std::strerror(error));
        return false;
    }
    spdlog::error("{}: unable to bind {} : {} kept changing, {} attempts", label_, endpoint_, path_,
                  kMoveAttempts);
    return false;
}

// Deals with what was found at the path and is now at `at`: a stale socket of
// this user is left by a crash and removed; anything else is somebody's and
// set aside under a name beside the path that says so, never removed. A live
// socket of this user or of root is another server's: `served`, untouched.
UnixListener::Outcome UnixListener::disposeOf(const std::string& at) {
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0) {
        if (errno == ENOENT) return Outcome::done;
        spdlog::error("{}: unable to examine {} : {}", label_, path_, std::strerror(errno));
        return Outcome::failed;
    }
    std::string kind = kindOf(status.st_mode);
    if (S_ISSOCK(status.st_mode)) {
        const Probe state = probe(at);
        const bool trusted = status.st_uid == ::geteuid() || status.st_uid == 0;
        if (state == Probe::absent) return Outcome::done;
        if (state == Probe::stale && status.st_uid == ::geteuid()) {
            if (::unlink(at.c_str()) != 0 && errno != ENOENT) {
                spdlog::error("{}: unable to remove {} : {}", label_, path_, std::strerror(errno));
                return Outcome::failed;
            }
            spdlog::warn("{}: stale socket {} removed", label_, path_);
            return Outcome::done;
        }
        if (state == Probe::stale) {
            kind = "stale socket";
        } else if (trusted) {
            return Outcome::served;
        } else {
            spdlog::error("{}: socket {} owned by uid {} is an impostor, removed", label_, path_,
                          status.st_uid);
            if (state == Probe::live) kind = "live socket";
        }
    }
    int error = 0;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string random = randomText(8);
        if (random.empty()) {
            error = errno;
            break;
        }
        const std::string aside = path_ + ".set-aside." + random;
        int rc = ::renameat2(AT_FDCWD, at.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        // An unpredictable name nobody can have taken, where the flag is unknown.
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS))
            rc = ::rename(at.c_str(), aside.c_str());
        error = errno;
        if (rc == 0) {
            spdlog::warn("{}: {} owned by uid {} found at {}, set aside as {}", label_, kind,
                         status.st_uid, path_, aside);
            return Outcome::done;
        }
        if (error != EEXIST) break;
    }
    spdlog::error("{}: unable to set aside {} owned by uid {} found at {}, left as {} : {}", label_,
                  kind, status.st_uid, path_, at, std::strerror(error));
    return Outcome::failed;
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
