#include "ev_common/system/command_runner.hpp"

#include <algorithm>

namespace ev_common {

namespace {

// A hundred years stands for "no limit" without overflowing the clock.
constexpr std::chrono::seconds kNoLimit = std::chrono::hours(24 * 365 * 100);

}  // namespace

CommandRunner::Budget::Budget(std::chrono::seconds limit)
    : limit_(limit), deadline_(std::chrono::steady_clock::now() + std::min(limit, kNoLimit)) {}

std::chrono::milliseconds CommandRunner::Budget::left() const {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    return std::max(rest, std::chrono::milliseconds(0));
}

CommandRunner::Outcome CommandRunner::run(const std::string& path,
                                          const std::vector<std::string>& arguments,
                                          std::chrono::seconds limit) {
    return run(path, arguments, Budget(limit));
}

CommandRunner::Outcome CommandRunner::run(const std::string& path,
                                          const std::vector<std::string>& arguments,
                                          const Budget& budget) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) return {Outcome::Kind::refused, {}};
    }
    if (budget.left() <= std::chrono::milliseconds(0)) return {Outcome::Kind::usedUp, {}};
    Process process(path, arguments);
    if (process.pid() < 1) return {Outcome::Kind::notStarted, {}};
    {
        // A cancel() between the check above and this point still reaches it.
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) process.cancel();
        running_ = &process;
    }
    const ProcessEnd end = process.waitFor(budget.left());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = nullptr;
    }
    return {Outcome::Kind::ended, end};
}

void CommandRunner::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (running_ != nullptr) running_->cancel();
}

}  // namespace ev_common
