// The trust domains as the request handler sees them: the operating system's
// store under the name "system", first, then the stores of the configured
// domains in configuration order. Identifiers are unique across the stores
// (they share a numbering), so a removal by identifier or by hash data finds
// its domain by itself; the details list every domain.
#pragma once

#include "ev_common/cyber/ca_certificate_store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

// A full match of "[a-z0-9_-]+": the name is a folder and a file name below
// the domains' folder. "system" passes; the configuration refuses it apart.
bool is_domain_name(const std::string& name);

class trust_domains {
public:
    // The stores are not owned and must outlive this object.
    explicit trust_domains(ev_common::ICaCertificateStore* system);

    // After the system's store and the domains added before.
    void add(const std::string& name, ev_common::ICaCertificateStore* store);

    ev_common::ICaCertificateStore& system() { return *domains_.front().store; }
    // Nothing for a name that is not a domain.
    ev_common::ICaCertificateStore* find(const std::string& name);

    struct holder {
        const std::string& domain;
        ev_common::ICaCertificateStore& store;
        ev_common::CertificateInfo info;
    };
    // The store that holds the identifier, without a complaint when none does.
    std::optional<holder> holder_of(std::uint32_t id);

    // The certificate with that hash data: a removable one first, in domain
    // order, else a built-in one. An unknown algorithm is logged once.
    std::optional<std::uint32_t> find_by_hash(const ev_common::OcppHashData& wanted);

    // The user certificates of one store that carry some hash data.
    struct copies {
        const std::string& domain;
        ev_common::ICaCertificateStore& store;
        std::vector<ev_common::CertificateInfo> entries;
    };
    // Every user certificate with that hash data, grouped by store: the
    // domains in order, then the system's store, whose changes run the
    // update tool (the slowest step, and the one most likely to fail).
    std::vector<copies> find_user_copies(const ev_common::OcppHashData& wanted);

    // Every store with its domain's name in the order changes of several
    // stores are made: the domains in configuration order, then the
    // system's store, whose update tool is the slowest step and the most
    // likely to fail.
    std::vector<std::pair<std::string, ev_common::ICaCertificateStore*>> change_order() const;

    // Every domain's entries, system first, at the system store's generation
    // (the generation of all of them).
    ev_common::CertificateDetailsListing details();
    std::uint64_t generation() { return system().generation(); }

private:
    struct domain {
        std::string name;
        ev_common::ICaCertificateStore* store;
    };
    std::vector<domain> domains_;
};

}  // namespace ev_charging_platform::cybersecurity
