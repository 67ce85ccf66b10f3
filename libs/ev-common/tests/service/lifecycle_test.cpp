#include "ev_common/service/service.hpp"

#include "log_capture.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/sink.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono;

namespace {

class test_service : public ev_common::service::service {
public:
    explicit test_service(bool start_ok = true, bool stop_ok = true)
        : service("cybersecurity_service", false), start_ok_(start_ok), stop_ok_(stop_ok) {}
    ~test_service() override = default;

    std::atomic<int> stops{0};

protected:
    bool specific_init() override { return true; }
    bool specific_start() override { return start_ok_; }
    bool specific_stop() override {
        ++stops;
        return stop_ok_;
    }

private:
    bool start_ok_;
    bool stop_ok_;
};

bool initialize(test_service& svc, const char* level = "0") {
    const char* argv[] = {"cybersecurity_service", "--no-systemd", "--no-log-ts", "-l", level};
    return svc.initialize(5, argv);
}

template <typename Predicate>
bool waitFor(Predicate predicate, milliseconds timeout = seconds(20)) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return predicate();
}

spdlog::level::level_enum level() {
    return spdlog::default_logger()->level();
}

}  // namespace

TEST(ServiceLifecycle, TerminationSignalsEndTheLoopWithExitCodeZeroAndTheirLinesInOrder) {
    const std::pair<int, std::string> signals[] = {
        {SIGTERM, "Termination signal received (SIGTERM)"},
        {SIGINT, "Interrupt signal received (SIGINT)"}};
    for (const auto& [signal_number, line] : signals) {
        test_service svc;
        ASSERT_TRUE(initialize(svc));
        ev_test::LogCapture capture(ev_test::LogCapture::attach);
        auto result = std::async(std::launch::async, [&] { return svc.run(); });
        ASSERT_TRUE(waitFor([&] { return svc.is_running(); }));
        ::kill(::getpid(), signal_number);
        ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        EXPECT_FALSE(svc.is_running());
        EXPECT_EQ(svc.stops.load(), 1);

        const long received = capture.indexOf(line);
        const long stopping = capture.indexOf("Stopping...");
        const long command = capture.indexOf("Command received : exit");
        const long exiting = capture.indexOf("Exiting");
        EXPECT_TRUE(capture.has(spdlog::level::debug, line)) << capture.dump();
        EXPECT_TRUE(capture.has(spdlog::level::info, "Stopping..."));
        EXPECT_TRUE(capture.has(spdlog::level::debug, "Command received : exit"));
        EXPECT_TRUE(received >= 0 && received < stopping && stopping < command && command < exiting)
            << capture.dump();
        EXPECT_EQ(capture.count(line), 1u);
        EXPECT_EQ(capture.count("Stopping..."), 1u);
    }
}

TEST(ServiceLifecycle, LevelSignalsStepTheLoggersOneLevelButLeaveTheSinksAtTheStartUpLevel) {
    test_service svc;
    ASSERT_TRUE(initialize(svc, "2"));
    ev_test::LogCapture capture(ev_test::LogCapture::attach);
    auto result = std::async(std::launch::async, [&] { return svc.run(); });
    ASSERT_TRUE(waitFor([&] { return svc.is_running(); }));

    ::kill(::getpid(), SIGUSR1);
    ASSERT_TRUE(waitFor([] { return level() == spdlog::level::debug; }));
    EXPECT_TRUE(waitFor([&] { return capture.has(spdlog::level::info, "New log level : debug"); }));
    EXPECT_EQ(spdlog::default_logger()->sinks()[0]->level(), spdlog::level::info);

    ::kill(::getpid(), SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return capture.count("New log level : trace") == 1; }));
    ::kill(::getpid(), SIGUSR1);  // already at trace: stays there
    ASSERT_TRUE(waitFor([&] { return capture.count("New log level : trace") == 2; }));
    EXPECT_EQ(level(), spdlog::level::trace);
    EXPECT_TRUE(capture.has(spdlog::level::debug, "Increase log level signal received (SIGUSR1)"));

    const spdlog::level::level_enum upwards[] = {spdlog::level::debug,    spdlog::level::info,
                                                 spdlog::level::warn,     spdlog::level::err,
                                                 spdlog::level::critical, spdlog::level::off};
    for (auto expected : upwards) {
        ::kill(::getpid(), SIGUSR2);
        ASSERT_TRUE(waitFor([&] { return level() == expected; })) << expected;
    }
    EXPECT_TRUE(capture.has(spdlog::level::info, "New log level : info"));
    // Above info the line announcing the new level is itself filtered out.
    EXPECT_FALSE(capture.has("New log level : warning"));

    // Once at off a further step changes nothing: the next step down is critical.
    ::kill(::getpid(), SIGUSR2);
    std::this_thread::sleep_for(milliseconds(300));  // nothing observable to wait for at off
    ::kill(::getpid(), SIGUSR1);
    EXPECT_TRUE(waitFor([] { return level() == spdlog::level::critical; }));

    ASSERT_TRUE(svc.stop(0));
    ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
}

