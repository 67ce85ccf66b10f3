// The operations of the certificate trust service as one in-process
// interface: the IPC side decodes requests and calls it on behalf of the
// endpoint's client, the operations side carries them out on the CA store.
#pragma once

#include "cybersecurity/protocol.hpp"
#include "ev_common/ipc/ipc_endpoint.hpp"

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ev_charging_platform::cybersecurity {

// Who asked for a change through the endpoint, as the kernel knows the
// caller's connection; empty when the transport could not tell.
using caller_credentials = std::optional<ev_common::PeerCredentials>;

// Who asked for an operation: a client of the endpoint, or this process on
// its own behalf. This process is never refused for the caller, and its
// changes are audited with its own credentials.
class requester {
public:
    static requester this_process() {
        return {ev_common::PeerCredentials{::geteuid(), ::getegid(), ::getpid()},
                origin::this_process};
    }
    static requester client(caller_credentials credentials) {
        return {std::move(credentials), origin::client};
    }

    const caller_credentials& credentials() const { return credentials_; }
    bool is_this_process() const { return origin_ == origin::this_process; }

private:
    enum class origin { client, this_process };
    requester(caller_credentials credentials, origin from)
        : credentials_(std::move(credentials)), origin_(from) {}

    caller_credentials credentials_;
    origin origin_;
};

class i_req_resp_cybersecurity_service_handler {
public:
    virtual ~i_req_resp_cybersecurity_service_handler() = default;
    // `id` receives the new certificate's identifier on success.
    virtual AddCertificateStatus add_ca_certificate(const requester& who,
                                                    const std::string& certificate,
                                                    const std::string& name, std::uint32_t& id) = 0;
    virtual RemoveCertificateStatus remove_ca_certificate(const requester& who,
                                                          std::uint32_t id) = 0;
    virtual std::vector<ca_certificate_info> get_ca_certificates(const requester& who) = 0;
    // The certificate's PEM text, empty when there is none.
    virtual std::string get_ca_certificate_by_id(const requester& who, std::uint32_t id) = 0;
    virtual std::string get_ca_certificate_by_name(const requester& who,
                                                   const std::string& name) = 0;
    // JSON text: {"generation": G, "certificates": [...]}, in listing order.
    // Shared: the same text is handed out until the store changes.
    virtual std::shared_ptr<const std::string> get_ca_certificate_details(const requester& who) = 0;
    virtual RemoveCertificateStatus remove_ca_certificate_by_hash(
        const requester& who, const certificate_hash_data& hash_data) = 0;
    // As add_ca_certificate, into a trust domain ("system" or a configured
    // one); an unknown domain is invalid_name.
    virtual AddCertificateStatus add_ca_certificate_to_domain(const requester& who,
                                                              const std::string& domain,
                                                              const std::string& certificate,
                                                              const std::string& name,
                                                              std::uint32_t& id) = 0;
    // The csms root that verified the OCPP module's last connection: the
    // active root removes the fallback, the fallback stays; another
    // identifier is unknown_id.
    virtual RemoveCertificateStatus confirm_csms_root(const requester& who, std::uint32_t id) = 0;
    // JSON text: the journal's rows after generation `since` (see the README).
    virtual std::string get_changes_since(const requester& who, std::uint64_t since) = 0;
    // Whether the chain in `pem` is trusted by the roots of `domains` (see
    // verify_certificate_chain in protocol.hpp); open to every caller, and
    // changes nothing. `result` receives the reply's JSON text.
    virtual VerifyStatus verify_certificate_chain(const requester& who, const std::string& domains,
                                                  const std::string& pem,
                                                  const std::string& options,
                                                  std::string& result) = 0;
    // A batch of changes (JSON text), all or nothing; `result` receives the
    // JSON text of every change's result. The status of the first change
    // refused, batch_invalid for a batch that cannot be read, or 0.
    virtual std::int32_t apply_changes(const requester& who, const std::string& changes,
                                       std::string& result) = 0;
    // A built-in certificate by identifier, or by name when the identifier
    // is 0: deselected in the update tool's configuration (it leaves the
    // system folder, stays listed), or selected again.
    virtual DistrustStatus distrust_builtin(const requester& who, std::uint32_t id,
                                            const std::string& name) = 0;
    virtual DistrustStatus restore_builtin(const requester& who, std::uint32_t id,
                                           const std::string& name) = 0;
};

}  // namespace ev_charging_platform::cybersecurity
