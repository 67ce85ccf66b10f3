// Test helper: installs a capturing sink as the process-wide default logger
// for the lifetime of the object, so tests can assert on the exact log lines
// a component writes. The previous default logger is put back on destruction.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ev_test {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;
};

class LogCapture {
public:
    explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace);
    // Leaves the current default logger in place and adds the capturing sink
    // to it (for code that installs a logger of its own, such as
    // service::initialize); the sink is taken off again on destruction.
    struct attach_t {};
    static constexpr attach_t attach{};
    explicit LogCapture(attach_t);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    // True when a line with exactly this text was logged at this level.
    bool has(spdlog::level::level_enum level, const std::string& text) const;
    bool has(const std::string& text) const;
    // Number of lines with exactly this text, at any level.
    std::size_t count(const std::string& text) const;
    // Index of the first line with this text at or after `from`, or -1.
    long indexOf(const std::string& text, std::size_t from = 0) const;
    void clear();
    // Everything captured, one line each as "[level] text", for failure messages.
    std::string dump() const;

    class Sink;

private:
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
    spdlog::level::level_enum previousLevel_;
    std::shared_ptr<spdlog::logger> attached_;
};

}  // namespace ev_test
