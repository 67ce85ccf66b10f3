#include "ev_common/system/periodic_task.hpp"
#include "ev_common/system/condition_variable_gcc9.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono;
using ev_common::PeriodicTask;

namespace {

// Start times of the runs of a task (and what isLate() said during each),
// recorded from the worker thread.
class RunLog {
public:
    void record(bool late) {
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.push_back(steady_clock::now());
        lates_.push_back(late);
    }
    bool waitForRuns(std::size_t count, milliseconds timeout = seconds(20)) {
        auto deadline = steady_clock::now() + timeout;
        while (steady_clock::now() < deadline) {
            if (size() >= count) return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return size() >= count;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_.size();
    }
    steady_clock::time_point start(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_.at(i);
    }
    bool late(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lates_.at(i);
    }

private:
    std::mutex mutex_;
    std::vector<steady_clock::time_point> starts_;
    std::vector<bool> lates_;
};

long long msBetween(steady_clock::time_point a, steady_clock::time_point b) {
    return duration_cast<milliseconds>(b - a).count();
}

}  // namespace

TEST(PeriodicTask, FixedRateKeepsTheGridWhileFixedDelayWaitsAFullPeriodAfterEachRun) {
    RunLog rate;
    RunLog delay;
    {
        PeriodicTask fixedRate;
        PeriodicTask fixedDelay;
        ASSERT_TRUE(fixedRate.start(
            milliseconds(300),
            [&] {
                rate.record(false);
                std::this_thread::sleep_for(milliseconds(100));
            },
            false));
        ASSERT_TRUE(fixedDelay.start(
            milliseconds(300),
            [&] {
                delay.record(false);
                std::this_thread::sleep_for(milliseconds(100));
            },
            true));
        ASSERT_TRUE(rate.waitForRuns(6));
        ASSERT_TRUE(delay.waitForRuns(5));
    }
    // On a fixed-rate grid the jitter of single runs does not add up: five
    // intervals span five periods, not five periods plus five run times.
    const auto rateSpan = msBetween(rate.start(0), rate.start(5));
    EXPECT_GE(rateSpan, 5 * 300 - 60);
    EXPECT_LE(rateSpan, 5 * 300 + 200);
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_GE(msBetween(delay.start(i - 1), delay.start(i)), 300 + 100 - 5) << "run " << i;
    }
}

TEST(PeriodicTask, CatchesUpMissedRunsBackToBackAndReportsThemLate) {
    RunLog log;
    std::atomic<int> runs{0};
    PeriodicTask task;
    task.start(
        milliseconds(200),
        [&] {
            log.record(task.isLate());
            if (runs++ == 0) std::this_thread::sleep_for(milliseconds(650));
        },
        false);
    ASSERT_TRUE(log.waitForRuns(6));
    task.stop();

    // The first run ends ~850 ms after start, past the deadlines at 400, 600
    // and 800 ms: three runs follow at once, late; then the grid resumes at 1000.
    const auto firstEnd = log.start(0) + milliseconds(650);
    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_LT(msBetween(firstEnd, log.start(i)), 150) << "catch-up run " << i;
        EXPECT_TRUE(log.late(i)) << "catch-up run " << i;
    }
    EXPECT_FALSE(log.late(0));
    EXPECT_FALSE(log.late(4));
    EXPECT_GE(msBetween(log.start(0), log.start(4)), 4 * 200 - 30);
    EXPECT_FALSE(log.late(5));
}

TEST(PeriodicTask, TriggerRunsAtOnceAndReschedulesOnlyWhenAsked) {
    RunLog keep;
    PeriodicTask keepTask;
    keepTask.start(
        milliseconds(600), [&] { keep.record(false); }, false);
    ASSERT_TRUE(keep.waitForRuns(1));
    std::this_thread::sleep_for(milliseconds(200));
    const auto triggeredAt = steady_clock::now();
    ASSERT_TRUE(keepTask.trigger(false));
    ASSERT_TRUE(keep.waitForRuns(3));
    keepTask.stop();
    EXPECT_LT(msBetween(triggeredAt, keep.start(1)), 100);
    // The timed schedule is untouched: the next run is one period after the first.
    EXPECT_NEAR(msBetween(keep.start(0), keep.start(2)), 600, 120);

    RunLog moved;
    PeriodicTask movedTask;
    movedTask.start(
        milliseconds(600), [&] { moved.record(false); }, false);
    ASSERT_TRUE(moved.waitForRuns(1));
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_TRUE(movedTask.trigger(true));
    ASSERT_TRUE(moved.waitForRuns(3));
    movedTask.stop();
    EXPECT_NEAR(msBetween(moved.start(1), moved.start(2)), 600, 120);
    EXPECT_GE(msBetween(moved.start(0), moved.start(2)), 600 + 200 - 20);
}

