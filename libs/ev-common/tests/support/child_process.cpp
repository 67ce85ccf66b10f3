#include "child_process.hpp"

#include "temp_dir.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ev_test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::filesystem::path& cwd) {
    std::string pattern = (std::filesystem::temp_directory_path() / "evchild-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = buffer.data();

    // Everything the child needs is built before fork: the parent may have threads.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        vars[entry.substr(0, eq)] = entry;
    }
    for (const auto& entry : env) {
        auto eq = entry.find('=');
        if (eq == std::string::npos) {
            vars.erase(entry);
        } else {
            vars[entry.substr(0, eq)] = entry;
        }
    }
    std::vector<std::string> envStrings;
    for (auto& [name, entry] : vars) envStrings.push_back(entry);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::string outPath = (dir_ / "stdout").string();
    std::string errPath = (dir_ / "stderr").string();
    std::string cwdText = cwd.string();

    pid_ = ::fork();
    if (pid_ == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!cwdText.empty() && ::chdir(cwdText.c_str()) != 0) ::_exit(126);
        // A child must not inherit a blocked or ignored signal from the test runner.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ChildProcess::stdoutText() const {
    return readFile(dir_ / "stdout");
}
std::string ChildProcess::stderrText() const {
    return readFile(dir_ / "stderr");
}

bool ChildProcess::waitForStdout(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (stdoutText().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return stdoutText().find(text) != std::string::npos;
}

std::filesystem::path builtProgram(const std::string& relativeToBuildRoot) {
#ifdef EV_BUILD_ROOT
    return std::filesystem::path(EV_BUILD_ROOT) / relativeToBuildRoot;
#else
    return std::filesystem::path(relativeToBuildRoot);
#endif
}

}  // namespace ev_test
