// The table behind a CA store: its entries under identifiers, with what each
// keeps of its certificate (details, issuer identity, issuer), the answers
// every store gives alike (listing, details, lookup by OCPP hash data, expiry
// warnings) and the reports of its changes to an observer. Stores of one
// service share a CertificateNumbering, so that identifiers are unique across
// them and one generation counts the changes of them all.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"

namespace ev_common {

struct CertificateNumbering {
    // Given to the next certificate entered in any of the stores.
    std::uint32_t nextId = 1;
    // 0 after the start-up scans, then one more with every change.
    std::uint64_t generation = 0;
};

class CertificateTable {
public:
    struct Entry {
        CertificateInfo info;
        CertificateDetails details;
        IssuerIdentity identity;
        std::vector<std::uint8_t> issuerDer;
        // The entry whose key signed this certificate (its own for a
        // self-signed one); empty while no entry of the table did.
        std::optional<std::uint32_t> issuerId;
        // Set by stores that give them (CertificateChange::profile, role).
        std::string profile;
        std::string role;
    };
    using Entries = std::map<std::uint32_t, Entry>;
    // The certificate of an entry read anew; nothing when it cannot be.
    using Loader = std::function<std::optional<Certificate>(const CertificateInfo&)>;

    // `domain` names the store in details and reports.
    explicit CertificateTable(std::string domain);

    const std::string& domain() const { return domain_; }
    void shareNumbering(std::shared_ptr<CertificateNumbering> numbering);
    std::uint64_t generation() const { return numbering_->generation; }

    // An entry for `certificate` under the next identifier, its issuer not
    // looked for yet.
    Entry makeEntry(const std::string& name, bool isBuiltIn, const Certificate& certificate) const;
    // Enters an entry made by makeEntry (nothing entered since) and uses up
    // its identifier.
    std::uint32_t insert(Entry entry);
    void erase(Entries::iterator it) { entries_.erase(it); }

    Entries::iterator begin() { return entries_.begin(); }
    Entries::iterator end() { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    Entries::iterator find(std::uint32_t id) { return entries_.find(id); }
    // The first entry in identifier order with that name.
    Entries::iterator findByName(const std::string& name);
    Entry& at(std::uint32_t id) { return entries_.at(id); }

    // Looks for the entry that issued `certificate` (the certificate of
    // `entry`) and sets the entry's OCPP hash data from its key, or clears them.
    void resolveIssuer(Entry& entry, const Certificate& certificate) const;
    // After a change: entries whose issuer has left the table, or that had
    // none, look for one again; `load` reads a candidate's certificate.
    void refreshIssuers(const Loader& load);

    // Counts a change of the table (one more generation) and reports it.
    void changed(CertificateEvent event, const Entry& entry);
    // Reports a change of a batch, which counts as one generation: `generation`.
    void changedAt(CertificateEvent event, const Entry& entry, std::uint64_t generation);
    std::uint32_t nextId() const { return numbering_->nextId; }
    // The change as changed() will report it, `steps` generations from now.
    CertificateChange changeOf(CertificateEvent event, const Entry& entry,
                               std::uint64_t steps = 1) const;

    // The OCPP hash data once recorded for a certificate (by its SHA-256),
    // for an entry whose issuer is not in the table. While one is set, an
    // entry whose issuer leaves the table keeps the hash data it had: a
    // central system still names it by them.
    using HashDataMemory = std::function<std::vector<OcppHashData>(const std::string& sha256)>;
    void setHashDataMemory(HashDataMemory memory) { memory_ = std::move(memory); }

    std::vector<CertificateInfo> infos() const;
    CertificateDetailsListing details() const;
    // See ICaCertificateStore::findCertificateByHashData.
    std::optional<std::uint32_t> findByHashData(const OcppHashData& wanted) const;
    // See ICaCertificateStore::findCertificatesByHashData.
    std::vector<std::uint32_t> findAllByHashData(const OcppHashData& wanted) const;
    // See LinuxCaCertificateStore::checkExpiry.
    std::size_t checkExpiry(std::int64_t now, std::int64_t windowSeconds) const;

    void setObserver(CertificateChangeObserver observer) { observer_ = std::move(observer); }

private:
    void report(CertificateEvent event, const Entry& entry) const;
    // An entry without an issuer in the table: the hash data it had, else
    // those remembered for it; none without a memory.
    void keepHashData(Entry& entry, std::vector<OcppHashData> kept) const;

    std::string domain_;
    std::shared_ptr<CertificateNumbering> numbering_;
    Entries entries_;
    CertificateChangeObserver observer_;
    HashDataMemory memory_;
};

}  // namespace ev_common
