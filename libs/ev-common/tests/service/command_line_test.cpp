#include "ev_common/service/command_line.hpp"
#include "ev_common/service/command_pipe.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace ev_common::service;

namespace {

const std::string kUsage =
    "Usage :\n"
    "cybersecurity_service [-h] [-l log_level] [-w working_dir] [-c config_desc_path] "
    "[-f config_file_path] [-d database_path] [--no-stdout] [--syslog] [--no-log-ts] "
    "[--no-systemd]\n"
    "\n"
    "\t-h\t\t Display this help message\n"
    "\t-l log_level\t Set the log level (0 = trace, 5 = critical, 6 = off)\n"
    "\t-w working_dir\t Set the working directory path\n"
    "\t-c config_desc_path\t Path to the configuration description file to use\n"
    "\t-f config_file_path\t Path to the configuration file to use\n"
    "\t-d database_path\t Path to the database to use\n"
    "\t--no-systemd\t Indicate that systemd features (watchdog, startup notification...) are "
    "not used\n"
    "\t--no-stdout\t Disable logs output on stdout\n"
    "\t--no-log-ts\t Disable timestamp in logs output\n"
    "\t--syslog\t Enable logs output on syslog\n";

struct Parsed {
    parse_result result;
    command_line_options options;
    std::string output;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "/usr/sbin/cybersecurity_service");
    Parsed parsed{};
    std::ostringstream out;
    parsed.result =
        parse_command_line(static_cast<int>(args.size()), args.data(), parsed.options, out);
    parsed.output = out.str();
    return parsed;
}

}  // namespace

TEST(CommandLine, DefaultsApplyWithoutArguments) {
    auto p = parse({});
    EXPECT_EQ(p.result, parse_result::ok);
    EXPECT_EQ(p.options.log_level, 2);
    EXPECT_EQ(p.options.working_directory, ".");
    EXPECT_FALSE(p.options.configuration_description_path);
    EXPECT_FALSE(p.options.configuration_file_path);
    EXPECT_FALSE(p.options.database_path);
    EXPECT_FALSE(p.options.no_stdout || p.options.syslog || p.options.no_log_ts ||
                 p.options.no_systemd);
    EXPECT_TRUE(p.output.empty());
}

TEST(CommandLine, PrintsTheUsageTextByteForByteWithTheProgramsBaseName) {
    auto p = parse({"-h"});
    EXPECT_EQ(p.result, parse_result::help);
    EXPECT_EQ(p.output, kUsage);

    std::ostringstream out;
    print_usage("/opt/bin/", out);
    EXPECT_EQ(out.str().substr(0, 10), "Usage :\n [");
    out.str("");
    print_usage("cybersecurity_service", out);
    EXPECT_EQ(out.str(), kUsage);
}

TEST(CommandLine, HelpAfterValidOptionsStillStops) {
    auto p = parse({"-l", "1", "--syslog", "-h", "-w", "/tmp"});
    EXPECT_EQ(p.result, parse_result::help);
    EXPECT_EQ(p.output, kUsage);
    EXPECT_EQ(p.options.working_directory, ".");
}

TEST(CommandLine, RefusesUnknownOptionsValueOptionsWithoutValueAndGluedLetters) {
    for (const char* bad : {"-x", "-lx", "--no-systemdx", "plain", "-"}) {
        auto p = parse({"--no-stdout", bad});
        EXPECT_EQ(p.result, parse_result::error) << bad;
        EXPECT_EQ(p.output, std::string("Unknown parameter : ") + bad + "\n" + kUsage) << bad;
    }
    for (const char* last : {"-l", "-w", "-c", "-f", "-d"}) {
        auto p = parse({"-l", "3", last});
        EXPECT_EQ(p.result, parse_result::error) << last;
        EXPECT_EQ(p.output, std::string("Unknown parameter : ") + last + "\n" + kUsage);
    }
}

