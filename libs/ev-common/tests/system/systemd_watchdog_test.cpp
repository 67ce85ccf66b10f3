#include "ev_common/system/systemd_watchdog.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

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
