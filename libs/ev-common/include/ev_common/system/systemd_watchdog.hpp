// Keeps the systemd service watchdog fed: reads the interval systemd hands
// over in WATCHDOG_USEC and sends "WATCHDOG=1" at half of it from a periodic
// task, but only while the service's health check says it can serve, so that
// a stuck service is restarted. The service runtime owns one and starts it
// unless systemd features are switched off on the command line.
#pragma once

#include "ev_common/system/periodic_task.hpp"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace ev_common {

class SystemdWatchdog {
public:
    SystemdWatchdog() = default;
    virtual ~SystemdWatchdog();
    SystemdWatchdog(const SystemdWatchdog&) = delete;
    SystemdWatchdog& operator=(const SystemdWatchdog&) = delete;

    // Nothing while the service can serve, otherwise why not (for the log).
    // Runs on the refresh thread; an exception counts as a problem.
    using HealthCheck = std::function<std::optional<std::string>()>;

    bool start();
    // Sends "WATCHDOG=1" unless the health check reports a problem.
    void refresh();
    void stop();

    // Replaces the check (empty: always healthy). Safe from any thread; once
    // it returns, the previous check is no longer running nor called again.
    void setHealthCheck(HealthCheck check);

    // The refresh period in milliseconds for a WATCHDOG_USEC text, or nothing
    // (after the matching error line) when the text is unusable.
    static std::optional<int64_t> refreshPeriod(const std::string& text);

private:
    bool healthy();

    std::mutex checkMutex_;  // guards the check and the suspension state
    HealthCheck check_;
    bool suspended_ = false;
    PeriodicTask task_;
};

}  // namespace ev_common
