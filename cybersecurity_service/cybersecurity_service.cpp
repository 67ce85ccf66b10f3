#include "cybersecurity_service.hpp"

#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/user_database.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>

namespace ev_charging_platform::cybersecurity {

namespace {

const char* const kServiceName = "cybersecurity_service";
const char* const kUpdateCommand = "/usr/sbin/update-ca-certificates";
const char* const kFreshArgument = "--fresh";
constexpr std::chrono::seconds kUpdateTimeout{120};
// The service counts as stuck once one request has kept every client waiting
// for half the update tool's time limit: a tool that hangs stops the watchdog
// refreshes well before its own limit ends it, so systemd learns of the stall
// (and restarts the daemon) rather than seeing a healthy service.
std::chrono::milliseconds stuck_after(std::chrono::seconds update_timeout) {
    return std::max<std::chrono::milliseconds>(update_timeout / 2, std::chrono::seconds(1));
}
// Where a daemon running as root keeps the lock of its endpoint: a folder
// only root may write (the unit's RuntimeDirectory).
const char* const kRuntimeFolder = "/run/cybersecurity_service";

ev_common::ZmqIpcServerOptions server_options(std::function<void()> on_fatal_error) {
    ev_common::ZmqIpcServerOptions options;
    options.onFatalError = std::move(on_fatal_error);
    return options;
}

}  // namespace

cybersecurity_service::cybersecurity_service(ev_common::LinuxCaCertificateStore& store,
                                             const std::string& endpoint)
    : service(kServiceName, false),
      store_(store),
      linux_store_(store),
      operations_(kServiceName, &store_),
      ipc_handler_(&operations_, endpoint, server_options([this] { on_endpoint_lost(); })) {}

// A tool run still in progress would hold up the IPC server's thread, which
// the members' destruction joins: it is cut short first. The health check
// reads the server, which goes before the base class's watchdog.
cybersecurity_service::~cybersecurity_service() {
    linux_store_.cancelUpdates();
    set_health_check({});
}

// Without its endpoint the service is of no use to anyone: it ends with 1 so
// that systemd starts it afresh. Should the command loop not run yet, the
// start is refused instead.
void cybersecurity_service::on_endpoint_lost() {
    endpoint_lost_ = true;
    stop(1);
}

std::string cybersecurity_service::update_command() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::string>("cyber.update_command")) return *value;
    if (configuration.findParameter("cyber.update_command"))
        spdlog::warn("Parameter cyber.update_command is not a string, using {}", kUpdateCommand);
    return kUpdateCommand;
}

std::vector<std::string> cybersecurity_service::update_arguments() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::vector<std::string>>("cyber.update_arguments"))
        return *value;
    if (configuration.findParameter("cyber.update_arguments"))
        spdlog::warn("Parameter cyber.update_arguments is not a string list, ignored");
    return {};
}

std::chrono::seconds cybersecurity_service::update_timeout() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::chrono::seconds>("cyber.update_timeout"))
        return *value;
    if (configuration.findParameter("cyber.update_timeout"))
        spdlog::warn("Parameter cyber.update_timeout is not a duration in seconds, using {}s",
                     kUpdateTimeout.count());
    return kUpdateTimeout;
}

bool cybersecurity_service::configure_access() {
    const auto& configuration = get_configuration();
    std::string client_group;
    if (auto value = configuration.findValue<std::string>("cyber.client_group")) {
        client_group = *value;
    } else if (configuration.findParameter("cyber.client_group")) {
        spdlog::warn("Parameter cyber.client_group is not a string, ignored");
    }
    std::vector<std::string> admin_groups;
    if (auto value = configuration.findValue<std::vector<std::string>>("cyber.admin_groups")) {
        admin_groups = *value;
    } else if (configuration.findParameter("cyber.admin_groups")) {
        spdlog::warn("Parameter cyber.admin_groups is not a string list, ignored");
    }

    ev_common::IpcEndpointAccess access;
    access.lockFile = ev_common::ipcLockFile(ipc_handler_.server().getEndpoint(), kRuntimeFolder);
    if (!client_group.empty()) {
        spdlog::debug("Found parameter client_group : {}", ev_common::bounded(client_group));
        const auto gid = ev_common::findGroupId(client_group);
        if (!gid) {
            spdlog::critical("[cybersecurity_service] Unknown group '{}' in cyber.client_group",
                             ev_common::bounded(client_group));
            return false;
        }
        access.mode = 0660;
        access.group = *gid;
    }
    std::vector<gid_t> admin_gids;
    for (const auto& group : admin_groups) {
        spdlog::debug("Found parameter admin_groups : {}", ev_common::bounded(group));
        const auto gid = ev_common::findGroupId(group);
        if (!gid) {
            spdlog::critical("[cybersecurity_service] Unknown group '{}' in cyber.admin_groups",
                             ev_common::bounded(group));
            return false;
        }
        admin_gids.push_back(*gid);
    }
    ipc_handler_.set_endpoint_access(std::move(access));
    operations_.set_access_policy(access_policy(std::move(admin_gids)));
    return true;
}

bool cybersecurity_service::specific_init() {
    auto& configuration = get_configuration();
    const auto builtin = configuration.getValue<std::string>("cyber.builtin_ca_certs_path");
    const auto user = configuration.getValue<std::string>("cyber.user_ca_certs_path");
    if (!builtin || !user) {
        spdlog::error("[cybersecurity_service] Cannot get configuration of service");
        return false;
    }
    spdlog::debug("Found parameter builtin_ca_certs_path : {}", ev_common::bounded(*builtin));
    spdlog::debug("Found parameter user_ca_certs_path : {}", ev_common::bounded(*user));
    // Before anything is written: a missing group is a configuration error,
    // and while another daemon serves the endpoint this one must not run the
    // update tool under its feet.
    if (!configure_access() || !ipc_handler_.claim_endpoint()) return false;

    // A filesystem error other than "nothing there" propagates to the entry.
    if (std::filesystem::status(*user).type() == std::filesystem::file_type::not_found) {
        spdlog::warn("Create User CA certificate store on path {}", ev_common::bounded(*user));
        std::error_code error;
        if (!std::filesystem::create_directory(*user, error)) {
            spdlog::error("Cannot create user CA certificate store directory, error = {}",
                          error.message());
        }
    }

    const std::chrono::seconds timeout = update_timeout();
    linux_store_.setUpdateTimeout(timeout);
    if (!linux_store_.init(*builtin, *user, update_command(), kFreshArgument, update_arguments())) {
        return false;
    }
    if (!ipc_handler_.start()) return false;
    // From here on the watchdog is fed only while requests are served in time.
    const auto bound = stuck_after(timeout);
    set_health_check([this, bound] { return ipc_handler_.server().servingProblem(bound); });
    return true;
}

bool cybersecurity_service::specific_start() {
    return !endpoint_lost_;
}

bool cybersecurity_service::specific_stop() {
    // The server's thread may be waiting for the update tool; the stop
    // command would reach it only after the tool's time limit.
    linux_store_.cancelUpdates();
    return ipc_handler_.stop();
}

}  // namespace ev_charging_platform::cybersecurity
