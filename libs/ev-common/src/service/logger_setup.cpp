#include "ev_common/service/logger_setup.hpp"

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <vector>

namespace ev_common::service {

void setup_logger(const std::string& service_name, const command_line_options& options) {
    const auto level = static_cast<spdlog::level::level_enum>(options.log_level);
    std::vector<spdlog::sink_ptr> sinks;
    if (!options.no_stdout) {
        auto sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(
            spdlog::color_mode::automatic);
        sink->set_level(level);
        if (options.no_log_ts) sink->set_pattern("[%n] [%l] %v");
        sinks.push_back(sink);
    }
    if (options.syslog) {
        // Option flags 0 and facility 0 leave the system default (user-level);
        // formatting off: each record is the bare message text.
        auto sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(service_name, 0, 0,
                                                                    /*enable_formatting=*/false);
        sink->set_level(level);
        sinks.push_back(sink);
    }
    if (sinks.empty()) {
        spdlog::set_level(spdlog::level::off);
        return;
    }
    auto logger = std::make_shared<spdlog::logger>(service_name, sinks.begin(), sinks.end());
    spdlog::set_default_logger(logger);
    spdlog::set_level(level);
    logger->flush_on(level);
}

}  // namespace ev_common::service
