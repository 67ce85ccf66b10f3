// The example service: reads its greeting from the "greeter" group of its
// configuration, logs a heartbeat at a configured period and answers one
// request on its own endpoint with the greeting.
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "ev_common/service/service.hpp"
#include "ev_common/system/periodic_task.hpp"

#include <optional>
#include <string>

namespace example {

inline constexpr const char* greeter_endpoint = "ipc:///tmp/minimal_daemon.reqresp.api";

class greeter_service : public ev_common::service::service,
                        private ev_common::ZmqIpcServer::IIpcRequestHandler {
public:
    greeter_service();
    ~greeter_service() override;

protected:
    // On the main thread, before the command loop: reads the configuration
    // and starts serving. False makes start-up fail with exit code 1.
    bool specific_init() override;
    // On the main thread, just before the command loop.
    bool specific_start() override;
    // On the main thread, after the command loop ended (SIGTERM, SIGINT).
    // Not called when the start-up failed.
    bool specific_stop() override;

private:
    // On the server's receiving thread, one request at a time.
    void notifyRequest(const std::string& clientId, ev_common::IpcRequestContext& context) override;

    std::string greeting_;
    ev_common::PeriodicTask heartbeat_;
    // Started in specific_init and destroyed (stopped, once) in specific_stop,
    // or by the destructor when the start-up failed after it.
    std::optional<ev_common::ZmqIpcServer> server_;
};

}  // namespace example
