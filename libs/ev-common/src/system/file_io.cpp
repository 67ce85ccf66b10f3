#include "ev_common/system/file_io.hpp"

#include "ev_common/system/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace fs = std::filesystem;

namespace ev_common {

namespace {

// What mkostemp fills in at the end of a temporary's name.
constexpr std::size_t kRandomCharacters = 6;

std::error_code lastError() {
    return {errno, std::generic_category()};
}

std::error_code notARegularFile(mode_t mode) {
    return std::make_error_code(S_ISDIR(mode) ? std::errc::is_a_directory
                                              : std::errc::invalid_argument);
}

std::string temporaryTemplate(const fs::path& path) {
    return (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
}

AtomicWriteResult failure(const char* step, int error) {
    return {AtomicWriteResult::Status::failed, step, error};
}

bool writeAll(int fd, std::string_view content) {
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> readAll(int fd, std::error_code& error) {
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = lastError();
            return std::nullopt;
        }
        if (n == 0) return content;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

// 0 when the folder could be synced, else the errno and which step failed.
int syncFolder(const fs::path& folder, const char*& step) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        step = "open directory";
        return errno;
    }
    if (::fsync(fd.get()) != 0) {
        step = "sync directory";
        return errno;
    }
    return 0;
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

bool isLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

FileKind fileKind(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return FileKind::missing;
    return S_ISREG(status.st_mode) ? FileKind::regular : FileKind::other;
}

std::optional<std::string> readRegularFile(const fs::path& path, std::error_code& error,
                                           bool followLink) {
    error.clear();
    // The type is checked before the open, so that no device or FIFO is ever
    // opened (opening one is an action of its own), and again on the
    // descriptor, in case the entry changed in between: O_NONBLOCK makes such
    // an open return at once.
    struct stat status {};
    if ((followLink ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
        error = lastError();
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = notARegularFile(status.st_mode);
        return std::nullopt;
    }
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                               (followLink ? 0 : O_NOFOLLOW)));
    if (!fd || ::fstat(fd.get(), &status) != 0) {
        error = lastError();
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = notARegularFile(status.st_mode);
        return std::nullopt;
    }
    return readAll(fd.get(), error);
}

AtomicWriteResult writeFileAtomically(const fs::path& path, std::string_view content,
                                      const AtomicWriteOptions& options) {
    fs::path target = path;
    if (options.throughLink) {
        std::error_code error;
        if (fs::is_symlink(fs::symlink_status(path, error))) {
            const fs::path resolved = fs::canonical(path, error);
            if (!error) target = resolved;
        }
    }
    struct stat existing {};
    const bool exists = ::lstat(target.c_str(), &existing) == 0;
    const bool isLink = exists && S_ISLNK(existing.st_mode);
    if (exists && !isLink && !S_ISREG(existing.st_mode)) {
        return {AtomicWriteResult::Status::notRegular, {}, 0};
    }
    // What may not be written in place is not replaced either.
    if (exists && !isLink && ::access(target.c_str(), W_OK) != 0) {
        return {AtomicWriteResult::Status::cannotOpen, {}, errno};
    }
    mode_t mode = 0644;
    if (options.mode) {
        mode = *options.mode;
    } else if (exists && !isLink) {
        mode = existing.st_mode & 07777;
    }

    std::string temporary = temporaryTemplate(target);
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return {AtomicWriteResult::Status::cannotOpen, {}, errno};
    // Removes the temporary on every way out but a successful rename.
    struct Remover {
        std::string& name;
        ~Remover() {
            if (!name.empty()) ::unlink(name.c_str());
        }
    } remover{temporary};

    if (!writeAll(fd.get(), content)) return failure("write", errno);
    if (::fchmod(fd.get(), mode) != 0) return failure("chmod", errno);
    if (::fsync(fd.get()) != 0) return failure("sync", errno);
    if (!fd.close()) return failure("close", errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) return failure("rename", errno);
    temporary.clear();

    const char* step = "";
    if (const int error = syncFolder(folderOf(target), step); error != 0) {
        return {AtomicWriteResult::Status::notSynced, step, error};
    }
    return {};
}

bool replaceWithLinkAtomically(const fs::path& path, const std::string& target) {
    // mkostemp reserves a free name of the temporaries' pattern; the link
    // takes its place, then replaces the entry in one rename.
    std::string temporary = temporaryTemplate(path);
    if (!UniqueFd(::mkostemp(temporary.data(), O_CLOEXEC))) return false;
    if (::unlink(temporary.c_str()) != 0 || ::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The link stands; a failed sync only means it might not survive a power cut.
    const char* step = "";
    (void)syncFolder(folderOf(path), step);
    return true;
}

std::optional<std::string> atomicWriteTarget(std::string_view fileName) {
    // "." NAME "." and the random part, NAME not empty.
    if (fileName.size() < kRandomCharacters + 3 || fileName.front() != '.') return std::nullopt;
    const std::size_t randomAt = fileName.size() - kRandomCharacters;
    if (fileName[randomAt - 1] != '.') return std::nullopt;
    for (std::size_t i = randomAt; i < fileName.size(); ++i) {
        if (!isLetterOrDigit(fileName[i])) return std::nullopt;
    }
    return std::string(fileName.substr(1, randomAt - 2));
}

}  // namespace ev_common
