#include "ev_common/system/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ev_common {

namespace {

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Runs in the forked child: only async-signal-safe calls from here on.
// `from` is a close-on-exec write end; the copy on `to` must survive exec.
void redirect(int from, int to) {
    if (from == to) {
        ::fcntl(to, F_SETFD, 0);
    } else {
        ::dup2(from, to);
    }
}

[[noreturn]] void execute(const char* path, char* const argv[], char* const envp[]) {
    // A group of its own, so that ending the run reaches whatever the program
    // started in turn. The parent sets it too: either may run first.
    ::setpgid(0, 0);
    if (envp[0] != nullptr) {
        ::execve(path, argv, envp);
    } else {
        ::execv(path, argv);
    }
    // _exit, not exit: the child must not flush stdio buffers or run the
    // atexit handlers and static destructors it inherited from the parent.
    ::_exit(1);
}

}  // namespace

Process::Process(const std::string& path) {
    launch(path, {}, {}, /*captureOutput=*/true, /*mergeStderr=*/false);
}

Process::Process(const std::string& path, bool captureOutput, bool mergeStderr) {
    launch(path, {}, {}, captureOutput, mergeStderr);
}

Process::Process(const std::string& path, const std::vector<std::string>& args) {
    launch(path, args, {}, /*captureOutput=*/true, /*mergeStderr=*/false);
}

Process::Process(const std::string& path, const std::vector<std::string>& args, bool captureOutput,
                 bool mergeStderr) {
    launch(path, args, {}, captureOutput, mergeStderr);
}

Process::Process(const std::string& path, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, bool captureOutput, bool mergeStderr) {
    launch(path, args, env, captureOutput, mergeStderr);
}

Process::~Process() {
    wait();
}

void Process::launch(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, bool captureOutput, bool mergeStderr) {
    // Without it cancel() still works, only noticed at the next look rather
    // than at once.
    cancelPipe_ = makePipe(O_CLOEXEC | O_NONBLOCK);
    if (::access(path.c_str(), R_OK | X_OK) != 0) return;

    // Everything the child needs is allocated before fork: after it, the child
    // of a threaded process may not touch the heap.
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    if (!captureOutput) {
        pid_ = ::fork();
        if (pid_ == 0) execute(path.c_str(), argv.data(), envp.data());
        if (pid_ < 0) pid_ = -1;
        if (pid_ > 0) ::setpgid(pid_, pid_);
        return;
    }

    // Every descriptor of ours is close-on-exec so that no child inherits it.
    // Only our read ends and the stop pipe are non-blocking: the child's ends
    // stay blocking, or a child writing faster than we read would get EAGAIN.
    Pipe out = makePipe(O_CLOEXEC);
    Pipe err = makePipe(O_CLOEXEC);
    stopPipe_ = makePipe(O_CLOEXEC | O_NONBLOCK);
    if (!out.read || !err.read || !stopPipe_.read || !setNonBlocking(out.read.get()) ||
        !setNonBlocking(err.read.get())) {
        stopPipe_ = Pipe{};
        return;
    }

    pid_ = ::fork();
    if (pid_ == 0) {
        redirect(out.write.get(), STDOUT_FILENO);
        redirect(err.write.get(), STDERR_FILENO);
        for (int fd : {out.read.get(), out.write.get(), err.read.get(), err.write.get()}) {
            if (fd > STDERR_FILENO) ::close(fd);
        }
        execute(path.c_str(), argv.data(), envp.data());
    }
    if (pid_ < 0) {
        pid_ = -1;
        stopPipe_ = Pipe{};
        return;
    }
    ::setpgid(pid_, pid_);
    capture_ = std::thread(&Process::captureThread, this, std::move(out.read), std::move(err.read),
                           mergeStderr);
}

void Process::captureThread(UniqueFd stdoutFd, UniqueFd stderrFd, bool mergeStderr) {
    std::stringstream& errTarget = mergeStderr ? stdout_ : stderr_;
    pollfd fds[3] = {{stdoutFd.get(), POLLIN, 0},
                     {stderrFd.get(), POLLIN, 0},
                     {stopPipe_.read.get(), POLLIN, 0}};
    bool stop = false;
    while (!stop) {
        const int ready = ::poll(fds, 3, -1);
        // A signal landing on this thread must not end the capture: the child
        // would lose its readers and die of SIGPIPE.
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 1) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & POLLIN) drain(fds[i].fd, i == 0 ? stdout_ : errTarget);
            // A closed output is done with; polling it further would only spin
            // until the stop signal arrives.
            if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                drain(fds[i].fd, i == 0 ? stdout_ : errTarget);
                fds[i].fd = -1;
            }
            fds[i].revents = 0;
        }
        if (fds[2].revents & POLLIN) stop = true;
        fds[2].revents = 0;
    }
    drain(stdoutFd.get(), stdout_);
    drain(stderrFd.get(), errTarget);
}

