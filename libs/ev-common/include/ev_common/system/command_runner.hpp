// Runs external commands one at a time under a time limit for an owner whose
// shutdown, on another thread, must not wait for them: once cancel() is
// called, a running command is ended at once and no later one starts. The CA
// stores run the system's update tool and `openssl rehash` through it.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "ev_common/system/process.hpp"

namespace ev_common {

class CommandRunner {
public:
    struct Outcome {
        enum class Kind {
            refused,     // cancel() came first: nothing was started
            notStarted,  // the program could not be started
            ended,       // `end` says how
        };
        Kind kind = Kind::notStarted;
        ProcessEnd end;
    };

    // Without output capture; the child writes to this process's outputs.
    Outcome run(const std::string& path, const std::vector<std::string>& arguments,
                std::chrono::seconds limit);

    // From any thread.
    void cancel();

private:
    std::mutex mutex_;
    // Guarded by mutex_: the run cancel() must reach, and whether it was called.
    Process* running_ = nullptr;
    bool cancelled_ = false;
};

}  // namespace ev_common
