// Runs external commands one at a time under a time limit for an owner whose
// shutdown, on another thread, must not wait for them: once cancel() is
// called, a running command is ended at once and no later one starts. The CA
// stores run the system's update tool and `openssl rehash` through it; a
// change that may run the tool twice (its update, then the run that puts the
// files back) gives both one Budget.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/system/process.hpp"

namespace ev_common {

class CommandRunner {
public:
    // The time that one change may spend in its commands, however many it
    // runs: each run gets what is left, counted from the budget's creation.
    class Budget {
    public:
        explicit Budget(std::chrono::seconds limit);
        std::chrono::seconds limit() const { return limit_; }
        // Zero once the time is used up.
        std::chrono::milliseconds left() const;

    private:
        std::chrono::seconds limit_;
        std::chrono::steady_clock::time_point deadline_;
    };

    struct Outcome {
        enum class Kind {
            refused,     // cancel() came first: nothing was started
            usedUp,      // nothing was left of the budget: nothing was started
            notStarted,  // the program could not be started
            ended,       // `end` says how
        };
        Kind kind = Kind::notStarted;
        ProcessEnd end;
    };

    // Without output capture; the child writes to this process's outputs.
    Outcome run(const std::string& path, const std::vector<std::string>& arguments,
                std::chrono::seconds limit);
    // Under what is left of `budget`.
    Outcome run(const std::string& path, const std::vector<std::string>& arguments,
                const Budget& budget);

    // From any thread.
    void cancel();

private:
    std::mutex mutex_;
    // Guarded by mutex_: the run cancel() must reach, and whether it was called.
    Process* running_ = nullptr;
    bool cancelled_ = false;
};

}  // namespace ev_common
