// File work of the certificate code in plain system calls, so that nothing
// blocks on a FIFO, follows a link it must not, or throws: reading regular
// files only, keeping what stands at a path of the user folder to put it back
// after a failed change, and atomic writes through temporary files whose
// names the store recognises as its own.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace ev_common::file_io {

// The whole content of the regular file at `path`; nothing, with the reason
// in `error`, for anything else or a failed read. The open never waits (a
// FIFO answers at once and is refused); with `followLink` false a symbolic
// link at `path` itself is refused too.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, bool followLink,
                                           std::error_code& error);

// What stood at a path before a change: nothing, a regular file (its bytes
// and permission bits) or a symbolic link (its target, as written).
struct SavedEntry {
    enum class Kind { missing, file, link };
    Kind kind = Kind::missing;
    std::string content;
    mode_t mode = 0644;
};

// Takes what stands at `path` without following a link; nothing, with the
// reason in `error`, for a directory, FIFO, socket or device, or an entry
// that cannot be read. A missing entry comes with `error` saying so.
std::optional<SavedEntry> saveEntry(const std::filesystem::path& path, std::error_code& error);

enum class WriteOutcome { written, failedUntouched, failedAfterRename };

// Makes `path` a regular file holding `content` with permission bits `mode`,
// so that it holds either its old entry or the whole new file, never a part,
// even across a power cut. failedAfterRename: the new file stands, but the
// folder could not be synced.
WriteOutcome writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode);

// Puts `entry` back at `path`, atomically: a file with its bytes and mode, a
// link with its target; a missing entry removes what stands there now.
bool restoreEntry(const std::filesystem::path& path, const SavedEntry& entry);

// Letters, digits, '_' and '-': the characters of a certificate name.
bool isNameCharacter(char c);

// True for a name that the temporary of a write to "NAME" + `extension` gets
// (".NAME" + `extension` + "." and six letters or digits), NAME being made of
// letters, digits, '_' and '-' only.
bool isTemporaryName(const std::string& fileName, const std::string& extension);

}  // namespace ev_common::file_io
