#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace fs = std::filesystem;

namespace ev_common::file_io {

namespace {

constexpr std::size_t kRandomCharacters = 6;

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}

std::error_code notARegularFile(mode_t mode) {
    return std::make_error_code(S_ISDIR(mode) ? std::errc::is_a_directory
                                              : std::errc::invalid_argument);
}

// What mkostemp fills in: ".NAME.crt.XXXXXX" beside the target. The name
// never ends in ".crt", so the update tool never takes a temporary up.
std::string temporaryTemplate(const fs::path& path) {
    return (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
}

bool syncFolderOf(const fs::path& path) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

bool writeAll(int fd, const std::string& content) {
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
    char buffer[8192];
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

bool writeLink(const fs::path& path, const std::string& target) {
    // mkostemp reserves a free name of the store's pattern; the link takes
    // its place, then replaces the entry in one rename.
    std::string temporary = temporaryTemplate(path);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    if (::unlink(temporary.c_str()) != 0 || ::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The link stands; a failed sync only means it might not survive a power cut.
    (void)syncFolderOf(path);
    return true;
}

}  // namespace

std::optional<std::string> readRegularFile(const fs::path& path, bool followLink,
                                           std::error_code& error) {
    error.clear();
    // The type is checked before the open, so that no device is ever opened,
    // and again on the descriptor, in case the entry changed in between.
    struct stat status {};
    if ((followLink ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
        error = lastError();
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = notARegularFile(status.st_mode);
        return std::nullopt;
    }
    const UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        error = lastError();
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = notARegularFile(status.st_mode);
        return std::nullopt;
    }
    return readAll(fd.get(), error);
}

std::optional<SavedEntry> saveEntry(const fs::path& path, std::error_code& error) {
    error.clear();
    struct stat own {};
    if (::lstat(path.c_str(), &own) != 0) {
        const int code = errno;
        error = {code, std::generic_category()};
        if (code == ENOENT) return SavedEntry{};
        return std::nullopt;
    }
    SavedEntry entry;
    if (S_ISLNK(own.st_mode)) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) return std::nullopt;
        entry.kind = SavedEntry::Kind::link;
        entry.content = target.string();
        return entry;
    }
    auto content = readRegularFile(path, false, error);
    if (!content) return std::nullopt;
    entry.kind = SavedEntry::Kind::file;
    entry.content = std::move(*content);
    entry.mode = own.st_mode & 07777;
    return entry;
}

WriteOutcome writeFile(const fs::path& path, const std::string& content, mode_t mode) {
    std::string temporary = temporaryTemplate(path);
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return WriteOutcome::failedUntouched;
    bool ok =
        writeAll(fd.get(), content) && ::fchmod(fd.get(), mode) == 0 && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return WriteOutcome::failedUntouched;
    }
    return syncFolderOf(path) ? WriteOutcome::written : WriteOutcome::failedAfterRename;
}

bool restoreEntry(const fs::path& path, const SavedEntry& entry) {
    switch (entry.kind) {
        case SavedEntry::Kind::missing:
            return ::unlink(path.c_str()) == 0 || errno == ENOENT;
        case SavedEntry::Kind::file:
            return writeFile(path, entry.content, entry.mode) == WriteOutcome::written;
        case SavedEntry::Kind::link:
            return writeLink(path, entry.content);
    }
    return false;
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool isTemporaryName(const std::string& fileName, const std::string& extension) {
    // "." NAME extension "." and the random part, NAME not empty.
    if (fileName.size() < extension.size() + kRandomCharacters + 3 || fileName.front() != '.') {
        return false;
    }
    const std::size_t randomAt = fileName.size() - kRandomCharacters;
    const std::size_t extensionAt = randomAt - 1 - extension.size();
    if (fileName[randomAt - 1] != '.' ||
        fileName.compare(extensionAt, extension.size(), extension) != 0) {
        return false;
    }
    for (std::size_t i = randomAt; i < fileName.size(); ++i) {
        const char c = fileName[i];
        if (!isNameCharacter(c) || c == '_' || c == '-') return false;
    }
    for (std::size_t i = 1; i < extensionAt; ++i) {
        if (!isNameCharacter(fileName[i])) return false;
    }
    return true;
}

}  // namespace ev_common::file_io
