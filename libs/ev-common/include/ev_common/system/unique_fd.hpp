// Owns one file descriptor and closes it when it goes, so that no way out of
// a function leaks one. Used wherever ev_common holds a descriptor: files,
// pipes of the process runner, folder handles for syncing.
#pragma once

#include <unistd.h>

#include <utility>

namespace ev_common {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes the descriptor now and says whether close succeeded, for writers
    // that must know their data reached the file system.
    bool close() { return fd_ < 0 || ::close(release()) == 0; }

private:
    int fd_ = -1;
};

// The two ends of a new pipe (pipe2 with `flags`); both invalid on failure.
struct Pipe {
    UniqueFd read;
    UniqueFd write;
};
Pipe makePipe(int flags);

}  // namespace ev_common
