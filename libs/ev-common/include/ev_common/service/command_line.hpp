// The command line shared by every daemon of the platform: options, usage
// text and the defaults they override. Parsed once by service::initialize.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace ev_common::service {

struct command_line_options {
    int log_level = 2;
    std::string working_directory = ".";
    std::optional<std::string> configuration_description_path;
    std::optional<std::string> configuration_file_path;
    std::optional<std::string> database_path;
    bool no_stdout = false;
    bool syslog = false;
    bool no_log_ts = false;
    bool no_systemd = false;
};

enum class parse_result { ok, help, error };

// Walks argv once, left to right; "-h", an unknown option or an option
// without its value print to `out` (usage, "Unknown parameter : ...").
parse_result parse_command_line(int argc, const char* const argv[], command_line_options& options,
                                std::ostream& out);

// The usage text for a program path (only its file-name component is shown).
void print_usage(const std::string& program_path, std::ostream& out);

}  // namespace ev_common::service
