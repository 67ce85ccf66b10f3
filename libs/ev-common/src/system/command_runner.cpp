#include "ev_common/system/command_runner.hpp"

#include <algorithm>

namespace ev_common {

CommandRunner::Outcome CommandRunner::run(const std::string& path,
                                          const std::vector<std::string>& arguments,
                                          std::chrono::seconds limit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) return {Outcome::Kind::refused, {}};
    }
    Process process(path, arguments);
    if (process.pid() < 1) return {Outcome::Kind::notStarted, {}};
    {
        // A cancel() between the check above and this point still reaches it.
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) process.cancel();
        running_ = &process;
    }
    // A hundred years stands for "no limit" without overflowing the clock.
    const ProcessEnd end =
        process.waitFor(std::min<std::chrono::seconds>(limit, std::chrono::hours(24 * 365 * 100)));
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
