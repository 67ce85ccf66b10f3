// Reading and writing whole files so that outside input can neither block
// nor corrupt us: only regular files are read (a FIFO or a device is refused
// without being opened for a blocking read), and a file is replaced
// atomically, so that a crash, a power cut or a full disk leaves the old
// content or the whole new one, never a mix. Used by the configuration file,
// the CA store and the certificate reader.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace ev_common {

enum class FileKind { missing, regular, other };

// What is at `path`, following symbolic links. `missing` also stands for a
// path that cannot be examined (a folder on the way that may not be searched,
// a dangling link): opening it would fail the same way.
FileKind fileKind(const std::filesystem::path& path);

// The whole content of the regular file at `path`, or nothing with the
// reason in `error` (is_a_directory, invalid_argument for another kind of
// node, or the system's error). The type is checked before the open and
// again on the descriptor; with `followLink` false a symbolic link at `path`
// itself is refused too.
std::optional<std::string> readRegularFile(const std::filesystem::path& path,
                                           std::error_code& error, bool followLink = true);

struct AtomicWriteOptions {
    // Permission bits of the new file; empty keeps those of the file it
    // replaces, 0644 for a new one.
    std::optional<mode_t> mode;
    // A symbolic link at the path is written through to its target (the
    // configuration file may be one); otherwise the link itself is replaced
    // by the new file and nothing is written through it.
    bool throughLink = false;
};

struct AtomicWriteResult {
    enum class Status {
        written,
        // Nothing was touched: the folder is missing, or an existing file
        // may not be written.
        cannotOpen,
        // A directory, device, FIFO or socket stands at the path; it was left
        // alone (renaming over /dev/null would replace the node itself).
        notRegular,
        // A step failed before the rename (`step`, `error` say which and
        // why); the old entry is untouched and no temporary is left.
        failed,
        // The new content is in place, but the folder could not be synced:
        // it may not survive a power cut.
        notSynced,
    };
    Status status = Status::written;
    std::string step;
    int error = 0;

    bool ok() const { return status == Status::written; }
};

// Writes `content` to a temporary file beside the target (".NAME.XXXXXX",
// six letters or digits at the end), syncs it, renames it over the target and
// syncs the folder.
AtomicWriteResult writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                                      const AtomicWriteOptions& options = {});

// Replaces whatever stands at `path` (not a directory) by a symbolic link to
// `target`, in one rename; false when that failed and nothing changed.
bool replaceWithLinkAtomically(const std::filesystem::path& path, const std::string& target);

// The name of the file a temporary of writeFileAtomically was meant to
// become, for a file name of that form (".NAME.XXXXXX", which a crash may
// leave behind); nothing for any other name.
std::optional<std::string> atomicWriteTarget(std::string_view fileName);

}  // namespace ev_common
