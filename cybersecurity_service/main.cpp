// Process entry of the certificate trust service: the IPC subsystem, then the
// CA store, then the service; initialise, run the command loop, and tear down
// in reverse order.
#include "cybersecurity_service.hpp"
#include "ev_common/service/ipc_subsystem.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <exception>
#include <functional>
#include <string>

int main(int argc, char* argv[]) {
    const std::string name = "cybersecurity_service";
    ev_common::service::initialize_ipc(name);
    try {
        ev_common::LinuxCaCertificateStore store(std::function<bool(bool)>{});
        ev_charging_platform::cybersecurity::cybersecurity_service service(store);
        if (!service.initialize(argc, argv)) return 1;
        return service.run();
    } catch (const std::exception& e) {
        // A file-system error quotes the configured path, which may be long.
        spdlog::error("Service {} - Unexpected error:: {}", name, ev_common::bounded(e.what()));
        return 1;
    }
}
