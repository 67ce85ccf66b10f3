// Process entry of the certificate trust service: the IPC subsystem, then the
// CA store, then the service; initialise, run the command loop, and tear down
// in reverse order.
#include "cybersecurity_service.hpp"
#include "ev_common/service/process_entry.hpp"

#include <functional>

int main(int argc, char* argv[]) {
    return ev_common::service::run_process(
        "cybersecurity_service", argc, argv, [](const ev_common::service::service_runner& run) {
            ev_common::LinuxCaCertificateStore store(std::function<bool(bool)>{});
            ev_charging_platform::cybersecurity::cybersecurity_service service(store);
            return run(service);
        });
}
