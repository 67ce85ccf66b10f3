// Test helper: a fresh directory under the system temporary folder, removed
// with everything in it when the object goes away.
#pragma once

#include <filesystem>
#include <string>

namespace ev_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes `content` to `path`, creating or truncating it.
void writeFile(const std::filesystem::path& path, const std::string& content);
// Whole content of `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace ev_test
