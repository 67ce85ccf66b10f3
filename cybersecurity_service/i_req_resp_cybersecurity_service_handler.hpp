// The operations of the certificate trust service as one in-process
// interface: the IPC side decodes requests and calls it, the operations side
// carries them out on the CA store.
#pragma once

#include "cybersecurity/protocol.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class i_req_resp_cybersecurity_service_handler {
public:
    virtual ~i_req_resp_cybersecurity_service_handler() = default;
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
};

}  // namespace ev_charging_platform::cybersecurity
