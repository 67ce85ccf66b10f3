#include "ev_common/system/process.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.hpp"

namespace fs = std::filesystem;
using ev_common::Process;
using ev_common::ProcessEnd;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSh = "/bin/sh";

// Waits (generously) until `pred` holds; a test never sleeps to let things settle.
template <typename Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// fd number -> link target, for this process or another one.
std::map<int, std::string> openDescriptors(const std::string& procFd = "/proc/self/fd") {
    std::map<int, std::string> result;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(procFd, ec)) {
        std::error_code linkEc;
        const auto target = fs::read_symlink(entry.path(), linkEc);
        result[std::stoi(entry.path().filename().string())] = target.string();
    }
    return result;
}

}  // namespace

TEST(Process, StartsNoChildForAMissingOrNonExecutableProgram) {
    ev_test::TempDir dir;
    const auto plain = dir / "plain.sh";
    ev_test::writeFile(plain, "#!/bin/sh\necho should not run\n");
    ::chmod(plain.c_str(), 0644);

    for (const std::string& path : {(dir / "missing").string(), plain.string()}) {
        Process child(path, {"arg"});
        EXPECT_EQ(child.pid(), -1) << path;
        EXPECT_FALSE(child.wait().has_value()) << path;
        EXPECT_EQ(child.getStdout(false), "") << path;
        EXPECT_EQ(child.getStderr(false), "") << path;
    }
}

TEST(Process, PassesEveryArgumentAsItIsWithoutAShell) {
    Process printf("/usr/bin/printf", {"[%s]", "a b", "$HOME", "*", ""});
    ASSERT_GE(printf.pid(), 1);
    EXPECT_EQ(printf.wait(), 0);
    EXPECT_EQ(printf.getStdout(false), "[a b][$HOME][*][]");

    // Without arguments the child gets argument 0 only, the path itself.
    ev_test::TempDir dir;
    const auto script = dir / "count.sh";
    ev_test::writeFile(script, "#!/bin/sh\necho \"$# $0\"\n");
    ::chmod(script.c_str(), 0755);
    Process count(script.string());
    EXPECT_EQ(count.wait(), 0);
    EXPECT_EQ(count.getStdout(false), "0 " + script.string() + "\n");
}

TEST(Process, InheritsTheEnvironmentUnlessOneIsGiven) {
    ::setenv("EV_PROCESS_TEST_MARKER", "inherited", 1);
    Process inherited("/usr/bin/env", std::vector<std::string>{});
    EXPECT_EQ(inherited.wait(), 0);
    EXPECT_NE(inherited.getStdout(false).find("EV_PROCESS_TEST_MARKER=inherited\n"),
              std::string::npos);

    Process given("/usr/bin/env", {}, {"ONLY=1"}, true, false);
    EXPECT_EQ(given.wait(), 0);
    EXPECT_EQ(given.getStdout(false), "ONLY=1\n");
    ::unsetenv("EV_PROCESS_TEST_MARKER");
}

TEST(Process, CapturesMoreOutputThanAPipeHoldsWithoutLosingAByte) {
    ev_test::TempDir dir;
    std::string content;
    for (int i = 0; content.size() < 100 * 1024; ++i) content += "line " + std::to_string(i) + "\n";
    content.resize(100 * 1024);
    ev_test::writeFile(dir / "big.txt", content);

    // cat writes in large blocks and stops at the first failed write: a
    // non-blocking standard output would give it EAGAIN.
    Process cat("/bin/cat", {(dir / "big.txt").string(), (dir / "big.txt").string()});
    EXPECT_EQ(cat.wait(), 0) << cat.getStderr(false);
    EXPECT_EQ(cat.getStdout(false), content + content);
    EXPECT_EQ(cat.getStderr(false), "");

    // Readers holding the buffers while the child writes slow the capture
    // down; the child must then block, not fail.
    std::string large;
    for (int i = 0; i < 40; ++i) large += content;
    ev_test::writeFile(dir / "large.txt", large);
    Process slowed("/bin/cat", {(dir / "large.txt").string()});
    EXPECT_TRUE(eventually([&] { return slowed.getStdout(false).size() >= large.size(); }));
    EXPECT_EQ(slowed.wait(), 0) << slowed.getStderr(false);
    EXPECT_TRUE(slowed.getStdout(false) == large);

    Process err(kSh, {"-c", "cat \"$0\" >&2", (dir / "big.txt").string()});
    EXPECT_EQ(err.wait(), 0);
    EXPECT_EQ(err.getStderr(false), content);
    EXPECT_EQ(err.getStdout(false), "");
}

