// Replaces a file's whole content so that a crash, power cut or full disk at
// any point leaves either the old file or the new one, never a truncated mix.
// Used by the configuration provider to save the configuration file.
#pragma once

#include <string>

namespace ev_common {

struct FileReplaceResult {
    enum class Status {
        replaced,
        // The file could not be opened for writing (a missing directory or a
        // read-only file at the path); nothing was touched.
        cannotOpen,
        // Something other than a regular file (a directory, device, FIFO or
        // socket) is at the path, or at the end of its symbolic link; it was
        // left alone.
        notRegular,
        // A later step failed; `step` and `error` (an errno value) say which
        // and why. The old file is untouched unless the step was the final
        // sync of the directory, after the new file was already in place.
        failed,
    };
    Status status;
    std::string step;
    int error = 0;
};

// Writes `content` to a temporary file beside `path`, syncs it, renames it
// over `path` and syncs the directory. The old file's permission bits are
// kept; a symbolic link at `path` is written through to its target. Only a
// regular file is replaced.
FileReplaceResult replaceFileAtomically(const std::string& path, const std::string& content);

}  // namespace ev_common
