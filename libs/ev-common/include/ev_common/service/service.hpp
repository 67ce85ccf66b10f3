// Base class of every platform daemon. Owns the frame around the service's
// own work: command line, logger, configuration, optional database, systemd
// watchdog and start-up notification, Unix signals, and a command loop on the
// main thread fed through a non-blocking pipe. A concrete service supplies
// specific_init, specific_start and specific_stop.
//
// The hooks, in the order they run, all on the thread that calls initialize()
// and run() (the main thread under run_process):
//   after_configuration_description()  initialize(), once the description is
//       loaded and before the configuration file is read (also without a
//       description): the place to register parameter loaders.
//   specific_init()   initialize(), after the configuration and the database:
//       read parameters, open resources, start servers. False fails the
//       start-up ("Unable to initialize service"; an exception reaches
//       run_process, "Unexpected error"): no READY=1, exit code 1, and no
//       specific_stop, so the destructor releases what specific_init started.
//   specific_start()  run(), just before the command loop. False: "Unable to
//       start service", exit code 1, specific_stop is not called.
//   specific_stop()   run(), once the command loop ended (SIGTERM, SIGINT,
//       stop()); stop here what serves requests. False only logs "Failed
//       specific stop process"; the exit code stays that of the request.
// Requests served by an IPC server run on that server's thread, not here.
#pragma once

#include "ev_common/config/i_config_parameter_provider.hpp"
#include "ev_common/database/database.hpp"
#include "ev_common/service/command_line.hpp"
#include "ev_common/service/command_pipe.hpp"
#include "ev_common/service/i_service.hpp"
#include "ev_common/system/systemd_watchdog.hpp"
#include "ev_common/system/unique_fd.hpp"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace ev_common {
class ConfigParameterProvider;
}  // namespace ev_common

namespace ev_common::service {

class service : public i_service {
public:
    service(const std::string& name, bool use_database);
    ~service() override;
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    bool initialize(int argc, const char* const argv[]) override;
    int run() override;
    bool stop(int exit_code) override;
    std::string get_name() override;
    // True between a successful specific_start and the end of the command loop.
    bool is_running() const { return running_; }
    // True once SIGINT or SIGTERM arrived; the command loop carries it out
    // even when it came before the loop ran. A long start-up step may look at
    // it to cut itself short.
    bool stop_requested() const { return stop_requested_; }
    virtual const std::filesystem::path& get_working_directory();
    virtual const std::filesystem::path& get_configuration_directory();
    virtual ev_common::IConfigParameterProvider& get_configuration();
    virtual ev_common::Database& get_database();
    virtual const std::filesystem::path& get_database_path();

protected:
    // Lets the service say whether it can serve: consulted before every
    // watchdog refresh, and while it reports a problem no "WATCHDOG=1" goes
    // out, so systemd restarts a stuck daemon. May be called at any time,
    // from any thread; a check that reaches members of the derived class must
    // be cleared (an empty check) in the derived destructor.
    void set_health_check(ev_common::SystemdWatchdog::HealthCheck check);

    // See the order and threads above.
    virtual void after_configuration_description() {}
    virtual bool specific_init() = 0;
    virtual bool specific_start() = 0;
    virtual bool specific_stop() = 0;

private:
    friend struct signal_dispatch;

    bool initialize_configuration(const command_line_options& options);
    bool initialize_database();
    // Carries out every complete command in `pending`; true once "exit" was met.
    bool process_commands(std::string& pending, bool buffer_was_full);
    void log_signal(pipe_signal signal);
    void change_log_level(int step);
    // The part of stop() that is safe in signal context: no logging.
    void request_stop(const char* marked_command, std::size_t length);
    void post(const char* bytes, std::size_t length);

    std::string name_;
    std::filesystem::path working_directory_{"."};
    std::filesystem::path configuration_directory_{"."};
    bool use_database_;
    ev_common::Database database_;
    std::filesystem::path database_path_{"service.db"};
    // Held through a pointer: its header brings the JSON library, which the
    // daemon's own files do not need.
    std::unique_ptr<ev_common::ConfigParameterProvider> configuration_;
    ev_common::SystemdWatchdog watchdog_;
    std::atomic<bool> running_{false};
    std::atomic<int> exit_code_{0};
    std::atomic<bool> stop_requested_{false};
    // Non-blocking both ways: signal handlers write commands into it.
    Pipe command_pipe_;
};

}  // namespace ev_common::service