TEST(PeriodicTask, StopsPromptlyDuringALongWaitAndRefusesRepeatedStartsAndStops) {
    std::atomic<int> runs{0};
    PeriodicTask task;
    EXPECT_FALSE(task.stop());
    EXPECT_FALSE(task.trigger(false));
    ASSERT_TRUE(task.start(
        minutes(10), [&] { ++runs; }, false));
    EXPECT_FALSE(task.start(
        milliseconds(1), [&] { runs += 100; }, false));
    std::this_thread::sleep_for(milliseconds(50));
    const auto before = steady_clock::now();
    EXPECT_TRUE(task.stop());
    EXPECT_LT(msBetween(before, steady_clock::now()), 1000);
    EXPECT_FALSE(task.stop());
    EXPECT_EQ(runs.load(), 0);

    // A stopped task starts again with a new schedule.
    ASSERT_TRUE(task.start(
        milliseconds(20), [&] { ++runs; }, true));
    auto deadline = steady_clock::now() + seconds(10);
    while (runs.load() < 3 && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_GE(runs.load(), 3);
}

TEST(ConditionVariable, WaitsUntilTheDeadlineOrThePredicate) {
    ev_common::ConditionVariable_gcc9 condition;
    std::atomic<bool> flag{false};
    const auto predicate = [&] { return flag.load(); };

    auto start = steady_clock::now();
    EXPECT_FALSE(condition.waitFor(milliseconds(100), predicate));
    EXPECT_GE(msBetween(start, steady_clock::now()), 95);

    // A deadline already passed answers at once with the predicate's value.
    flag = true;
    EXPECT_TRUE(condition.waitUntil(steady_clock::now() - seconds(1), predicate));

    flag = false;
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(50));
        condition.lock();
        flag = true;
        condition.notify();
        condition.unlock();
    });
    start = steady_clock::now();
    EXPECT_TRUE(condition.waitFor(seconds(30), predicate));
    EXPECT_LT(msBetween(start, steady_clock::now()), 5000);
    waker.join();

    EXPECT_THROW(condition.waitFor(milliseconds(10), std::function<bool()>()),
                 std::bad_function_call);
}

TEST(ConditionVariable, MonotonicDeadlineCarriesNanosecondsAndFitsTheTargetsTimeT) {
    const timespec now{100, 999999999};
    timespec d = ev_common::monotonicDeadline(now, 1);
    EXPECT_EQ(d.tv_sec, 101);
    EXPECT_EQ(d.tv_nsec, 0);
    d = ev_common::monotonicDeadline(now, 2500000001LL);
    EXPECT_EQ(d.tv_sec, 103);
    EXPECT_EQ(d.tv_nsec, 500000000);

    // Ten years of nanoseconds overflow a 32-bit long; the result must still
    // be a valid deadline (exact with a 64-bit time_t, clamped with 32 bits).
    const int64_t tenYears = 10LL * 365 * 24 * 3600 * 1000000000LL;
    d = ev_common::monotonicDeadline(now, tenYears);
    EXPECT_EQ(static_cast<int64_t>(d.tv_sec), 100 + 10LL * 365 * 24 * 3600);
    EXPECT_EQ(d.tv_nsec, 999999999);
    const int64_t huge = std::numeric_limits<int64_t>::max();
    d = ev_common::monotonicDeadline(now, huge);
    EXPECT_GE(d.tv_nsec, 0);
    EXPECT_LE(d.tv_nsec, 999999999);
    if (sizeof(time_t) == 4) {
        EXPECT_EQ(d.tv_sec, std::numeric_limits<time_t>::max());
    } else {
        EXPECT_EQ(static_cast<int64_t>(d.tv_sec), 100 + huge / 1000000000LL + 1);
    }
}
