#include "ev_common/config/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ev_common {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

PathKind pathKind(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return PathKind::missing;
    return S_ISREG(status.st_mode) ? PathKind::regular : PathKind::other;
}

RegularFileText readRegularFile(const std::string& path) {
    // Checked before opening: opening a FIFO or a device is itself an action
    // (a FIFO blocks until a writer comes, a device may do anything).
    switch (pathKind(path)) {
        case PathKind::missing:
            return {RegularFileText::Status::cannotOpen, {}};
        case PathKind::other:
            return {RegularFileText::Status::notRegular, {}};
        case PathKind::regular:
            break;
    }
    // O_NONBLOCK: should a FIFO have been swapped in since the check, the open
    // returns at once and the fstat below refuses it. Symbolic links are
    // followed on purpose; what counts is what the descriptor reaches.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return {RegularFileText::Status::cannotOpen, {}};
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return {RegularFileText::Status::cannotOpen, {}};
    if (!S_ISREG(status.st_mode)) return {RegularFileText::Status::notRegular, {}};

    RegularFileText result{RegularFileText::Status::read, {}};
    if (status.st_size > 0) result.text.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {RegularFileText::Status::cannotOpen, {}};
        if (n == 0) break;
        result.text.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

}  // namespace ev_common
