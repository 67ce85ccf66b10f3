#include "cybersecurity_service.hpp"

#include "ev_common/config/json_value_reader.hpp"
#include "ev_common/config/parameter.hpp"

#include <spdlog/spdlog.h>

#include <filesystem>
#include <typeinfo>

namespace ev_charging_platform::cybersecurity {

namespace {

const char* const kServiceName = "cybersecurity_service";
const char* const kUpdateCommand = "/usr/sbin/update-ca-certificates";
const char* const kFreshArgument = "--fresh";
constexpr std::chrono::seconds kUpdateTimeout{120};
// A request may take the update tool's whole time limit, the grace before the
// tool is killed, and the store's own work around it; only past that does the
// service count as stuck.
constexpr std::chrono::seconds kRequestMargin{10};

ev_common::ZmqIpcServerOptions server_options(std::function<void()> on_fatal_error) {
    ev_common::ZmqIpcServerOptions options;
    options.onFatalError = std::move(on_fatal_error);
    return options;
}

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
      ipc_handler_(&operations_, endpoint, server_options([this] { on_endpoint_lost(); })) {}

cybersecurity_service::~cybersecurity_service() {
    // The check reads the server, which goes before the base class's watchdog.
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
    auto parameter = get_configuration().findParameter("cyber.update_command");
    if (auto value = value_of<std::string>(parameter)) return *value;
    if (parameter)
        spdlog::warn("Parameter cyber.update_command is not a string, using {}", kUpdateCommand);
    return kUpdateCommand;
}

std::chrono::seconds cybersecurity_service::update_timeout() {
    auto parameter = get_configuration().findParameter("cyber.update_timeout");
    if (auto value = value_of<ev_common::ConfigSeconds>(parameter))
        return std::chrono::duration_cast<std::chrono::seconds>(*value);
    if (parameter)
        spdlog::warn("Parameter cyber.update_timeout is not a duration in seconds, using {}s",
                     kUpdateTimeout.count());
    return kUpdateTimeout;
}

std::vector<std::string> cybersecurity_service::update_arguments() {
    auto parameter = get_configuration().findParameter("cyber.update_arguments");
    if (auto value = value_of<std::vector<std::string>>(parameter)) return *value;
    if (parameter) spdlog::warn("Parameter cyber.update_arguments is not a string list, ignored");
    return {};
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
    spdlog::debug("Found parameter builtin_ca_certs_path : {}", *builtin);
    spdlog::debug("Found parameter user_ca_certs_path : {}", *user);

    // A filesystem error other than "nothing there" propagates to the entry.
    if (std::filesystem::status(*user).type() == std::filesystem::file_type::not_found) {
        spdlog::warn("Create User CA certificate store on path {}", *user);
        std::error_code error;
        if (!std::filesystem::create_directory(*user, error)) {
            spdlog::error("Cannot create user CA certificate store directory, error = {}",
                          error.message());
        }
    }

    if (!linux_store_.init(*builtin, *user, update_command(), kFreshArgument, update_arguments())) {
        return false;
    }
    if (!ipc_handler_.start()) return false;
    // From here on the watchdog is fed only while requests are served in time.
    const auto bound =
        std::chrono::duration_cast<std::chrono::milliseconds>(update_timeout() + kRequestMargin);
    set_health_check([this, bound] { return ipc_handler_.server().servingProblem(bound); });
    return true;
}

bool cybersecurity_service::specific_start() {
    return !endpoint_lost_;
}

bool cybersecurity_service::specific_stop() {
    return ipc_handler_.stop();
}

}  // namespace ev_charging_platform::cybersecurity
