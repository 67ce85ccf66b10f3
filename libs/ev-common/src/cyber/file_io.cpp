#include "file_io.hpp"

#include "ev_common/system/file_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace fs = std::filesystem;

namespace ev_common::file_io {

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
    auto content = readRegularFile(path, error, /*followLink=*/false);
    if (!content) return std::nullopt;
    entry.kind = SavedEntry::Kind::file;
    entry.content = std::move(*content);
    entry.mode = own.st_mode & 07777;
    return entry;
}

bool restoreEntry(const fs::path& path, const SavedEntry& entry) {
    switch (entry.kind) {
        case SavedEntry::Kind::missing:
            return ::unlink(path.c_str()) == 0 || errno == ENOENT;
        case SavedEntry::Kind::file: {
            AtomicWriteOptions options;
            options.mode = entry.mode;
            return writeFileAtomically(path, entry.content, options).ok();
        }
        case SavedEntry::Kind::link:
            return replaceWithLinkAtomically(path, entry.content);
    }
    return false;
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool isTemporaryName(const std::string& fileName, const std::string& extension) {
    const auto target = atomicWriteTarget(fileName);
    if (!target || target->size() <= extension.size() ||
        target->compare(target->size() - extension.size(), extension.size(), extension) != 0) {
        return false;
    }
    return std::all_of(target->begin(), target->end() - static_cast<long>(extension.size()),
                       isNameCharacter);
}

}  // namespace ev_common::file_io
