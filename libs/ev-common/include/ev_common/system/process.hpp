// Runs one external program as a child process (no shell, no time-out) and,
// on request, captures what it writes to standard output and standard error
// on a capture thread of its own. The CA certificate store runs the system's
// certificate update tool through it and checks the exit status.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ev_common {

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
    // Blocks until the child has ended.
    virtual ~Process();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The child's process id, or -1 when there is none (not started, or
    // already waited for).
    pid_t pid() const { return pid_; }

    // Exit status of the child (0 for a child ended by a signal); empty when
    // there is no child or its status could not be collected.
    std::optional<int> wait();

    // Copies of the captured text, safe while the child still runs; `clear`
    // empties the buffer in the same locked step.
    std::string getStdout(bool clear);
    std::string getStderr(bool clear);

private:
    void launch(const std::string& path, const std::vector<std::string>& args,
                const std::vector<std::string>& env, bool captureOutput, bool mergeStderr);
    void captureThread(int stdoutFd, int stderrFd, bool mergeStderr);
    void drain(int fd, std::stringstream& text);

    pid_t pid_ = -1;
    std::thread capture_;
    std::mutex mutex_;
    std::stringstream stdout_;
    std::stringstream stderr_;
    int stopPipe_[2] = {-1, -1};
};

}  // namespace ev_common