TEST(CommandLine, ReadsTheLevelLikeStrtolAndIgnoresOutOfRangeValues) {
    EXPECT_EQ(parse({"-l", "4"}).options.log_level, 4);
    EXPECT_EQ(parse({"-l", "5", "-l", "7"}).options.log_level, 5);
    EXPECT_EQ(parse({"-l", "-1"}).options.log_level, 2);
    EXPECT_EQ(parse({"-l", "abc"}).options.log_level, 0);
    EXPECT_EQ(parse({"-l", "3xyz"}).options.log_level, 3);
    EXPECT_EQ(parse({"-l", "99999999999999999999"}).options.log_level, 2);
    // The value is consumed even when ignored.
    auto p = parse({"-l", "9", "--no-log-ts"});
    EXPECT_EQ(p.result, parse_result::ok);
    EXPECT_TRUE(p.options.no_log_ts);
}

TEST(CommandLine, TakesEveryValueOptionAndLetsTheLastOccurrenceWin) {
    auto p = parse({"-w", "/a", "-c", "first.json", "-f", "conf.json", "-d", "db.sqlite", "-c",
                    "second.json", "-w", "/b", "--no-stdout", "--syslog", "--no-log-ts",
                    "--no-systemd"});
    ASSERT_EQ(p.result, parse_result::ok);
    EXPECT_EQ(p.options.working_directory, "/b");
    EXPECT_EQ(p.options.configuration_description_path, "second.json");
    EXPECT_EQ(p.options.configuration_file_path, "conf.json");
    EXPECT_EQ(p.options.database_path, "db.sqlite");
    EXPECT_TRUE(p.options.no_stdout && p.options.syslog && p.options.no_log_ts &&
                p.options.no_systemd);
    // A value that looks like an option is still a value.
    EXPECT_EQ(parse({"-c", "-h"}).options.configuration_description_path, "-h");
}

namespace {

std::vector<std::string> describe(const std::vector<pipe_event>& events) {
    std::vector<std::string> out;
    for (auto& e : events) {
        switch (e.type) {
            case pipe_event::kind::signal:
                out.push_back(std::string("signal ") + static_cast<char>(e.signal));
                break;
            case pipe_event::kind::command:
                out.push_back("command " + e.text);
                break;
            case pipe_event::kind::unknown:
                out.push_back("unknown " + e.text);
                break;
        }
    }
    return out;
}

using Events = std::vector<std::string>;

}  // namespace

TEST(CommandPipe, SplitsCommandsThatArriveTogetherInTheirOrder) {
    std::string pending = "inc_log_levelexit";
    EXPECT_EQ(describe(split_commands(pending, false)),
              (Events{"command inc_log_level", "command exit"}));
    EXPECT_TRUE(pending.empty());

    pending = std::string(
        "\x01"
        "1inc_log_level\x01"
        "Texit",
        21);
    EXPECT_EQ(describe(split_commands(pending, false)),
              (Events{"signal 1", "command inc_log_level", "signal T", "command exit"}));

    pending = "exit";
    EXPECT_EQ(describe(split_commands(pending, false)), (Events{"command exit"}));
}

TEST(CommandPipe, ReportsTextThatIsNoCommandAndKeepsTheCommandsAroundIt) {
    std::string pending = std::string(
        "hello\x01"
        "2dec_log_level",
        20);
    EXPECT_EQ(describe(split_commands(pending, false)),
              (Events{"unknown hello", "signal 2", "command dec_log_level"}));
    pending = "dec_log_levelbogus";
    EXPECT_EQ(describe(split_commands(pending, false)),
              (Events{"command dec_log_level", "unknown bogus"}));
    pending = "exi";
    EXPECT_EQ(describe(split_commands(pending, false)), (Events{"unknown exi"}));
    EXPECT_TRUE(pending.empty());
}

TEST(CommandPipe, KeepsACommandCutByAFullReadForTheNextRead) {
    // 31 bytes: two commands and the first five bytes of a third.
    std::string pending = "inc_log_levelinc_log_leveldec_l";
    ASSERT_EQ(pending.size(), 31u);
    EXPECT_EQ(describe(split_commands(pending, true)),
              (Events{"command inc_log_level", "command inc_log_level"}));
    EXPECT_EQ(pending, "dec_l");
    pending += "og_level";
    EXPECT_EQ(describe(split_commands(pending, false)), (Events{"command dec_log_level"}));

    pending = std::string("exitexitexitexitexitexitexit\x01", 29);
    auto events = split_commands(pending, true);
    EXPECT_EQ(events.size(), 7u);
    EXPECT_EQ(pending, "\x01");
}
