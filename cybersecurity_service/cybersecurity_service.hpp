// The certificate trust service: a platform daemon that reads its two CA
// directories from the configuration, prepares the CA store on them and one
// store per configured trust domain, serves the stores' operations over its
// ZeroMQ endpoint, publishes every change on its event endpoint and watches
// the certificates' ends of validity.
#pragma once

#include "ev_common/cyber/directory_ca_certificate_store.hpp"
#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "ev_common/ipc/zmq_publisher.hpp"
#include "ev_common/service/service.hpp"
#include "ev_common/system/periodic_task.hpp"
#include "req_handler.hpp"
#include "req_resp_handler.hpp"
#include "trust_state.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class cybersecurity_service : public ev_common::service::service {
public:
    // The store is built by the process entry and outlives the service. The
    // request endpoint is the service's own unless a test serves elsewhere;
    // the event endpoint, when not given, is "cyber.events_endpoint" or the
    // default for the daemon's user (events_endpoint for root).
    explicit cybersecurity_service(ev_common::LinuxCaCertificateStore& store,
                                   const std::string& endpoint = service_endpoint,
                                   const std::string& events = {});
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
    // "cyber.max_connections_per_uid": connections one caller's user may
    // hold to the endpoint (32 unless the configuration declares it).
    unsigned int max_connections_per_uid();
    // Called on the server's thread once the endpoint is lost for good.
    void on_endpoint_lost();
    // "cyber.expiry_warning_days" (30) and "cyber.expiry_check_period" (24 h).
    unsigned int expiry_warning_days();
    std::chrono::hours expiry_check_period();
    // Checks the ends of validity now and then at the configured period.
    bool start_expiry_watch();
    // Where change events are published: as given to the constructor, else
    // "cyber.events_endpoint", else the default for this process's user.
    std::string events_endpoint_to_serve();
    // "cyber.domains": the names of the trust domains beside the system's
    // store, in configuration order, and "cyber.domains_path" when there is
    // one. False, after a critical line, for a name that cannot be a domain.
    bool read_domains();
    // False, after a critical line, when the domains' folder is, holds or
    // lies within the system CA folder or the user folder: the update tool
    // would take the domains' roots up as system roots.
    bool domains_apart(const std::string& system_folder, const std::string& user_folder);
    // One store per domain below "cyber.domains_path", sharing the system
    // store's numbering; false when one cannot be set up.
    bool init_domains(std::chrono::seconds rehash_timeout);
    // "cyber.update_config_path" (the update tool's selection of built-ins)
    // and "cyber.batch_max_changes".
    void configure_updates(const std::vector<std::string>& arguments);
    // cyber.csms_additional_root_check (false when absent or not a boolean)
    // and cyber.keep_last_root (["csms"] when absent or not a string list).
    bool csms_additional_root_check();
    std::vector<std::string> keep_last_root();
    // "cyber.state_database" (empty: no state) and "cyber.journal_max_entries";
    // before the stores are loaded. False, after a critical line, when the
    // state cannot be used.
    bool open_state();
    // The stores hand their changes to the state and recall hash data from it.
    void attach_state(ev_common::CaStoreCore& store);
    // Every certificate of every store, as the state compares them.
    std::vector<trust_state::held> holdings();
    void publish(const ev_common::CertificateChange& change);
    void cancel_tool_runs();

    std::string events_endpoint_given_;

    ev_common::LinuxCaCertificateStore& store_;
    // Identifiers and generation shared by the system store and the domains.
    std::shared_ptr<ev_common::CertificateNumbering> numbering_;
    std::vector<std::string> domain_names_;
    std::string domains_path_;
    std::vector<std::unique_ptr<ev_common::DirectoryCaCertificateStore>> domain_stores_;
    // Before the handlers: the server's thread publishes until it is joined.
    ev_common::ZmqPublisher publisher_;
    trust_state state_;
    cybersecurity_req_handler operations_;
    req_resp_cybersecurity_service_handler ipc_handler_;
    std::atomic<bool> endpoint_lost_{false};
    // While an expiry check runs (on the server's thread): the events it
    // publishes, greeting every subscriber that arrives until the next check.
    bool collecting_expiry_ = false;
    std::vector<std::string> expiry_events_;
    // Last: it hands work to the server, so it goes first.
    ev_common::PeriodicTask expiry_task_;
};

}  // namespace ev_charging_platform::cybersecurity
