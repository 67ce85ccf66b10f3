#include "ev_common/config/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace ev_common {
namespace {

namespace fs = std::filesystem;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Removes the temporary file on every way out except a successful rename.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

std::atomic<unsigned> temporaryCounter{0};

FileReplaceResult failure(const char* step, int error) {
    return {FileReplaceResult::Status::failed, step, error};
}

FileReplaceResult cannotOpen() {
    return {FileReplaceResult::Status::cannotOpen, {}, 0};
}

bool writeAll(int fd, const std::string& content) {
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

fs::path resolveTarget(const std::string& path) {
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(path, error))) {
        fs::path resolved = fs::canonical(path, error);
        if (!error) return resolved;
    }
    return fs::path(path);
}

}  // namespace

FileReplaceResult replaceFileAtomically(const std::string& path, const std::string& content) {
    const fs::path target = resolveTarget(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    // Only a regular file is ever replaced: renaming over a device, FIFO or
    // socket would swap the node itself out (think of /dev/null).
    if (exists && !S_ISREG(existing.st_mode)) return {FileReplaceResult::Status::notRegular, {}, 0};
    // What could not be opened for writing in place is not replaced either.
    if (exists && ::access(target.c_str(), W_OK) != 0) return cannotOpen();

    fs::path directory = target.parent_path();
    if (directory.empty()) directory = ".";
    const std::string prefix =
        "." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-";
    UniqueFd fd;
    std::string temporaryPath;
    for (int attempt = 0; attempt < 100 && fd.get() < 0; ++attempt) {
        temporaryPath = (directory / (prefix + std::to_string(temporaryCounter++))).string();
        fd.reset(::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno != EEXIST) return cannotOpen();
    }
    if (fd.get() < 0) return cannotOpen();
    TemporaryFile temporary(temporaryPath);

    if (exists && ::fchmod(fd.get(), existing.st_mode & 07777) != 0) {
        // The mode is a courtesy; the content is what must not be lost.
    }
    if (!writeAll(fd.get(), content)) return failure("write", errno);
    if (::fsync(fd.get()) != 0) return failure("sync", errno);
    if (::close(fd.release()) != 0) return failure("close", errno);
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) return failure("rename", errno);
    temporary.keep();

    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return failure("open directory", errno);
    if (::fsync(dir.get()) != 0) return failure("sync directory", errno);
    return {FileReplaceResult::Status::replaced, {}, 0};
}

}  // namespace ev_common
