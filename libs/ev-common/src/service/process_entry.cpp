#include "ev_common/service/process_entry.hpp"

#include "ev_common/service/ipc_subsystem.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace ev_common::service {

void raise_descriptor_limit() {
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        spdlog::warn("Unable to read the limit of open files : {}", std::strerror(errno));
        return;
    }
    if (descriptors.rlim_cur == descriptors.rlim_max) return;
    const rlim_t soft = descriptors.rlim_cur;
    descriptors.rlim_cur = descriptors.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        spdlog::warn("Unable to raise the limit of open files from {} to {} : {}", soft,
                     descriptors.rlim_max, std::strerror(errno));
    }
}

int run_process(const std::string& name, int argc, char* argv[],
                const std::function<int(const service_runner&)>& body) {
    raise_descriptor_limit();
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
