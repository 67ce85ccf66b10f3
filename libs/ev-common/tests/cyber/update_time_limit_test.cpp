// The update tool under a time limit: a stand-in that behaves at the fresh
// start-up run (it runs the real tool in the sandbox) and then hangs, dies of
// a signal, or waits to be cut short by the service's shutdown.
#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "ca_store_sandbox.hpp"
#include "log_capture.hpp"

namespace fs = std::filesystem;
using ev_common::AddCertificateStatus;
using ev_common::Certificate;
using ev_common::LinuxCaCertificateStore;
using ev_common::SameName;
using Clock = std::chrono::steady_clock;
using spdlog::level::err;

namespace {

template <typename Pred>
bool eventually(Pred pred) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

class UpdateTimeLimitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ev_test::writeFile(tool(),
                           "#!/bin/sh\n"
                           "for a; do [ \"$a\" = --fresh ] && exec " +
                               ev_test::kUpdateTool +
                               " \"$@\"; done\n"
                               "mode=$(cat '" +
                               mode().string() +
                               "' 2>/dev/null)\n"
                               "case \"$mode\" in\n"
                               "  hang) trap '' TERM; sleep 3600 & echo $$ $! > '" +
                               pids().string() +
                               "'; wait ;;\n"
                               "  kill) kill -9 $$ ;;\n"
                               "esac\n"
                               "exec " +
                               ev_test::kUpdateTool + " \"$@\"\n");
        fs::permissions(tool(), fs::perms::owner_all);
        ASSERT_TRUE(store.init(sandbox.linuxDir(), sandbox.userDir(), tool().string(), "--fresh",
                               sandbox.toolArguments()))
            << log.dump();
    }

    fs::path tool() const { return sandbox.root() / "tool.sh"; }
    fs::path mode() const { return sandbox.root() / "mode"; }
    fs::path pids() const { return sandbox.root() / "pids"; }
    // The tool and the grandchild it left in its group, once it recorded them.
    std::vector<pid_t> toolPids() const {
        std::vector<pid_t> found;
        eventually([&] {
            found.clear();
            std::ifstream in(pids());
            for (pid_t pid; in >> pid;) found.push_back(pid);
            return found.size() == 2;
        });
        return found;
    }
    AddCertificateStatus add(const std::string& name, const std::string& pem, uint32_t& id) {
        return store.addCertificate(Certificate(pem), name, id, SameName::replace);
    }

    ev_test::LogCapture log;
    ev_test::CaSandbox sandbox;
    LinuxCaCertificateStore store;
};

}  // namespace

TEST_F(UpdateTimeLimitTest, AToolPastItsLimitIsEndedAndTheReplacedCertificateStays) {
    const std::string previous = ev_test::makeCaPem("Previous");
    uint32_t id = 0;
    ASSERT_EQ(add("mine", previous, id), AddCertificateStatus::success) << log.dump();
    const auto userBefore = entries(sandbox.userDir());
    const auto systemBefore = entries(sandbox.linuxDir());

    // The tool ignores SIGTERM, so only the SIGKILL after the grace ends it.
    ev_test::writeFile(mode(), "hang");
    store.setUpdateTimeout(std::chrono::seconds(1));
    const auto start = Clock::now();
    uint32_t newId = 0;
    EXPECT_EQ(add("mine", ev_test::makeCaPem("Replacement"), newId),
              AddCertificateStatus::internal_error);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(1));
    EXPECT_LT(took, std::chrono::seconds(60));
    EXPECT_TRUE(log.has(
        err, "[ca-store] Update certificate command timed out (limit = 1s) => " + tool().string()))
        << log.dump();
    for (const pid_t pid : toolPids()) EXPECT_TRUE(eventually([&] { return !alive(pid); })) << pid;

    EXPECT_EQ(ev_test::readFile(sandbox.userDir() / "mine.crt"), previous);
    EXPECT_EQ(entries(sandbox.userDir()), userBefore);
    EXPECT_EQ(entries(sandbox.linuxDir()), systemBefore);
    const auto info = store.getCertificateInfo(id);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->name, "mine");
}

TEST_F(UpdateTimeLimitTest, AToolKilledByASignalFailsWithItsOwnLine) {
    ev_test::writeFile(mode(), "kill");
    uint32_t id = 0;
    EXPECT_EQ(add("doomed", ev_test::makeCaPem("Doomed"), id),
              AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(
        err, "[ca-store] Update certificate command killed by signal 9 => " + tool().string()))
        << log.dump();
    EXPECT_TRUE(entries(sandbox.userDir()).empty());
    EXPECT_EQ(store.getCertificates().size(), 3u);
}

TEST_F(UpdateTimeLimitTest, CancellingUpdatesEndsTheRunningToolAndRefusesLaterRuns) {
    ev_test::writeFile(mode(), "hang");
    store.setUpdateTimeout(std::chrono::hours(1));
    auto addition = std::async(std::launch::async, [&] {
        uint32_t id = 0;
        return add("late", ev_test::makeCaPem("Late"), id);
    });
    const auto pids = toolPids();
    ASSERT_EQ(pids.size(), 2u);
    store.cancelUpdates();
    ASSERT_EQ(addition.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(addition.get(), AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(err,
                        "[ca-store] Update certificate command stopped, the service is shutting "
                        "down => " +
                            tool().string()))
        << log.dump();
    for (const pid_t pid : pids) EXPECT_TRUE(eventually([&] { return !alive(pid); })) << pid;

    uint32_t id = 0;
    EXPECT_EQ(add("later", ev_test::makeCaPem("Later"), id), AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(err,
                        "[ca-store] Update certificate command not started, the service is "
                        "shutting down => " +
                            tool().string()));
    EXPECT_TRUE(entries(sandbox.userDir()).empty());
}
