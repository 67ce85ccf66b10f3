#include "req_handler.hpp"

#include "certificate_json.hpp"
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

std::shared_ptr<const std::string> cybersecurity_req_handler::get_ca_certificate_details() {
    const std::uint64_t generation = store_->generation();
    if (!details_text_ || details_generation_ != generation) {
        const auto listing = store_->getCertificateDetails();
        details_text_ = std::make_shared<const std::string>(details_json(listing));
        details_generation_ = listing.generation;
    }
    return details_text_;
}

RemoveCertificateStatus cybersecurity_req_handler::remove_ca_certificate_by_hash(
    const certificate_hash_data& hash_data) {
    ev_common::OcppHashData wanted;
    wanted.hashAlgorithm = hash_data.hash_algorithm;
    wanted.issuerNameHash = hash_data.issuer_name_hash;
    wanted.issuerKeyHash = hash_data.issuer_key_hash;
    wanted.serialNumber = hash_data.serial_number;
    if (const auto id = store_->findCertificateByHashData(wanted)) {
        return remove_ca_certificate(*id);
    }
    const auto status = RemoveCertificateStatus::unknown_id;
    spdlog::error(
        "Error removing certificate hash_algorithm={} issuer_name_hash={} issuer_key_hash={} "
        "serial_number={} from TrustList. status = {}",
        ev_common::bounded(hash_data.hash_algorithm),
        ev_common::bounded(hash_data.issuer_name_hash),
        ev_common::bounded(hash_data.issuer_key_hash), ev_common::bounded(hash_data.serial_number),
        to_string(status));
    return status;
}

}  // namespace ev_charging_platform::cybersecurity
