// A condition variable built directly on a POSIX mutex and a POSIX condition
// variable bound to CLOCK_MONOTONIC, so timed waits use absolute monotonic
// deadlines that wall-clock changes cannot stretch or shorten. PeriodicTask
// waits on it.
#pragma once

#include <pthread.h>

#include <chrono>
#include <functional>

namespace ev_common {

class ConditionVariable_gcc9 {
public:
    ConditionVariable_gcc9();
    ~ConditionVariable_gcc9();
    ConditionVariable_gcc9(const ConditionVariable_gcc9&) = delete;
    ConditionVariable_gcc9& operator=(const ConditionVariable_gcc9&) = delete;

    bool lock();
    bool unlock();
    // Wakes one waiter.
    void notify();
    // Waits until `predicate` holds or `deadline` passes; returns the
    // predicate's last value. An empty predicate throws std::bad_function_call.
    bool waitUntil(std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& predicate);
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& predicate);

private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_condattr_t attributes_;
    pthread_cond_t condition_;
};

// Absolute CLOCK_MONOTONIC time `remainingNs` nanoseconds after `now`, with the
// nanosecond field carried into whole seconds. Computed in 64 bits so that it
// stays exact where time_t and long are 32 bits; clamped to the largest time
// the target's time_t can hold.
timespec monotonicDeadline(const timespec& now, int64_t remainingNs);

}  // namespace ev_common
