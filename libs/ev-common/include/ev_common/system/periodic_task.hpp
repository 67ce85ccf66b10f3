// Runs a function on a worker thread of its own at a fixed period on the
// monotonic clock, either on a fixed-rate grid (missed runs are caught up
// back to back) or with a fixed delay after each run; can be triggered early
// and stopped promptly. The systemd watchdog refreshes through it.
#pragma once

#include "ev_common/system/condition_variable_gcc9.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace ev_common {

class IPeriodicTask {
public:
    virtual ~IPeriodicTask() = default;
    virtual bool start(std::chrono::milliseconds period, std::function<void()> function,
                       bool fixedDelay) = 0;
    virtual bool stop() = 0;
    // Runs the function at once; with `reschedule` the next timed run comes
    // one full period after this one.
    virtual bool trigger(bool reschedule) = 0;
    // True while the fixed-rate schedule is catching up on missed runs.
    virtual bool isLate() = 0;
};

class PeriodicTask : public IPeriodicTask {
public:
    PeriodicTask() = default;
    PeriodicTask(std::chrono::milliseconds period, std::function<void()> function, bool fixedDelay);
    ~PeriodicTask() override;
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

    bool start(std::chrono::milliseconds period, std::function<void()> function,
               bool fixedDelay) override;
    bool stop() override;
    bool trigger(bool reschedule) override;
    bool isLate() override;

private:
    void processThread(std::chrono::milliseconds period, std::function<void()> function);

    bool fixedDelay_ = false;
    std::atomic<bool> late_{false};
    std::unique_ptr<std::thread> thread_;
    std::atomic<bool> triggered_{false};
    std::atomic<bool> reschedule_{false};
    std::atomic<bool> stopRequested_{false};
    ConditionVariable_gcc9 condition_;
};

}  // namespace ev_common
