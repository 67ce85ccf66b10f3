#include "folder_snapshot.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "temp_dir.hpp"

namespace fs = std::filesystem;

namespace ev_test {

FolderSnapshot snapshotFolder(const fs::path& folder) {
    FolderSnapshot snapshot;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path path = it->path();
        struct stat own {};
        std::string description = "other";
        if (::lstat(path.c_str(), &own) != 0) {
            description = "vanished";
        } else if (S_ISLNK(own.st_mode)) {
            description = "link -> " + fs::read_symlink(path, ec).string();
        } else if (S_ISREG(own.st_mode)) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(own.st_mode & 07777));
            description = std::string("file ") + mode + " " + readFile(path);
        } else if (S_ISDIR(own.st_mode)) {
            description = "directory";
        } else if (S_ISFIFO(own.st_mode)) {
            description = "fifo";
        } else if (S_ISSOCK(own.st_mode)) {
            description = "socket";
        }
        snapshot[path.filename().string()] = description;
    }
    return snapshot;
}

}  // namespace ev_test
