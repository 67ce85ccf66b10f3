// Process entry of the example daemon: everything around the service (IPC
// subsystem, command line, logger, configuration, signals, systemd, the
// command loop, the exit code) is the library's.
#include "greeter_service.hpp"

#include "ev_common/service/process_entry.hpp"

int main(int argc, char* argv[]) {
    return ev_common::service::run_process("minimal_daemon", argc, argv,
                                           [](const ev_common::service::service_runner& run) {
                                               example::greeter_service service;
                                               return run(service);
                                           });
}
