#include "ev_common/service/command_line.hpp"

#include <cstdlib>
#include <cstring>

namespace ev_common::service {

void print_usage(const std::string& program_path, std::ostream& out) {
    const auto slash = program_path.find_last_of('/');
    const std::string program =
        slash == std::string::npos ? program_path : program_path.substr(slash + 1);
    out << "Usage :" << std::endl;
    out << program
        << " [-h] [-l log_level] [-w working_dir] [-c config_desc_path] [-f config_file_path]"
           " [-d database_path]"
        << " [--no-stdout] [--syslog] [--no-log-ts] [--no-systemd]" << std::endl;
    out << std::endl;
    out << "\t-h\t\t Display this help message" << std::endl;
    out << "\t-l log_level\t Set the log level (0 = trace, 5 = critical, 6 = off)" << std::endl;
    out << "\t-w working_dir\t Set the working directory path" << std::endl;
    out << "\t-c config_desc_path\t Path to the configuration description file to use" << std::endl;
    out << "\t-f config_file_path\t Path to the configuration file to use" << std::endl;
    out << "\t-d database_path\t Path to the database to use" << std::endl;
    out << "\t--no-systemd\t Indicate that systemd features (watchdog, startup notification...) "
           "are not used"
        << std::endl;
    out << "\t--no-stdout\t Disable logs output on stdout" << std::endl;
    out << "\t--no-log-ts\t Disable timestamp in logs output" << std::endl;
    out << "\t--syslog\t Enable logs output on syslog" << std::endl;
}

parse_result parse_command_line(int argc, const char* const argv[], command_line_options& options,
                                std::ostream& out) {
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h") {
            print_usage(program, out);
            return parse_result::help;
        }
        if (arg == "--no-systemd") {
            options.no_systemd = true;
            continue;
        }
        if (arg == "--no-stdout") {
            options.no_stdout = true;
            continue;
        }
        if (arg == "--no-log-ts") {
            options.no_log_ts = true;
            continue;
        }
        if (arg == "--syslog") {
            options.syslog = true;
            continue;
        }
        if (arg.size() == 2 && arg[0] == '-' && std::strchr("lwcfd", arg[1]) != nullptr &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            switch (arg[1]) {
                case 'l': {
                    // strtol semantics: text that is no number selects 0 (trace).
                    const long level = std::strtol(value.c_str(), nullptr, 10);
                    if (level >= 0 && level <= 6) options.log_level = static_cast<int>(level);
                    break;
                }
                case 'w':
                    options.working_directory = value;
                    break;
                case 'c':
                    options.configuration_description_path = value;
                    break;
                case 'f':
                    options.configuration_file_path = value;
                    break;
                case 'd':
                    options.database_path = value;
                    break;
            }
            continue;
        }
        out << "Unknown parameter : " << arg << std::endl;
        print_usage(program, out);
        return parse_result::error;
    }
    return parse_result::ok;
}

}  // namespace ev_common::service
