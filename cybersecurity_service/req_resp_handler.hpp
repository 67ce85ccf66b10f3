// The IPC side of the certificate trust service: owns the service's ZeroMQ
// server, decodes each request's operation and parameters, calls the
// operation and writes the reply in place into a message sized beforehand.
// Runs on the server's receiving thread.
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "i_req_resp_cybersecurity_service_handler.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class req_resp_cybersecurity_service_handler : public ev_common::ZmqIpcServer::IIpcRequestHandler {
public:
    // `operations` is not owned and must outlive the handler. The endpoint is
    // the service's own unless a test serves elsewhere.
    explicit req_resp_cybersecurity_service_handler(
        i_req_resp_cybersecurity_service_handler* operations,
        const std::string& endpoint = service_endpoint,
        ev_common::ZmqIpcServerOptions server_options = {});
    ~req_resp_cybersecurity_service_handler() override;
    req_resp_cybersecurity_service_handler(const req_resp_cybersecurity_service_handler&) = delete;
    req_resp_cybersecurity_service_handler& operator=(
        const req_resp_cybersecurity_service_handler&) = delete;

    bool start();
    bool stop();
    bool is_started() const { return started_; }
    const ev_common::ZmqIpcServer& server() const { return server_; }
    ev_common::ZmqIpcServer& server() { return server_; }

    void notifyRequest(const std::string& clientId, ev_common::IpcRequestContext& context) override;

private:
    // How one operation is served: reads its parameters, calls it on behalf
    // of the client and sends the reply.
    struct operation {
        const std::string& name;
        void (*serve)(req_resp_cybersecurity_service_handler& self, const requester& who,
                      ev_common::IpcRequestContext& context, const std::string& name);
    };
    // Indexed by operation identifier; an identifier without a serve is
    // unknown, as one beyond the table.
    static const std::array<operation, 14>& operation_table();

    // The details reply as it goes on the wire, kept with the text it was
    // made from: the text is large and changes only with the store.
    void serve_details(const requester& who, ev_common::IpcRequestContext& context,
                       const std::string& operation);

    i_req_resp_cybersecurity_service_handler* operations_;
    std::shared_ptr<const std::string> details_text_;
    std::shared_ptr<const std::vector<std::uint8_t>> details_reply_;
    ev_common::ZmqIpcServer server_;
    bool started_ = false;
};

}  // namespace ev_charging_platform::cybersecurity
