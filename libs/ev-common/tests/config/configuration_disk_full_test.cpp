// Needs root and mount namespaces: a tiny tmpfs is mounted in a child process
// that has a private mount namespace, so nothing is visible outside it.
#include "ev_common/config/config_parameter_provider.hpp"

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kSkip = 77;

// Runs `body` in a forked child with a private mount namespace and a small
// tmpfs on `mountPoint`; returns the child's exit code (kSkip when the
// namespace or the mount is not permitted here).
int inPrivateTmpfs(const fs::path& mountPoint, const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(kSkip);
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(kSkip);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
            ::_exit(kSkip);
        const int code = body();
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Fills the file system holding `path` until a write fails.
bool fill(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    // Whatever partial page is left goes too.
    while (::write(fd, "f", 1) > 0) {
    }
    ::close(fd);
    return true;
}

int check(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "check failed: %s\n", what);
    return ok ? 0 : 1;
}

}  // namespace

TEST(ConfigurationFileOnAFullDisk, AFailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    ev_test::TempDir dir;
    const fs::path mountPoint = dir / "full";
    fs::create_directory(mountPoint);

    const int code = inPrivateTmpfs(mountPoint, [&] {
        auto provider = config_test::providerFor(dir, R"({"g": {"parameters": [
            {"name": "s", "type": "string", "default": ")" +
                                                          std::string(8192, 'v') + R"("}]}})");
        const fs::path file = mountPoint / "values.json";
        const std::string old = R"({"g": {"s": "configured"}})";
        ev_test::writeFile(file, old);
        if (!fill(mountPoint / "filler")) return check(false, "fill the tmpfs");

        ev_test::LogCapture log;
        int failures = check(!provider->saveConfigurationFile(file.string()), "save fails");
        failures += check(ev_test::readFile(file) == old, "old content kept");
        failures += check(
            log.has(spdlog::level::err, "Unable to write configuration file [" + file.string() +
                                            "] : write failed (No space left on "
                                            "device)"),
            "reason logged");
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(mountPoint)) ++entries;
        failures += check(entries == 2, "only the old file and the filler remain");

        // With room again the same save goes through, so the space was the cause.
        fs::remove(mountPoint / "filler");
        failures += check(provider->saveConfigurationFile(file.string()), "save after freeing");
        failures += check(ev_test::readFile(file).find(std::string(8192, 'v')) != std::string::npos,
                          "new content written");
        if (failures != 0) std::fprintf(stderr, "%s", log.dump().c_str());
        return failures == 0 ? 0 : 1;
    });
    if (code == kSkip) GTEST_SKIP() << "mount namespaces or tmpfs mounts are not permitted here";
    EXPECT_EQ(code, 0) << "see the child's messages above";
}
