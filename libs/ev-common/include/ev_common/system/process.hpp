// Runs one external program as a child process in a process group of its own
// (no shell) and, on request, captures what it writes to standard output and
// standard error on a capture thread of its own. A wait may carry a time
// limit and may be cut short from another thread; either way the whole group
// is ended. The CA certificate store runs the system's certificate update tool
// through it and checks how it ended.
#pragma once

#include "ev_common/system/unique_fd.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ev_common {

// How a waited-for child ended.
struct ProcessEnd {
    enum class Kind {
        exited,     // on its own, with `code` as its exit status
        signalled,  // killed by signal `code`, not by us
        timedOut,   // past the wait's time limit; ended by us
        cancelled,  // the wait was cut short by cancel(); ended by us
        unknown,    // no child, or its status could not be collected
    };
    Kind kind = Kind::unknown;
    int code = 0;

    bool succeeded() const { return kind == Kind::exited && code == 0; }
};

class Process {
public:
    explicit Process(const std::string& path);
    Process(const std::string& path, bool captureOutput, bool mergeStderr);
    Process(const std::string& path, const std::vector<std::string>& args);
    Process(const std::string& path, const std::vector<std::string>& args, bool captureOutput,
            bool mergeStderr);
    // `env` holds complete "NAME=value" entries; empty means the child inherits
    // this process's environment.
    Process(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& env, bool captureOutput, bool mergeStderr);
    // Blocks until the child has ended (cancel() from another thread ends it).
    virtual ~Process();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The child's process id, or -1 when there is none (not started, or
    // already waited for).
    pid_t pid() const { return pid_; }

    // Exit status of the child; empty when there is no child, its status
    // could not be collected, or it did not exit on its own (a signal, or
    // cancel()). Waits without a time limit.
    std::optional<int> wait();

    // Waits at most `limit` for the child. Past it, or once cancel() is
    // called, the child's process group gets SIGTERM, then SIGKILL after
    // kTerminationGrace; the child is reaped in every case.
    ProcessEnd waitFor(std::chrono::milliseconds limit);

    // Cuts a running or later wait short, as if its time limit had passed.
    // Safe from any thread while the object exists; without effect once the
    // child has been waited for.
    void cancel();

    static constexpr std::chrono::milliseconds kTerminationGrace{2000};

    // Copies of the captured text, safe while the child still runs; `clear`
    // empties the buffer in the same locked step.
    std::string getStdout(bool clear);
    std::string getStderr(bool clear);

private:
    void launch(const std::string& path, const std::vector<std::string>& args,
                const std::vector<std::string>& env, bool captureOutput, bool mergeStderr);
    void captureThread(UniqueFd stdoutFd, UniqueFd stderrFd, bool mergeStderr);
    void drain(int fd, std::stringstream& text);
    // time_point::max() waits without a limit.
    ProcessEnd waitUntil(std::chrono::steady_clock::time_point deadline);
    void signalGroup(int signal) const;

    pid_t pid_ = -1;
    std::thread capture_;
    std::mutex mutex_;
    std::stringstream stdout_;
    std::stringstream stderr_;
    // Tells the capture thread that the child was waited for.
    Pipe stopPipe_;
    // Wakes a waiting thread at once when cancel() is called.
    std::atomic<bool> cancelled_{false};
    Pipe cancelPipe_;
};

}  // namespace ev_common