TEST(Process, MergesStandardErrorIntoStandardOutputOnlyWhenAsked) {
    const std::vector<std::string> args = {"-c", "echo out; echo err >&2; exit 0"};
    Process merged(kSh, args, true, true);
    EXPECT_EQ(merged.wait(), 0);
    const std::string text = merged.getStdout(false);
    EXPECT_NE(text.find("out\n"), std::string::npos);
    EXPECT_NE(text.find("err\n"), std::string::npos);
    EXPECT_EQ(merged.getStderr(false), "");

    Process separate(kSh, args, true, false);
    EXPECT_EQ(separate.wait(), 0);
    EXPECT_EQ(separate.getStdout(false), "out\n");
    EXPECT_EQ(separate.getStderr(false), "err\n");
}

TEST(Process, ReportsExitStatusesAndWaitsOnlyOnce) {
    Process three(kSh, {"-c", "exit 3"});
    EXPECT_EQ(three.wait(), 3);
    EXPECT_EQ(three.pid(), -1);
    EXPECT_FALSE(three.wait().has_value());

    // Without capture the child shares our output; the status still comes back.
    Process uncaptured(kSh, {"-c", "exit 42"}, false, false);
    ASSERT_GE(uncaptured.pid(), 1);
    EXPECT_EQ(uncaptured.wait(), 42);
    EXPECT_EQ(uncaptured.getStdout(false), "");
    EXPECT_EQ(uncaptured.getStderr(false), "");
}

TEST(Process, AChildKilledByASignalIsNeverReportedAsAnExitStatus) {
    // The exit-status byte of a killed child reads 0: it must not pass for success.
    Process killed(kSh, {"-c", "kill -9 $$"});
    EXPECT_FALSE(killed.wait().has_value());

    Process terminated(kSh, {"-c", "kill -TERM $$"});
    const ev_common::ProcessEnd end = terminated.waitFor(std::chrono::seconds(60));
    EXPECT_EQ(end.kind, ev_common::ProcessEnd::Kind::signalled);
    EXPECT_EQ(end.code, SIGTERM);
    EXPECT_FALSE(end.succeeded());

    Process fine(kSh, {"-c", "exit 0"});
    const ev_common::ProcessEnd exited = fine.waitFor(std::chrono::seconds(60));
    EXPECT_EQ(exited.kind, ev_common::ProcessEnd::Kind::exited);
    EXPECT_TRUE(exited.succeeded());
}

TEST(Process, AFailedExecEndsWithOneAndLeavesTheParentsBuffersAlone) {
    ev_test::TempDir dir;
    const auto garbage = dir / "garbage";
    ev_test::writeFile(garbage, std::string("\x01\x02\x03\x04 not a program\n"));
    ::chmod(garbage.c_str(), 0755);

    // Unflushed stdio data of the parent must not be written a second time by
    // the child on its way out.
    const auto logPath = dir / "buffered.txt";
    FILE* log = std::fopen(logPath.c_str(), "w");
    ASSERT_NE(log, nullptr);
    std::fputs("once", log);
    for (bool capture : {true, false}) {
        Process child(garbage.string(), {}, capture, false);
        ASSERT_GE(child.pid(), 1);
        EXPECT_EQ(child.wait(), 1);
    }
    std::fclose(log);
    EXPECT_EQ(ev_test::readFile(logPath), "once");
}

TEST(Process, ClearingTheTextReturnsOnlyWhatArrivedSinceTheLastRead) {
    ev_test::TempDir dir;
    const auto fifo = dir / "go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Process child(kSh, {"-c", "echo first; read x < \"$0\"; echo second", fifo.string()});
    ASSERT_GE(child.pid(), 1);

    ASSERT_TRUE(eventually([&] { return child.getStdout(false) == "first\n"; }));
    EXPECT_EQ(child.getStdout(true), "first\n");
    EXPECT_EQ(child.getStdout(true), "");
    ev_test::writeFile(fifo, "go\n");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.getStdout(true), "second\n");
    EXPECT_EQ(child.getStdout(false), "");
}

TEST(Process, DestructionWaitsForTheRunningChild) {
    ev_test::TempDir dir;
    const auto marker = dir / "marker";
    {
        Process child(kSh, {"-c", "sleep 0.3; echo done > \"$0\"", marker.string()});
        ASSERT_GE(child.pid(), 1);
    }
    EXPECT_EQ(ev_test::readFile(marker), "done\n");
}

TEST(Process, TheChildInheritsNoneOfTheRunnersDescriptors) {
    ev_test::TempDir dir;
    const auto fifo = dir / "go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::set<std::string> before;
    for (const auto& [fd, target] : openDescriptors()) before.insert(target);

    // The child lists its descriptors, then waits until we have listed ours.
    Process child(kSh, {"-c",
                        "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done; "
                        "read x < \"$0\"",
                        fifo.string()});
    ASSERT_GE(child.pid(), 1);
    std::set<std::string> ours;
    for (const auto& [fd, target] : openDescriptors()) {
        (void)fd;
        if (before.count(target) == 0 && target.rfind("pipe:", 0) == 0) ours.insert(target);
    }
    EXPECT_EQ(ours.size(), 4u);  // standard output, standard error, stop pipe, cancel pipe
    ev_test::writeFile(fifo, "go\n");
    ASSERT_EQ(child.wait(), 0);

    std::istringstream listing(child.getStdout(false));
    int fd;
    std::string target;
    int seen = 0;
    while (listing >> fd >> target) {
        ++seen;
        if (fd == 1 || fd == 2) {
            EXPECT_EQ(ours.count(target), 1u) << fd;
        } else {
            EXPECT_EQ(ours.count(target), 0u) << "descriptor " << fd << " leaked: " << target;
        }
    }
    EXPECT_GE(seen, 3);
}

