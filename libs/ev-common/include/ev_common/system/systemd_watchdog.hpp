// Keeps the systemd service watchdog fed: reads the interval systemd hands
// over in WATCHDOG_USEC and sends "WATCHDOG=1" at half of it from a periodic
// task. The service runtime owns one and starts it unless systemd features
// are switched off on the command line.
#pragma once

#include "ev_common/system/periodic_task.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace ev_common {

class SystemdWatchdog {
public:
    SystemdWatchdog() = default;
    virtual ~SystemdWatchdog();
    SystemdWatchdog(const SystemdWatchdog&) = delete;
    SystemdWatchdog& operator=(const SystemdWatchdog&) = delete;

    bool start();
    void refresh();
    void stop();

    // The refresh period in milliseconds for a WATCHDOG_USEC text, or nothing
    // (after the matching error line) when the text is unusable.
    static std::optional<int64_t> refreshPeriod(const std::string& text);

private:
    PeriodicTask task_;
};

}  // namespace ev_common