TEST(ServiceLifecycle, CommandsPostedTogetherAreAllCarriedOut) {
    test_service svc;
    ASSERT_TRUE(initialize(svc, "2"));
    ev_test::LogCapture capture(ev_test::LogCapture::attach);
    auto result = std::async(std::launch::async, [&] { return svc.run(); });
    ASSERT_TRUE(waitFor([&] { return svc.is_running(); }));
    ::kill(::getpid(), SIGUSR1);
    ::kill(::getpid(), SIGTERM);
    ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(capture.has("New log level : debug")) << capture.dump();
    EXPECT_LT(capture.indexOf("New log level : debug"), capture.indexOf("Stopping..."));
}

TEST(ServiceLifecycle, StopActsOnlyWhileRunningAndItsCodeBecomesTheExitCode) {
    test_service svc;
    ASSERT_TRUE(initialize(svc));
    ev_test::LogCapture capture(ev_test::LogCapture::attach);
    EXPECT_FALSE(svc.stop(3));
    EXPECT_FALSE(capture.has("Stopping..."));

    auto result = std::async(std::launch::async, [&] { return svc.run(); });
    ASSERT_TRUE(waitFor([&] { return svc.is_running(); }));
    // While running, a second run returns the current exit code at once and
    // a second initialize is refused.
    EXPECT_EQ(svc.run(), 1);
    const char* argv[] = {"cybersecurity_service", "--no-systemd"};
    EXPECT_FALSE(svc.initialize(2, argv));
    EXPECT_TRUE(svc.stop(7));
    ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 7);
    EXPECT_EQ(capture.count("Stopping..."), 1u);
    EXPECT_TRUE(capture.has(spdlog::level::info, "Starting"));
    EXPECT_TRUE(capture.has(spdlog::level::info, "Exiting"));
    EXPECT_FALSE(svc.stop(0));
}

TEST(ServiceLifecycle, AFailedStartNeverRunsAndAFailedStopIsOnlyReported) {
    {
        test_service svc(false, true);
        ASSERT_TRUE(initialize(svc));
        ev_test::LogCapture capture(ev_test::LogCapture::attach);
        EXPECT_EQ(svc.run(), 1);
        EXPECT_TRUE(capture.has(spdlog::level::critical, "Unable to start service"));
        EXPECT_FALSE(capture.has("Exiting"));
        EXPECT_EQ(svc.stops.load(), 0);
    }
    {
        test_service svc(true, false);
        ASSERT_TRUE(initialize(svc));
        ev_test::LogCapture capture(ev_test::LogCapture::attach);
        auto result = std::async(std::launch::async, [&] { return svc.run(); });
        ASSERT_TRUE(waitFor([&] { return svc.is_running(); }));
        ::kill(::getpid(), SIGTERM);
        ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        EXPECT_TRUE(capture.has(spdlog::level::warn, "Failed specific stop process"));
        EXPECT_LT(capture.indexOf("Failed specific stop process"), capture.indexOf("Exiting"));
    }
}

// A signal that comes while the service still starts (during its own
// initialisation, or after it but before the loop runs) is carried out as
// soon as the loop runs, with the signal's exit code and lines.
TEST(ServiceLifecycle, ATerminationSignalBeforeTheLoopRunsIsCarriedOutByIt) {
    class signalled_during_init : public test_service {
    protected:
        bool specific_init() override {
            ::kill(::getpid(), SIGTERM);
            return true;
        }
    };
    for (const bool during_init : {true, false}) {
        SCOPED_TRACE(during_init ? "during specific_init" : "between initialize and run");
        std::unique_ptr<test_service> svc = during_init ? std::make_unique<signalled_during_init>()
                                                        : std::make_unique<test_service>();
        ASSERT_TRUE(initialize(*svc));
        ev_test::LogCapture capture(ev_test::LogCapture::attach);
        if (!during_init) ::kill(::getpid(), SIGINT);
        EXPECT_TRUE(svc->stop_requested());
        auto result = std::async(std::launch::async, [&] { return svc->run(); });
        ASSERT_EQ(result.wait_for(seconds(20)), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        EXPECT_TRUE(capture.has(spdlog::level::debug, during_init
                                                          ? "Termination signal received (SIGTERM)"
                                                          : "Interrupt signal received (SIGINT)"));
        EXPECT_LT(capture.indexOf("Starting"), capture.indexOf("Stopping..."));
        EXPECT_LT(capture.indexOf("Stopping..."), capture.indexOf("Exiting"));
        EXPECT_EQ(svc->stops.load(), 1);
    }
}