namespace {
extern "C" void ignoreSignal(int) {}
}  // namespace

TEST(Process, SignalsDuringTheRunInterruptNeitherCaptureNorWait) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll and waitpid see EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<bool> running{true};
    std::thread signaller([&] {
        const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
        while (running) {
            for (const auto& [tid, unused] : openDescriptors("/proc/self/task")) {
                (void)unused;
                if (tid != self) ::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::optional<int> status;
    std::string text;
    {
        Process child(kSh, {"-c", "echo start; sleep 0.5; echo done"});
        status = child.wait();
        text = child.getStdout(false);
    }
    running = false;
    signaller.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "start\ndone\n");
}

namespace {

// Alive means neither gone nor a zombie waiting for a parent that is not us.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The pids a test script wrote, one a line, once it wrote `count` of them.
std::vector<pid_t> pidsWritten(const fs::path& file, std::size_t count) {
    std::vector<pid_t> pids;
    eventually([&] {
        pids.clear();
        std::ifstream in(file);
        for (pid_t pid; in >> pid;) pids.push_back(pid);
        return pids.size() >= count;
    });
    return pids;
}

// A script that records its own pid and that of a grandchild in its group,
// then waits; with `ignoreTerm` both shrug SIGTERM off.
std::vector<std::string> hangingScript(const fs::path& pids, bool ignoreTerm) {
    const std::string trap = ignoreTerm ? "trap '' TERM; " : "";
    return {"-c", trap + "sleep 3600 & echo $$ > \"$0\"; echo $! >> \"$0\"; wait", pids.string()};
}

}  // namespace

TEST(Process, StartsTheChildInAProcessGroupOfItsOwn) {
    Process child(kSh, {"-c", "cut -d' ' -f5 /proc/$$/stat"});
    const pid_t pid = child.pid();
    ASSERT_GE(pid, 1);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(std::stoi(child.getStdout(false)), pid);
}

TEST(Process, ATimeLimitEndsTheWholeGroupAndCountsAsFailure) {
    struct Case {
        bool ignoreTerm;
        int signal;  // what ends the child
    };
    for (const Case c : {Case{false, SIGTERM}, Case{true, SIGKILL}}) {
        ev_test::TempDir dir;
        const auto start = Clock::now();
        Process child(kSh, hangingScript(dir / "pids", c.ignoreTerm));
        const auto pids = pidsWritten(dir / "pids", 2);
        ASSERT_EQ(pids.size(), 2u);
        const ProcessEnd end = child.waitFor(std::chrono::milliseconds(300));
        const auto took = Clock::now() - start;
        EXPECT_EQ(end.kind, ProcessEnd::Kind::timedOut) << c.ignoreTerm;
        EXPECT_EQ(end.code, c.signal) << c.ignoreTerm;
        EXPECT_FALSE(end.succeeded());
        EXPECT_EQ(child.pid(), -1);
        // SIGKILL follows SIGTERM after the grace, not before.
        if (c.ignoreTerm) {
            EXPECT_GE(took, Process::kTerminationGrace);
        }
        EXPECT_LT(took, std::chrono::seconds(30));
        EXPECT_TRUE(eventually([&] { return !alive(pids[1]); })) << "grandchild " << pids[1];
    }
}

TEST(Process, CancelFromAnotherThreadEndsAWaitAtOnce) {
    ev_test::TempDir dir;
    Process child(kSh, hangingScript(dir / "pids", false));
    const auto pids = pidsWritten(dir / "pids", 2);
    ASSERT_EQ(pids.size(), 2u);
    std::thread canceller([&] { child.cancel(); });
    const auto start = Clock::now();
    const ProcessEnd end = child.waitFor(std::chrono::hours(1));
    canceller.join();
    EXPECT_EQ(end.kind, ProcessEnd::Kind::cancelled);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(eventually([&] { return !alive(pids[1]); }));

    // The plain wait, and so the destructor, can be cut short too; the child
    // did not exit on its own, so there is no status.
    bool hadStatus = true;
    {
        Process hung(kSh, {"-c", "sleep 3600"});
        std::thread other([&] { hung.cancel(); });
        hadStatus = hung.wait().has_value();
        other.join();
    }
    EXPECT_FALSE(hadStatus);
}
