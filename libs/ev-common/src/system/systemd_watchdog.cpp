#include "ev_common/system/systemd_watchdog.hpp"

#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

namespace ev_common {

SystemdWatchdog::~SystemdWatchdog() {
    stop();
}

std::optional<int64_t> SystemdWatchdog::refreshPeriod(const std::string& text) {
    // Parsed as 64 bits whatever the width of `long`: a 32-bit target must
    // accept the same intervals as a 64-bit one.
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE) {
        spdlog::error("Invalid systemd watchdog refresh period format : {}", text);
        return std::nullopt;
    }
    // Below 2000 us the half interval truncates to 0 ms, which would make the
    // refresh task spin; such intervals are refused like the too-small ones.
    if (value < 2000) {
        spdlog::error("Invalid systemd watchdog refresh period : {}", text);
        return std::nullopt;
    }
    return static_cast<int64_t>(value / 2000);
}

bool SystemdWatchdog::start() {
    const char* text = std::getenv("WATCHDOG_USEC");
    if (text == nullptr) {
        spdlog::error("Systemd watchdog refresh period not found in environment variables");
        return false;
    }
    auto period = refreshPeriod(text);
    if (!period) return false;
    task_.start(
        std::chrono::milliseconds(*period), [this] { refresh(); }, /*fixedDelay=*/false);
    spdlog::info("Systemd watchdog refresh started : period = {}ms", *period);
    return true;
}

void SystemdWatchdog::setHealthCheck(HealthCheck check) {
    std::lock_guard<std::mutex> lock(checkMutex_);
    check_ = std::move(check);
}

// One line when the refreshes stop and one when they come back, however many
// periods lie in between.
bool SystemdWatchdog::healthy() {
    std::lock_guard<std::mutex> lock(checkMutex_);
    std::optional<std::string> problem;
    if (check_) {
        try {
            problem = check_();
        } catch (const std::exception& e) {
            problem = std::string("health check failed : ") + e.what();
        }
    }
    if (problem) {
        if (!suspended_) spdlog::error("Systemd watchdog refresh suspended : {}", *problem);
        suspended_ = true;
        return false;
    }
    if (suspended_) spdlog::info("Systemd watchdog refresh resumed");
    suspended_ = false;
    return true;
}

void SystemdWatchdog::refresh() {
    if (!healthy()) return;
    int result = sd_notify(0, "WATCHDOG=1");
    if (result < 1) spdlog::error("Unable to refresh systemd watchdog : {}", result);
}

void SystemdWatchdog::stop() {
    task_.stop();
}

}  // namespace ev_common
