// The process entry every daemon of the platform shares: takes the IPC
// subsystem's reference, lets the daemon build its objects in the order it
// needs, runs the service's start-up and command loop, and leaves teardown to
// the objects' scope (reverse order). An exception that escapes is logged as
// "Service {} - Unexpected error:: {}" and becomes exit code 1.
//
//     int main(int argc, char* argv[]) {
//         return ev_common::service::run_process("my_service", argc, argv,
//                                                [](const auto& run) {
//                                                    MyStore store;
//                                                    MyService service(store);
//                                                    return run(service);
//                                                });
//     }
#pragma once

#include "ev_common/service/service.hpp"

#include <functional>
#include <string>

namespace ev_common::service {

// Initialises the service with the command line and runs it: 1 when the
// initialisation fails, otherwise the exit code of the command loop.
using service_runner = std::function<int(service&)>;

// Raises the soft limit of open descriptors to the hard limit, so that the
// descriptors a daemon's callers can make it hold (one per connection) do not
// run it out of those its own work needs; a warning when that is refused.
// run_process calls it first.
void raise_descriptor_limit();

int run_process(const std::string& name, int argc, char* argv[],
                const std::function<int(const service_runner&)>& body);

}  // namespace ev_common::service
