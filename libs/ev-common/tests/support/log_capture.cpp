#include "log_capture.hpp"

#include <spdlog/sinks/base_sink.h>

#include <algorithm>

namespace ev_test {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> lines_;
};

LogCapture::LogCapture(spdlog::level::level_enum level)
    : sink_(std::make_shared<Sink>()),
      previous_(spdlog::default_logger()),
      previousLevel_(spdlog::default_logger()->level()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(level);
    spdlog::set_default_logger(logger);
}

LogCapture::LogCapture(attach_t)
    : sink_(std::make_shared<Sink>()),
      previous_(spdlog::default_logger()),
      previousLevel_(spdlog::default_logger()->level()),
      attached_(spdlog::default_logger()) {
    attached_->sinks().push_back(sink_);
}

LogCapture::~LogCapture() {
    if (attached_) {
        auto& sinks = attached_->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
        return;
    }
    spdlog::set_default_logger(previous_);
    previous_->set_level(previousLevel_);
}

std::vector<LogLine> LogCapture::lines() const {
    return sink_->snapshot();
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (auto& l : lines()) out.push_back(l.text);
    return out;
}

bool LogCapture::has(spdlog::level::level_enum level, const std::string& text) const {
    auto all = lines();
    return std::any_of(all.begin(), all.end(),
                       [&](const LogLine& l) { return l.level == level && l.text == text; });
}

bool LogCapture::has(const std::string& text) const {
    return count(text) > 0;
}

std::size_t LogCapture::count(const std::string& text) const {
    auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.text == text; }));
}

long LogCapture::indexOf(const std::string& text, std::size_t from) const {
    auto all = lines();
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i].text == text) return static_cast<long>(i);
    }
    return -1;
}

void LogCapture::clear() {
    sink_->reset();
}

std::string LogCapture::dump() const {
    std::string out;
    for (auto& l : lines()) {
        auto name = spdlog::level::to_string_view(l.level);
        out += "[" + std::string(name.data(), name.size()) + "] " + l.text + "\n";
    }
    return out;
}

}  // namespace ev_test
