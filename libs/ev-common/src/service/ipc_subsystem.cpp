#include "ev_common/service/ipc_subsystem.hpp"

#include "ev_common/ipc/zmq_ipc.hpp"

#include <spdlog/spdlog.h>

namespace ev_common::service {

bool initialize_ipc(const std::string& /*service_name*/) {
    spdlog::info("Initializing IPC subsystem");
    ZmqIpc_Init();
    return true;
}

}  // namespace ev_common::service
