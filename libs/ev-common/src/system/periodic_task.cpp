#include "ev_common/system/periodic_task.hpp"

namespace ev_common {

PeriodicTask::PeriodicTask(std::chrono::milliseconds period, std::function<void()> function,
                           bool fixedDelay) {
    start(period, std::move(function), fixedDelay);
}

PeriodicTask::~PeriodicTask() {
    stop();
}

bool PeriodicTask::start(std::chrono::milliseconds period, std::function<void()> function,
                         bool fixedDelay) {
    if (thread_) return false;
    stopRequested_ = false;
    fixedDelay_ = fixedDelay;
    thread_ = std::make_unique<std::thread>(&PeriodicTask::processThread, this, period,
                                            std::move(function));
    return true;
}

bool PeriodicTask::stop() {
    if (!thread_) return false;
    condition_.lock();
    stopRequested_ = true;
    condition_.notify();
    condition_.unlock();
    if (thread_->joinable()) thread_->join();
    thread_.reset();
    return true;
}

bool PeriodicTask::trigger(bool reschedule) {
    if (!thread_) return false;
    condition_.lock();
    reschedule_ = reschedule;
    triggered_ = true;
    condition_.notify();
    condition_.unlock();
    return true;
}

bool PeriodicTask::isLate() {
    return late_;
}

void PeriodicTask::processThread(std::chrono::milliseconds period, std::function<void()> function) {
    using clock = std::chrono::steady_clock;
    const auto step = std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(
        static_cast<int64_t>(period.count()) * static_cast<int64_t>(1000000)));
    const auto wakeUp = [this] { return stopRequested_.load() || triggered_.load(); };

    auto deadline = clock::now() + step;
    while (true) {
        if (stopRequested_) return;
        late_ = !fixedDelay_ && deadline < clock::now();
        condition_.waitUntil(deadline, wakeUp);
        if (stopRequested_) return;

        bool rebaseAfterRun = false;
        condition_.lock();
        const bool wasTriggered = triggered_;
        const bool reschedule = reschedule_;
        if (wasTriggered) {
            triggered_ = false;
            reschedule_ = false;
        }
        condition_.unlock();

        if (wasTriggered) {
            if (reschedule && !fixedDelay_) deadline = clock::now() + step;
            rebaseAfterRun = reschedule && fixedDelay_;
        } else {
            // Fixed rate keeps the grid: after an overrun the missed runs follow
            // back to back until the schedule has caught up.
            if (!fixedDelay_) deadline += step;
            rebaseAfterRun = fixedDelay_;
        }
        if (stopRequested_) return;
        function();
        if (rebaseAfterRun) deadline = clock::now() + step;
    }
}

}  // namespace ev_common
