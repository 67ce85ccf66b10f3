#include "ev_common/system/condition_variable_gcc9.hpp"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <ctime>
#include <limits>
#include <type_traits>

namespace ev_common {

namespace {
constexpr int64_t kNanosPerSecond = 1000000000;
}

timespec monotonicDeadline(const timespec& now, int64_t remainingNs) {
    if (remainingNs < 0) remainingNs = 0;
    int64_t seconds = static_cast<int64_t>(now.tv_sec) + remainingNs / kNanosPerSecond;
    int64_t nanos = static_cast<int64_t>(now.tv_nsec) + remainingNs % kNanosPerSecond;
    if (nanos > kNanosPerSecond - 1) {
        seconds += 1;
        nanos -= kNanosPerSecond;
    }
    constexpr int64_t kMaxSeconds = static_cast<int64_t>(std::numeric_limits<time_t>::max());
    timespec deadline{};
    if (seconds > kMaxSeconds) {
        deadline.tv_sec = std::numeric_limits<time_t>::max();
        deadline.tv_nsec = kNanosPerSecond - 1;
    } else {
        deadline.tv_sec = static_cast<time_t>(seconds);
        deadline.tv_nsec = static_cast<decltype(deadline.tv_nsec)>(nanos);
    }
    return deadline;
}

ConditionVariable_gcc9::ConditionVariable_gcc9() {
    pthread_condattr_init(&attributes_);
    pthread_condattr_setclock(&attributes_, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes_);
}

ConditionVariable_gcc9::~ConditionVariable_gcc9() {
    pthread_cond_destroy(&condition_);
    pthread_condattr_destroy(&attributes_);
    pthread_mutex_destroy(&mutex_);
}

bool ConditionVariable_gcc9::lock() {
    int error = pthread_mutex_lock(&mutex_);
    if (error != 0) {
        spdlog::error("[ConditionVariable_gcc9] unable to lock mutex : error={}", error);
        return false;
    }
    return true;
}

bool ConditionVariable_gcc9::unlock() {
    int error = pthread_mutex_unlock(&mutex_);
    if (error != 0) {
        spdlog::error("[ConditionVariable_gcc9] unable to unlock mutex : error={}", error);
        return false;
    }
    return true;
}

void ConditionVariable_gcc9::notify() {
    int error = pthread_cond_signal(&condition_);
    if (error != 0) {
        spdlog::error("[ConditionVariable_gcc9] error notifying thread : error={}", error);
    }
}

bool ConditionVariable_gcc9::waitUntil(std::chrono::steady_clock::time_point deadline,
                                       const std::function<bool()>& predicate) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return predicate();
    if (predicate()) return true;

    int64_t remaining =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    timespec monotonicNow{};
    clock_gettime(CLOCK_MONOTONIC, &monotonicNow);
    const timespec absolute = monotonicDeadline(monotonicNow, remaining);

    lock();
    while (!predicate()) {
        if (pthread_cond_timedwait(&condition_, &mutex_, &absolute) == ETIMEDOUT) break;
    }
    bool result = predicate();
    unlock();
    return result;
}

bool ConditionVariable_gcc9::waitFor(std::chrono::milliseconds timeout,
                                     const std::function<bool()>& predicate) {
    return waitUntil(std::chrono::steady_clock::now() + timeout, predicate);
}

}  // namespace ev_common
