// The certificate trust service: a platform daemon that reads its two CA
// directories from the configuration, prepares the CA store on them and
// serves the store's operations over its ZeroMQ endpoint.
#pragma once

#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "ev_common/service/service.hpp"
#include "req_handler.hpp"
#include "req_resp_handler.hpp"

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class cybersecurity_service : public ev_common::service::service {
public:
    // The store is built by the process entry and outlives the service. The
    // endpoint is the service's own unless a test serves elsewhere.
    explicit cybersecurity_service(ev_common::LinuxCaCertificateStore& store,
                                   const std::string& endpoint = service_endpoint);
    ~cybersecurity_service() override;

protected:
    bool specific_init() override;
    bool specific_start() override;
    bool specific_stop() override;

private:
    // The update tool and its extra arguments: fixed, unless the configuration
    // declares "cyber.update_command" / "cyber.update_arguments".
    std::string update_command();
    std::vector<std::string> update_arguments();
    // How long one run of the update tool may take: "cyber.update_timeout",
    // 120 s unless the configuration declares it.
    std::chrono::seconds update_timeout();
    // "cyber.client_group" (who may connect) and "cyber.admin_groups" (who
    // may change the store) applied to the endpoint and the operations.
    // False, after a critical line, when a group named there does not exist.
    bool configure_access();
    // Called on the server's thread once the endpoint is lost for good.
    void on_endpoint_lost();

    ev_common::ICaCertificateStore& store_;
    ev_common::LinuxCaCertificateStore& linux_store_;
    cybersecurity_req_handler operations_;
    req_resp_cybersecurity_service_handler ipc_handler_;
    std::atomic<bool> endpoint_lost_{false};
};

}  // namespace ev_charging_platform::cybersecurity
