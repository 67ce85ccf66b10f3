// Test helper: every entry of one folder (no recursion) described by its kind,
// its permission bits and its link target or bytes, so that a test can show
// that an operation left a folder exactly as it found it. Reads only regular
// files: a FIFO in the folder is described, never opened.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace ev_test {

// File name -> "file 644 <bytes>", "link -> <target>", "directory", "fifo",
// "socket" or "other".
using FolderSnapshot = std::map<std::string, std::string>;

FolderSnapshot snapshotFolder(const std::filesystem::path& folder);

}  // namespace ev_test
