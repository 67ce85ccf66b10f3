#include "cybersecurity_service.hpp"

#include "ev_common/config/parameter.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <filesystem>
#include <typeinfo>

namespace ev_charging_platform::cybersecurity {

namespace {

const char* const kServiceName = "cybersecurity_service";
const char* const kUpdateCommand = "/usr/sbin/update-ca-certificates";
const char* const kFreshArgument = "--fresh";
const std::chrono::seconds kUpdateTimeout(120);

// The value of a parameter of type T, or nothing when it is absent or of
// another type.
template <typename T>
std::optional<T> value_of(const std::shared_ptr<ev_common::IParameter>& parameter) {
    if (!parameter || parameter->getType() != typeid(T)) return std::nullopt;
    auto typed = std::dynamic_pointer_cast<ev_common::Parameter<T>>(parameter);
    if (!typed) return std::nullopt;
    return typed->getValue();
}

}  // namespace

cybersecurity_service::cybersecurity_service(ev_common::LinuxCaCertificateStore& store,
                                             const std::string& endpoint)
    : service(kServiceName, false),
      store_(store),
      linux_store_(store),
      operations_(kServiceName, &store_),
      ipc_handler_(&operations_, endpoint) {}

// A tool run still in progress would hold up the IPC server's thread, which
// the members' destruction joins: it is cut short first.
cybersecurity_service::~cybersecurity_service() {
    linux_store_.cancelUpdates();
}

std::string cybersecurity_service::update_command() {
    auto parameter = get_configuration().findParameter("cyber.update_command");
    if (auto value = value_of<std::string>(parameter)) return *value;
    if (parameter)
        spdlog::warn("Parameter cyber.update_command is not a string, using {}", kUpdateCommand);
    return kUpdateCommand;
}

std::vector<std::string> cybersecurity_service::update_arguments() {
    auto parameter = get_configuration().findParameter("cyber.update_arguments");
    if (auto value = value_of<std::vector<std::string>>(parameter)) return *value;
    if (parameter) spdlog::warn("Parameter cyber.update_arguments is not a string list, ignored");
    return {};
}

std::chrono::seconds cybersecurity_service::update_timeout() {
    auto parameter = get_configuration().findParameter("cyber.update_timeout");
    if (auto value = value_of<ev_common::ConfigSeconds>(parameter))
        return std::chrono::seconds(value->count());
    if (parameter)
        spdlog::warn("Parameter cyber.update_timeout is not a duration in seconds, using {}",
                     kUpdateTimeout.count());
    return kUpdateTimeout;
}

bool cybersecurity_service::specific_init() {
    auto& configuration = get_configuration();
    const auto builtin =
        value_of<std::string>(configuration.getParameter("cyber.builtin_ca_certs_path"));
    const auto user = value_of<std::string>(configuration.getParameter("cyber.user_ca_certs_path"));
    if (!builtin || !user) {
        spdlog::error("[cybersecurity_service] Cannot get configuration of service");
        return false;
    }
    spdlog::debug("Found parameter builtin_ca_certs_path : {}", ev_common::bounded(*builtin));
    spdlog::debug("Found parameter user_ca_certs_path : {}", ev_common::bounded(*user));

    // A filesystem error other than "nothing there" propagates to the entry.
    if (std::filesystem::status(*user).type() == std::filesystem::file_type::not_found) {
        spdlog::warn("Create User CA certificate store on path {}", ev_common::bounded(*user));
        std::error_code error;
        if (!std::filesystem::create_directory(*user, error)) {
            spdlog::error("Cannot create user CA certificate store directory, error = {}",
                          error.message());
        }
    }

    linux_store_.setUpdateTimeout(update_timeout());
    if (!linux_store_.init(*builtin, *user, update_command(), kFreshArgument, update_arguments())) {
        return false;
    }
    return ipc_handler_.start();
}

bool cybersecurity_service::specific_start() {
    return true;
}

bool cybersecurity_service::specific_stop() {
    // The server's thread may be waiting for the update tool; the stop
    // command would reach it only after the tool's time limit.
    linux_store_.cancelUpdates();
    return ipc_handler_.stop();
}

}  // namespace ev_charging_platform::cybersecurity
