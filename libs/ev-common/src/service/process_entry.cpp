#include "ev_common/service/process_entry.hpp"

#include "ev_common/service/ipc_subsystem.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <exception>

namespace ev_common::service {

int run_process(const std::string& name, int argc, char* argv[],
                const std::function<int(const service_runner&)>& body) {
    initialize_ipc(name);
    try {
        return body([argc, argv](service& daemon) {
            if (!daemon.initialize(argc, argv)) return 1;
            return daemon.run();
        });
    } catch (const std::exception& e) {
        spdlog::error("Service {} - Unexpected error:: {}", name, ev_common::bounded(e.what()));
        return 1;
    }
}

}  // namespace ev_common::service
