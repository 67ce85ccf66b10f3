#include "trust_domains.hpp"

#include "cybersecurity/protocol.hpp"

#include <algorithm>
#include <cctype>

namespace ev_charging_platform::cybersecurity {

namespace {

bool known_algorithm(std::string algorithm) {
    std::transform(algorithm.begin(), algorithm.end(), algorithm.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto& known = ev_common::ocppHashAlgorithms();
    return std::find(known.begin(), known.end(), algorithm) != known.end();
}

}  // namespace

bool is_domain_name(const std::string& name) {
    // Without the regex engine, which recurses on the machine stack.
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

trust_domains::trust_domains(ev_common::ICaCertificateStore* system)
    : domains_{{system_domain, system}} {}

void trust_domains::add(const std::string& name, ev_common::ICaCertificateStore* store) {
    domains_.push_back({name, store});
}

ev_common::ICaCertificateStore* trust_domains::find(const std::string& name) {
    for (const auto& domain : domains_) {
        if (domain.name == name) return domain.store;
    }
    return nullptr;
}

std::optional<trust_domains::holder> trust_domains::holder_of(std::uint32_t id) {
    for (const auto& domain : domains_) {
        if (auto info = domain.store->findCertificateInfo(id)) {
            return holder{domain.name, *domain.store, std::move(*info)};
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> trust_domains::find_by_hash(const ev_common::OcppHashData& wanted) {
    // Every store would log the same unknown algorithm: the system's alone does.
    if (!known_algorithm(wanted.hashAlgorithm)) return system().findCertificateByHashData(wanted);
    std::optional<std::uint32_t> built_in;
    for (const auto& domain : domains_) {
        const auto id = domain.store->findCertificateByHashData(wanted);
        if (!id) continue;
        const auto info = domain.store->findCertificateInfo(*id);
        if (info && !info->isBuiltIn) return id;
        if (!built_in) built_in = id;
    }
    return built_in;
}

std::vector<trust_domains::copies> trust_domains::find_user_copies(
    const ev_common::OcppHashData& wanted) {
    std::vector<copies> found;
    if (!known_algorithm(wanted.hashAlgorithm)) return found;
    const auto look_in = [&](const domain& domain) {
        std::vector<ev_common::CertificateInfo> entries;
        for (const std::uint32_t id : domain.store->findCertificatesByHashData(wanted)) {
            auto info = domain.store->findCertificateInfo(id);
            if (info && !info->isBuiltIn) entries.push_back(std::move(*info));
        }
        if (!entries.empty()) found.push_back({domain.name, *domain.store, std::move(entries)});
    };
    for (auto it = domains_.begin() + 1; it != domains_.end(); ++it) look_in(*it);
    look_in(domains_.front());
    return found;
}

ev_common::CertificateDetailsListing trust_domains::details() {
    ev_common::CertificateDetailsListing all;
    all.generation = generation();
    for (const auto& domain : domains_) {
        auto listing = domain.store->getCertificateDetails();
        for (auto& entry : listing.certificates) {
            entry.domain = domain.name;
            all.certificates.push_back(std::move(entry));
        }
    }
    return all;
}

std::vector<std::pair<std::string, ev_common::ICaCertificateStore*>> trust_domains::change_order()
    const {
    std::vector<std::pair<std::string, ev_common::ICaCertificateStore*>> order;
    for (std::size_t i = 1; i < domains_.size(); ++i)
        order.emplace_back(domains_[i].name, domains_[i].store);
    order.emplace_back(domains_.front().name, domains_.front().store);
    return order;
}

}  // namespace ev_charging_platform::cybersecurity
