#include "ev_common/service/service.hpp"

#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/service/command_pipe.hpp"
#include "ev_common/service/ipc_subsystem.hpp"
#include "ev_common/service/logger_setup.hpp"
#include "ev_common/system/file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace ev_common::service {

namespace {

std::atomic<service*> g_service{nullptr};

}  // namespace

struct signal_dispatch {
    static void on_terminate(int signal_number, siginfo_t*, void*) {
        const int saved_errno = errno;
        service* s = g_service.load();
        if (s != nullptr) {
            const char marked[] = {
                command_pipe_mark,
                static_cast<char>(signal_number == SIGINT ? pipe_signal::interrupt
                                                          : pipe_signal::terminate),
                'e',
                'x',
                'i',
                't'};
            s->request_stop(marked, sizeof(marked));
        }
        errno = saved_errno;
    }

    static void on_level(int signal_number, siginfo_t*, void*) {
        const int saved_errno = errno;
        service* s = g_service.load();
        if (s != nullptr) {
            const bool increase = signal_number == SIGUSR1;
            char marked[2 + 13] = {command_pipe_mark,
                                   static_cast<char>(increase ? pipe_signal::increase_level
                                                              : pipe_signal::decrease_level)};
            std::memcpy(marked + 2, increase ? "inc_log_level" : "dec_log_level", 13);
            s->post(marked, sizeof(marked));
        }
        errno = saved_errno;
    }
};

service::service(const std::string& name, bool use_database)
    : name_(name),
      use_database_(use_database),
      configuration_(std::make_unique<ev_common::ConfigParameterProvider>()) {
    g_service.store(this);
    initialize_ipc(name_);
    command_pipe_ = makePipe(O_NONBLOCK | O_CLOEXEC);
}

service::~service() {
    if (running_) stop(1);
    service* self = this;
    g_service.compare_exchange_strong(self, nullptr);
    command_pipe_ = Pipe{};
    ZmqIpc_Term();
}

std::string service::get_name() {
    return name_;
}
const std::filesystem::path& service::get_working_directory() {
    return working_directory_;
}
const std::filesystem::path& service::get_configuration_directory() {
    return configuration_directory_;
}
ev_common::IConfigParameterProvider& service::get_configuration() {
    return *configuration_;
}
ev_common::Database& service::get_database() {
    return database_;
}
const std::filesystem::path& service::get_database_path() {
    return database_path_;
}

void service::set_health_check(ev_common::SystemdWatchdog::HealthCheck check) {
    watchdog_.setHealthCheck(std::move(check));
}

bool service::initialize(int argc, const char* const argv[]) {
    if (running_) return false;

    command_line_options options;
    if (parse_command_line(argc, argv, options, std::cout) != parse_result::ok) return false;
    working_directory_ = options.working_directory;

    setup_logger(name_, options);
    spdlog::info("Initializing");

    struct sigaction terminate {};
    terminate.sa_sigaction = &signal_dispatch::on_terminate;
    terminate.sa_flags = SA_SIGINFO;
    sigemptyset(&terminate.sa_mask);
    ::sigaction(SIGINT, &terminate, nullptr);
    ::sigaction(SIGTERM, &terminate, nullptr);
    struct sigaction level {};
    level.sa_sigaction = &signal_dispatch::on_level;
    level.sa_flags = SA_SIGINFO;
    sigemptyset(&level.sa_mask);
    ::sigaction(SIGUSR1, &level, nullptr);
    ::sigaction(SIGUSR2, &level, nullptr);

    const bool watchdog_started = options.no_systemd || watchdog_.start();

    std::error_code ec;
    const auto absolute_working_directory = std::filesystem::absolute(working_directory_, ec);
    if (::chdir(absolute_working_directory.c_str()) != 0) {
        // Not reported: a working directory that cannot be entered leaves the
        // process where it was started.
    }
    if (use_database_) {
        database_path_ = options.database_path ? std::filesystem::path(*options.database_path)
                                               : working_directory_ / (name_ + ".db");
    }
    if (!watchdog_started) return false;

    if (!initialize_configuration(options)) return false;
    if (use_database_ && !initialize_database()) return false;

    if (!specific_init()) {
        spdlog::critical("Unable to initialize service");
        return false;
    }

    if (!options.no_systemd) {
        const int result = sd_notify(0, "READY=1");
        if (result <= 0) {
            spdlog::error("Unable to notify startup to systemd : {}", result);
            return false;
        }
    }
    return true;
}

bool service::initialize_configuration(const command_line_options& options) {
    if (!options.configuration_description_path) {
        after_configuration_description();
        spdlog::warn("No configuration description file provided");
        return true;
    }
    const std::string& description = *options.configuration_description_path;
    configuration_directory_ = std::filesystem::path(description).parent_path();
    spdlog::info("Loading configuration description => {}", description);
    // Refused outright, not read as "missing": a FIFO would block the read
    // for ever, and the rewrite below would replace a device node.
    if (fileKind(description) == FileKind::other) {
        spdlog::critical("Configuration description file [{}] is not a regular file", description);
        return false;
    }
    if (!configuration_->loadDescriptionFile(description)) {
        spdlog::critical("Unable to open configuration description file => {}", description);
        return false;
    }
    after_configuration_description();

    const std::string file = options.configuration_file_path
                                 ? *options.configuration_file_path
                                 : (working_directory_ / (name_ + ".json")).string();
    spdlog::info("Loading configuration file => {}", file);
    if (fileKind(file) == FileKind::other) {
        spdlog::critical("Configuration file [{}] is not a regular file", file);
        return false;
    }
    if (!configuration_->loadConfigurationFile(file, /*strict=*/true)) {
        spdlog::warn("Missing or incorrect configuration file [{}], file will be updated", file);
        if (!configuration_->saveConfigurationFile(file)) {
            spdlog::error("Unable to create configuration file [{}]", file);
            return false;
        }
        spdlog::info("Wrote configuration file [{}]", file);
    }
    configuration_->setConfigurationFilePath(file);
    return true;
}

