// Test helper: starts a program as a child process with its standard output
// and standard error sent to files, so tests can run a daemon binary, signal
// it, wait for it with a time-out and read everything it printed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ev_test {

class ChildProcess {
public:
    // `env` entries "NAME=value" are set on top of this process's environment;
    // an entry "NAME" without "=" removes that variable.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}, const std::filesystem::path& cwd = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Exit code, 128 + signal number for a child ended by a signal, or nothing
    // when the child is still running after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::string stdoutText() const;
    std::string stderrText() const;
    // Polls the standard output until it contains `text`.
    bool waitForStdout(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path dir_;
};

// Path of a program built next to the running test binary (same build tree).
std::filesystem::path builtProgram(const std::string& relativeToBuildRoot);

}  // namespace ev_test
