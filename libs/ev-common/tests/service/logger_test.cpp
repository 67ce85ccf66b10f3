#include "ev_common/service/logger_setup.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// A stand-in for the C library's syslog calls, linked into this test binary
// only, that records what the syslog sink hands to syslog.
namespace {

struct SyslogRecord {
    int priority;
    std::string format;
    std::string text;
};

struct SyslogState {
    std::mutex mutex;
    std::string ident;
    int option = -1;
    int facility = -1;
    int opens = 0;
    int closes = 0;
    std::vector<SyslogRecord> records;
} g_syslog;

void record(int priority, const char* format, va_list args) {
    char buffer[1024];
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    std::lock_guard<std::mutex> lock(g_syslog.mutex);
    g_syslog.records.push_back({priority, format, buffer});
}

}  // namespace

extern "C" {
void openlog(const char* ident, int option, int facility) {
    std::lock_guard<std::mutex> lock(g_syslog.mutex);
    g_syslog.ident = ident != nullptr ? ident : "";
    g_syslog.option = option;
    g_syslog.facility = facility;
    ++g_syslog.opens;
}
void closelog() {
    std::lock_guard<std::mutex> lock(g_syslog.mutex);
    ++g_syslog.closes;
}
void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}
}

using ev_common::service::command_line_options;
using ev_common::service::setup_logger;

namespace {

// Puts the library's built-in default logger back after each test.
class LoggerSetup : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = spdlog::default_logger();
        std::lock_guard<std::mutex> lock(g_syslog.mutex);
        g_syslog.records.clear();
    }
    void TearDown() override {
        spdlog::set_default_logger(previous_);
        spdlog::set_level(spdlog::level::info);
    }
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace

TEST_F(LoggerSetup, StdoutSinkComesFirstThenSyslogBothAtTheStartUpLevel) {
    command_line_options options;
    options.log_level = 1;
    options.syslog = true;
    options.no_log_ts = true;
    setup_logger("cybersecurity_service", options);

    auto logger = spdlog::default_logger();
    EXPECT_EQ(logger->name(), "cybersecurity_service");
    ASSERT_EQ(logger->sinks().size(), 2u);
    EXPECT_TRUE(
        std::dynamic_pointer_cast<spdlog::sinks::ansicolor_stdout_sink_mt>(logger->sinks()[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<spdlog::sinks::syslog_sink_mt>(logger->sinks()[1]));
    for (auto& sink : logger->sinks()) EXPECT_EQ(sink->level(), spdlog::level::debug);
    EXPECT_EQ(logger->level(), spdlog::level::debug);
    EXPECT_EQ(logger->flush_level(), spdlog::level::debug);
}

TEST_F(LoggerSetup, SyslogReceivesBareMessagesWithTheServiceIdentityAndMappedPriorities) {
    command_line_options options;
    options.log_level = 0;
    options.syslog = true;
    options.no_stdout = true;
    {
        std::lock_guard<std::mutex> lock(g_syslog.mutex);
        g_syslog.opens = g_syslog.closes = 0;
    }
    setup_logger("cybersecurity_service", options);
    ASSERT_EQ(spdlog::default_logger()->sinks().size(), 1u);

    spdlog::trace("t {}", 1);
    spdlog::debug("d");
    spdlog::info("Initializing");
    spdlog::warn("w %s %n");  // printf directives must reach syslog as text
    spdlog::error("e");
    spdlog::critical("c");

    std::lock_guard<std::mutex> lock(g_syslog.mutex);
    EXPECT_EQ(g_syslog.ident, "cybersecurity_service");
    EXPECT_EQ(g_syslog.option, 0);
    EXPECT_EQ(g_syslog.facility, 0);
    EXPECT_EQ(g_syslog.opens, 1);
    ASSERT_EQ(g_syslog.records.size(), 6u);
    const int expected[] = {LOG_DEBUG, LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR, LOG_CRIT};
    const char* texts[] = {"t 1", "d", "Initializing", "w %s %n", "e", "c"};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(g_syslog.records[i].priority, expected[i]) << i;
        EXPECT_EQ(g_syslog.records[i].format, "%.*s") << i;
        EXPECT_EQ(g_syslog.records[i].text, texts[i]) << i;
    }
}

TEST_F(LoggerSetup, SyslogSinkDropsMessagesBelowTheStartUpLevelAndClosesTheConnection) {
    command_line_options options;
    options.log_level = 4;
    options.syslog = true;
    options.no_stdout = true;
    int closesBefore = 0;
    {
        std::lock_guard<std::mutex> lock(g_syslog.mutex);
        closesBefore = g_syslog.closes;
    }
    setup_logger("svc", options);
    spdlog::warn("hidden");
    spdlog::error("shown");
    // Lowering the loggers' level later does not lower the sink's.
    spdlog::set_level(spdlog::level::trace);
    spdlog::info("still hidden");
    spdlog::set_default_logger(previous_);
    spdlog::drop("svc");
    std::lock_guard<std::mutex> lock(g_syslog.mutex);
    ASSERT_EQ(g_syslog.records.size(), 1u);
    EXPECT_EQ(g_syslog.records[0].text, "shown");
    EXPECT_EQ(g_syslog.closes, closesBefore + 1);
}

TEST_F(LoggerSetup, WithoutAnySinkEverythingIsSwitchedOff) {
    command_line_options options;
    options.no_stdout = true;
    setup_logger("cybersecurity_service", options);
    EXPECT_NE(spdlog::default_logger()->name(), "cybersecurity_service");
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::off);
    EXPECT_FALSE(spdlog::default_logger()->should_log(spdlog::level::critical));
}
