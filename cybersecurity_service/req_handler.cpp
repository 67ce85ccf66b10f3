#include "req_handler.hpp"

#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

namespace ev_charging_platform::cybersecurity {

cybersecurity_req_handler::cybersecurity_req_handler(const std::string& service_name,
                                                     ev_common::ICaCertificateStore* store)
    : service_name_(service_name), store_(store) {}

AddCertificateStatus cybersecurity_req_handler::add_ca_certificate(const std::string& certificate,
                                                                   const std::string& name,
                                                                   std::uint32_t& id) {
    const ev_common::Certificate parsed(certificate);
    const auto status = store_->addCertificate(parsed, name, id, true);
    if (status == AddCertificateStatus::success) {
        spdlog::info("Certificate addition in TrustList : id={} CN={}", id,
                     ev_common::bounded(parsed.subject().commonName));
    } else {
        spdlog::error("Error adding certificate CN={} in TrustList, status={}",
                      ev_common::bounded(parsed.subject().commonName), to_string(status));
    }
    return status;
}

RemoveCertificateStatus cybersecurity_req_handler::remove_ca_certificate(std::uint32_t id) {
    const auto status = store_->removeCertificate(id);
    if (status == RemoveCertificateStatus::success) {
        spdlog::info("Certificate id={} removed from TrustList", id);
    } else {
        spdlog::error("Error removing certificate id={} from TrustList. status = {}", id,
                      to_string(status));
    }
    return status;
}

std::vector<ca_certificate_info> cybersecurity_req_handler::get_ca_certificates() {
    const auto entries = store_->getCertificates();
    std::vector<ca_certificate_info> result;
    result.reserve(entries.size());
    for (const auto& entry : entries) {
        ca_certificate_info info;
        info.id = entry.id;
        info.name = entry.name;
        info.built_in = entry.isBuiltIn;
        info.subject = entry.subject;
        info.not_after = entry.notAfter;
        result.push_back(std::move(info));
    }
    return result;
}

std::string cybersecurity_req_handler::get_ca_certificate_by_id(std::uint32_t id) {
    auto certificate = store_->getCertificate(id);
    if (!certificate) {
        spdlog::error("Error: cannot retrieve certificate of id {}", id);
        return {};
    }
    return certificate->text();
}

std::string cybersecurity_req_handler::get_ca_certificate_by_name(const std::string& name) {
    auto certificate = store_->getCertificateByName(name);
    if (!certificate) {
        spdlog::error("Error: cannot retrieve certificate of name {}", ev_common::bounded(name));
        return {};
    }
    return certificate->text();
}

}  // namespace ev_charging_platform::cybersecurity
