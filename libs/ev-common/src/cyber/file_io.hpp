// What the CA store keeps of an entry of its user folder before changing it,
// so that a failed change can put back exactly what stood there: nothing, a
// regular file (its bytes and permission bits) or a symbolic link (its target
// text; nothing is ever read or written through it). Built on the atomic
// file functions of ev_common/system.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace ev_common::file_io {

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

// Puts `entry` back at `path`, atomically: a file with its bytes and mode, a
// link with its target; a missing entry removes what stands there now.
bool restoreEntry(const std::filesystem::path& path, const SavedEntry& entry);

// Letters, digits, '_' and '-': the characters of a certificate name.
bool isNameCharacter(char c);

// True for a temporary that an atomic write to a certificate file
// (NAME + `extension`, NAME made of name characters) leaves behind.
bool isTemporaryName(const std::string& fileName, const std::string& extension);

}  // namespace ev_common::file_io
