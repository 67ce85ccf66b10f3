#include "greeter_service.hpp"

#include "ev_common/ipc/request_reply.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdint>

namespace example {

greeter_service::greeter_service() : service("minimal_daemon", /*use_database=*/false) {}

// The server, declared last, is destroyed first: its thread stops before the
// members it reads go away.
greeter_service::~greeter_service() = default;

bool greeter_service::specific_init() {
    auto& configuration = get_configuration();
    const auto greeting = configuration.getValue<std::string>("greeter.greeting");
    const auto period = configuration.getValue<std::chrono::seconds>("greeter.heartbeat_period");
    if (!greeting || !period) {
        spdlog::error("[minimal_daemon] Cannot get configuration of service");
        return false;
    }
    greeting_ = *greeting;
    heartbeat_.start(
        std::chrono::duration_cast<std::chrono::milliseconds>(*period),
        [] { spdlog::info("[minimal_daemon] alive"); }, /*fixedDelay=*/false);
    ev_common::ZmqIpcServer::IIpcRequestHandler* handler = this;
    server_.emplace("Greeter", greeter_endpoint, handler);
    return server_->start();
}

bool greeter_service::specific_start() {
    spdlog::info("[minimal_daemon] {}", greeting_);
    return true;
}

bool greeter_service::specific_stop() {
    heartbeat_.stop();
    server_.reset();
    return true;
}

void greeter_service::notifyRequest(const std::string& clientId,
                                    ev_common::IpcRequestContext& context) {
    std::int32_t operation = -1;
    if (!ev_common::readParameters(context, "operation id", operation)) return;
    if (operation != 0) {
        spdlog::warn("Unknown operation : {}", operation);
        return;  // the server answers an empty frame
    }
    spdlog::debug("[{}] operation : get_greeting", clientId);
    ev_common::sendReplyOf(context, "get_greeting", greeting_);
}

}  // namespace example
