#include "ev_common/system/systemd_watchdog.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using ev_common::SystemdWatchdog;

TEST(SystemdWatchdog, RefusesAMissingOrUnusableInterval) {
    ev_test::LogCapture capture;
    ::unsetenv("WATCHDOG_USEC");
    SystemdWatchdog watchdog;
    EXPECT_FALSE(watchdog.start());
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Systemd watchdog refresh period not found in environment variables"));

    ::setenv("WATCHDOG_USEC", "abc", 1);
    EXPECT_FALSE(watchdog.start());
    EXPECT_TRUE(
        capture.has(spdlog::level::err, "Invalid systemd watchdog refresh period format : abc"));
    ::setenv("WATCHDOG_USEC", "99999999999999999999", 1);
    EXPECT_FALSE(watchdog.start());
    EXPECT_TRUE(
        capture.has(spdlog::level::err,
                    "Invalid systemd watchdog refresh period format : 99999999999999999999"));

    for (const char* text : {"1", "0", "-5"}) {
        ::setenv("WATCHDOG_USEC", text, 1);
        EXPECT_FALSE(watchdog.start()) << text;
        EXPECT_TRUE(capture.has(spdlog::level::err,
                                std::string("Invalid systemd watchdog refresh period : ") + text));
    }
    ::unsetenv("WATCHDOG_USEC");
    EXPECT_FALSE(capture.has("Systemd watchdog refresh started : period = 0ms"));
}

TEST(SystemdWatchdog, RefusesIntervalsWhoseHalfTruncatesToZeroMilliseconds) {
    // 2..1999 us would give a 0 ms period and a spinning refresh task.
    ev_test::LogCapture capture;
    EXPECT_FALSE(SystemdWatchdog::refreshPeriod("2"));
    EXPECT_FALSE(SystemdWatchdog::refreshPeriod("1999"));
    EXPECT_TRUE(capture.has(spdlog::level::err, "Invalid systemd watchdog refresh period : 1999"));
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("2000"), 1);
}

TEST(SystemdWatchdog, HalvesTheIntervalIntoWholeMilliseconds) {
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("30000000"), 15000);
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("4000000xyz"), 2000);
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("  +4000000"), 2000);
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("4001999"), 2000);
    // Intervals past 2^31 us (about 36 minutes) must work where long is 32 bits.
    EXPECT_EQ(SystemdWatchdog::refreshPeriod("5000000000"), 2500000);
}

TEST(SystemdWatchdog, LogsEveryRefreshThatCannotReachSystemd) {
    ev_test::LogCapture capture;
    ::unsetenv("NOTIFY_SOCKET");
    ::setenv("WATCHDOG_USEC", "40000", 1);  // a refresh every 20 ms
    {
        SystemdWatchdog watchdog;
        ASSERT_TRUE(watchdog.start());
        EXPECT_TRUE(
            capture.has(spdlog::level::info, "Systemd watchdog refresh started : period = 20ms"));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (capture.count("Unable to refresh systemd watchdog : 0") < 3 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::unsetenv("WATCHDOG_USEC");
    EXPECT_GE(capture.count("Unable to refresh systemd watchdog : 0"), 3u);
}

namespace {

// The receiving end of NOTIFY_SOCKET, as systemd holds it.
class NotifySocket {
public:
    NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path().c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("notify socket");
        }
        ::setenv("NOTIFY_SOCKET", path().c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    std::string path() const { return (dir_ / "notify").string(); }
    // Every message sent so far (sd_notify has returned, so they are queued).
    std::vector<std::string> take() {
        std::vector<std::string> messages;
        char buffer[256];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
            messages.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return messages;
    }

private:
    ev_test::TempDir dir_;
    int fd_;
};

}  // namespace

TEST(SystemdWatchdog, RefreshesOnlyWhileTheHealthCheckFindsNoProblem) {
    ev_test::LogCapture capture;
    NotifySocket systemd;
    SystemdWatchdog watchdog;
    std::optional<std::string> problem;
    watchdog.setHealthCheck([&] { return problem; });
    const std::vector<std::string> one{"WATCHDOG=1"};

    watchdog.refresh();
    EXPECT_EQ(systemd.take(), one);

    problem = "Server x : busy on one request for 12000ms (limit 10000ms)";
    watchdog.refresh();
    watchdog.refresh();
    EXPECT_TRUE(systemd.take().empty());
    EXPECT_EQ(capture.count("Systemd watchdog refresh suspended : Server x : busy on one request "
                            "for 12000ms (limit 10000ms)"),
              1u);

    problem.reset();
    watchdog.refresh();
    watchdog.refresh();
    EXPECT_EQ(systemd.take(), std::vector<std::string>(2, "WATCHDOG=1"));
    EXPECT_EQ(capture.count("Systemd watchdog refresh resumed"), 1u);
    EXPECT_TRUE(capture.has(spdlog::level::info, "Systemd watchdog refresh resumed"));

    // A check that throws counts as a problem; an empty one as none.
    watchdog.setHealthCheck(
        []() -> std::optional<std::string> { throw std::runtime_error("boom"); });
    watchdog.refresh();
    EXPECT_TRUE(systemd.take().empty());
    EXPECT_TRUE(capture.has(spdlog::level::err,
                            "Systemd watchdog refresh suspended : health check failed : boom"));
    watchdog.setHealthCheck({});
    watchdog.refresh();
    EXPECT_EQ(systemd.take(), one);
    EXPECT_FALSE(capture.has("Unable to refresh systemd watchdog : 0"));
}
