// The operations of the certificate trust service as one in-process
// interface: the IPC side decodes requests and calls it, the operations side
// carries them out on the CA store.
#pragma once

#include "cybersecurity/protocol.hpp"
#include "ev_common/ipc/ipc_endpoint.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

// Who asked for a change through the endpoint, as the kernel knows the
// caller's connection; empty when the transport could not tell.
using caller_credentials = std::optional<ev_common::PeerCredentials>;

class i_req_resp_cybersecurity_service_handler {
public:
    virtual ~i_req_resp_cybersecurity_service_handler() = default;
    // In-process calls, made on this process's own behalf.
    // `id` receives the new certificate's identifier on success.
    virtual AddCertificateStatus add_ca_certificate(const std::string& certificate,
                                                    const std::string& name, std::uint32_t& id) = 0;
    virtual RemoveCertificateStatus remove_ca_certificate(std::uint32_t id) = 0;
    virtual std::vector<ca_certificate_info> get_ca_certificates() = 0;
    // The certificate's PEM text, empty when there is none.
    virtual std::string get_ca_certificate_by_id(std::uint32_t id) = 0;
    virtual std::string get_ca_certificate_by_name(const std::string& name) = 0;
    // JSON text: {"generation": G, "certificates": [...]}, in listing order.
    // Shared: the same text is handed out until the store changes.
    virtual std::shared_ptr<const std::string> get_ca_certificate_details() = 0;
    virtual RemoveCertificateStatus remove_ca_certificate_by_hash(
        const certificate_hash_data& hash_data) = 0;
    // As add_ca_certificate, into a trust domain ("system" or a configured
    // one); an unknown domain is invalid_name.
    virtual AddCertificateStatus add_ca_certificate_to_domain(const std::string& domain,
                                                              const std::string& certificate,
                                                              const std::string& name,
                                                              std::uint32_t& id) = 0;

    // The changes on behalf of a client of the endpoint, which the IPC side
    // calls. An implementation that decides who may change the store
    // overrides them; by default the caller is not looked at.
    virtual AddCertificateStatus add_ca_certificate_for(const caller_credentials& caller,
                                                        const std::string& certificate,
                                                        const std::string& name,
                                                        std::uint32_t& id) {
        static_cast<void>(caller);
        return add_ca_certificate(certificate, name, id);
    }
    virtual RemoveCertificateStatus remove_ca_certificate_for(const caller_credentials& caller,
                                                              std::uint32_t id) {
        static_cast<void>(caller);
        return remove_ca_certificate(id);
    }
    virtual RemoveCertificateStatus remove_ca_certificate_by_hash_for(
        const caller_credentials& caller, const certificate_hash_data& hash_data) {
        static_cast<void>(caller);
        return remove_ca_certificate_by_hash(hash_data);
    }
    virtual AddCertificateStatus add_ca_certificate_to_domain_for(const caller_credentials& caller,
                                                                  const std::string& domain,
                                                                  const std::string& certificate,
                                                                  const std::string& name,
                                                                  std::uint32_t& id) {
        static_cast<void>(caller);
        return add_ca_certificate_to_domain(domain, certificate, name, id);
    }
};

}  // namespace ev_charging_platform::cybersecurity