bool service::initialize_database() {
    const std::string path = database_path_.string();
    spdlog::info("Initializing database access => {}", path);
    if (!database_.open(path)) {
        spdlog::critical("Unable to open database (error = {})", database_.getLastError());
        return false;
    }

    bool failed = false;
    auto foreign_keys = database_.createQuery("PRAGMA foreign_keys = ON;");
    if (foreign_keys && foreign_keys->execute()) {
        spdlog::debug("Foreign key support enabled in database");
    } else {
        spdlog::critical("Unable to activate forein key support => {}", path);
        failed = true;
    }

    auto wal = database_.createQuery("PRAGMA journal_mode = WAL;");
    if (wal && wal->execute() && wal->hasRow() && wal->getText(0) == "wal") {
        spdlog::debug("WAL mode enabled in database");
    } else {
        spdlog::critical("Unable to activate WAL mode => {}", path);
        failed = true;
    }
    wal.reset();

    auto busy = database_.createQuery("PRAGMA busy_timeout = 10000;");
    if (busy && busy->execute()) {
        spdlog::debug("Busy timeout set in database");
    } else {
        spdlog::critical("Unable to set busy timeout => {}", path);
        return false;
    }
    return !failed;
}

int service::run() {
    if (running_) return exit_code_;
    spdlog::info("Starting");
    exit_code_ = 1;
    if (!specific_start()) {
        spdlog::critical("Unable to start service");
        return exit_code_;
    }
    running_ = true;

    std::string pending;
    bool exit_requested = false;
    while (!exit_requested) {
        pollfd item{command_pipe_.read.get(), POLLIN, 0};
        if (::poll(&item, 1, -1) <= 0) continue;
        char buffer[32];
        const ssize_t count = ::read(command_pipe_.read.get(), buffer, 31);
        if (count <= 0) continue;
        pending.append(buffer, static_cast<std::size_t>(count));
        exit_requested = process_commands(pending, count == 31);
    }

    char drain[32];
    while (::read(command_pipe_.read.get(), drain, sizeof(drain)) > 0) {
    }
    if (!specific_stop()) spdlog::warn("Failed specific stop process");
    running_ = false;
    spdlog::info("Exiting");
    return exit_code_;
}

bool service::process_commands(std::string& pending, bool buffer_was_full) {
    for (const auto& event : split_commands(pending, buffer_was_full)) {
        switch (event.type) {
            case pipe_event::kind::signal:
                log_signal(event.signal);
                // The code belongs to the signal, whenever it came: one that
                // arrived before the loop ran must not be overwritten by the
                // start of run().
                if (event.signal == pipe_signal::interrupt ||
                    event.signal == pipe_signal::terminate) {
                    exit_code_ = 0;
                }
                break;
            case pipe_event::kind::command:
                spdlog::debug("Command received : {}", event.text);
                if (event.text == "exit") return true;
                change_log_level(event.text == "inc_log_level" ? -1 : +1);
                break;
            case pipe_event::kind::unknown:
                spdlog::debug("Command received : {}", event.text);
                spdlog::error("Unknown command received : {}", event.text);
                break;
        }
    }
    return false;
}

void service::log_signal(pipe_signal signal) {
    switch (signal) {
        case pipe_signal::interrupt:
            spdlog::debug("Interrupt signal received (SIGINT)");
            spdlog::info("Stopping...");
            break;
        case pipe_signal::terminate:
            spdlog::debug("Termination signal received (SIGTERM)");
            spdlog::info("Stopping...");
            break;
        case pipe_signal::increase_level:
            spdlog::debug("Increase log level signal received (SIGUSR1)");
            break;
        case pipe_signal::decrease_level:
            spdlog::debug("Decrease log level signal received (SIGUSR2)");
            break;
    }
}

void service::change_log_level(int step) {
    int level = static_cast<int>(spdlog::default_logger()->level());
    if (step < 0 && level > 0) --level;
    if (step > 0 && level < 6) ++level;
    const auto new_level = static_cast<spdlog::level::level_enum>(level);
    spdlog::set_level(new_level);
    const auto name = spdlog::level::to_string_view(new_level);
    spdlog::info("New log level : {}", std::string(name.data(), name.size()));
}

bool service::stop(int exit_code) {
    if (!running_) return false;
    spdlog::info("Stopping...");
    exit_code_ = exit_code;
    post("exit", 4);
    return true;
}

// Unlike stop(), a signal is never dropped: from the installation of the
// handlers on, a request that comes before the command loop runs (during the
// start-up, or between the first request served and the loop) waits in the
// pipe and is carried out as soon as the loop reads it.
void service::request_stop(const char* marked_command, std::size_t length) {
    stop_requested_ = true;
    post(marked_command, length);
}

void service::post(const char* bytes, std::size_t length) {
    if (!command_pipe_.write) return;
    // One write of at most PIPE_BUF bytes reaches the reader in one piece.
    [[maybe_unused]] const ssize_t written = ::write(command_pipe_.write.get(), bytes, length);
}

}  // namespace ev_common::service