void Process::drain(int fd, std::stringstream& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) text.write(buffer, n);
        if (n < static_cast<ssize_t>(sizeof buffer)) break;
    }
}

std::optional<int> Process::wait() {
    const ProcessEnd end = waitUntil(std::chrono::steady_clock::time_point::max());
    if (end.kind == ProcessEnd::Kind::exited) return end.code;
    return std::nullopt;
}

ProcessEnd Process::waitFor(std::chrono::milliseconds limit) {
    // Beyond ten years the deadline would only risk overflowing the clock.
    if (limit > std::chrono::hours(24 * 365 * 10))
        return waitUntil(std::chrono::steady_clock::time_point::max());
    return waitUntil(std::chrono::steady_clock::now() + limit);
}

void Process::cancel() {
    cancelled_ = true;
    if (cancelPipe_.write) {
        while (::write(cancelPipe_.write.get(), "x", 1) < 0 && errno == EINTR) {
        }
    }
}

void Process::signalGroup(int signal) const {
    if (::kill(-pid_, signal) != 0) ::kill(pid_, signal);
}

ProcessEnd Process::waitUntil(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    if (pid_ < 1) return {};

    // No SIGCHLD handler and no pidfd (emulators lack it): the child is looked
    // at in short, growing pauses, and cancel() wakes the pause at once.
    constexpr milliseconds kLongestPause(50);
    milliseconds pause(1);
    bool endedByUs = false;
    ProcessEnd::Kind reason = ProcessEnd::Kind::timedOut;
    Clock::time_point killAt = Clock::time_point::max();
    bool collectable = true;
    for (;;) {
        siginfo_t info{};
        // WNOWAIT leaves an ended child a zombie, so its process id, and with
        // it the group's, cannot be reused before the group is dealt with.
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            collectable = false;
            break;
        }
        if (info.si_pid == pid_) break;

        const Clock::time_point now = Clock::now();
        if (!endedByUs && (cancelled_.load() || now >= deadline)) {
            endedByUs = true;
            reason = cancelled_.load() ? ProcessEnd::Kind::cancelled : ProcessEnd::Kind::timedOut;
            signalGroup(SIGTERM);
            // A stopped member would only see the SIGTERM once continued.
            signalGroup(SIGCONT);
            killAt = now + kTerminationGrace;
        } else if (now >= killAt) {
            signalGroup(SIGKILL);
            killAt = Clock::time_point::max();
        }

        Clock::time_point wakeAt = now + pause;
        if (!endedByUs) wakeAt = std::min(wakeAt, deadline);
        wakeAt = std::min(wakeAt, killAt);
        const auto timeout = std::chrono::ceil<milliseconds>(wakeAt - now).count();
        pollfd wake{cancelPipe_.read.get(), POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(std::max<long long>(timeout, 0))) > 0 &&
            (wake.revents & POLLIN)) {
            char bytes[16];
            while (::read(cancelPipe_.read.get(), bytes, sizeof bytes) > 0) {
            }
        }
        pause = std::min(pause * 2, kLongestPause);
    }

    // What the child started and left running goes with it.
    if (endedByUs) signalGroup(SIGKILL);
    ProcessEnd end;
    int status = 0;
    pid_t waited = -1;
    if (collectable) {
        do {
            waited = ::waitpid(pid_, &status, 0);
        } while (waited < 0 && errno == EINTR);
    }
    if (waited > 0) {
        const int code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        if (endedByUs) {
            end = {reason, code};
        } else if (WIFEXITED(status)) {
            end = {ProcessEnd::Kind::exited, code};
        } else if (WIFSIGNALED(status)) {
            end = {ProcessEnd::Kind::signalled, code};
        }
    }

    if (stopPipe_.write) {
        while (::write(stopPipe_.write.get(), "end", 3) < 0 && errno == EINTR) {
        }
    }
    if (capture_.joinable()) capture_.join();
    // The stop pipe is closed here rather than by the capture thread, so this
    // thread never writes to a descriptor the other one may have closed.
    stopPipe_ = Pipe{};
    pid_ = -1;
    return end;
}

std::string Process::getStdout(bool clear) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = stdout_.str();
    if (clear) {
        stdout_.str(std::string());
        stdout_.clear();
    }
    return text;
}

std::string Process::getStderr(bool clear) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = stderr_.str();
    if (clear) {
        stderr_.str(std::string());
        stderr_.clear();
    }
    return text;
}

}  // namespace ev_common
