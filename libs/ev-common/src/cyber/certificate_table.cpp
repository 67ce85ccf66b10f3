#include "ev_common/cyber/certificate_table.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

#include <spdlog/spdlog.h>

#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/utc_time.hpp"

namespace ev_common {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Lower case, without the leading zeros a client may have kept.
std::string normalisedSerial(const std::string& serial) {
    const bool negative = !serial.empty() && serial[0] == '-';
    const std::string digits = lowerCase(serial.substr(negative ? 1 : 0));
    const std::size_t first = digits.find_first_not_of('0');
    const std::string value = first == std::string::npos ? "0" : digits.substr(first);
    return negative ? "-" + value : value;
}

}  // namespace

CertificateTable::CertificateTable(std::string domain)
    : domain_(std::move(domain)), numbering_(std::make_shared<CertificateNumbering>()) {}

void CertificateTable::shareNumbering(std::shared_ptr<CertificateNumbering> numbering) {
    if (numbering) numbering_ = std::move(numbering);
}

CertificateTable::Entry CertificateTable::makeEntry(const std::string& name, bool isBuiltIn,
                                                    const Certificate& certificate) const {
    Entry entry;
    entry.info.id = numbering_->nextId;
    entry.info.name = name;
    entry.info.isBuiltIn = isBuiltIn;
    entry.info.subject = certificate.subjectText();
    entry.info.notAfter = static_cast<int32_t>(certificate.notAfter());
    entry.details = describeCertificate(certificate);
    entry.identity = issuerIdentity(certificate);
    entry.issuerDer = certificate.issuerDer();
    return entry;
}

std::uint32_t CertificateTable::insert(Entry entry) {
    const std::uint32_t id = entry.info.id;
    entries_.emplace(id, std::move(entry));
    numbering_->nextId = id + 1;
    return id;
}

CertificateTable::Entries::iterator CertificateTable::findByName(const std::string& name) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const auto& entry) { return entry.second.info.name == name; });
}

void CertificateTable::resolveIssuer(Entry& entry, const Certificate& certificate) const {
    entry.issuerId.reset();
    std::vector<OcppHashData> kept = std::move(entry.details.ocpp);
    entry.details.ocpp.clear();
    if (entry.details.selfSigned) {
        entry.issuerId = entry.info.id;
        entry.details.ocpp = ocppHashData(certificate, entry.identity);
        return;
    }
    for (const auto& [id, candidate] : entries_) {
        if (id == entry.info.id || !isIssuedBy(certificate, candidate.identity)) continue;
        entry.issuerId = id;
        entry.details.ocpp = ocppHashData(certificate, candidate.identity);
        return;
    }
    keepHashData(entry, std::move(kept));
}

void CertificateTable::keepHashData(Entry& entry, std::vector<OcppHashData> kept) const {
    if (!memory_) return;
    entry.details.ocpp = !kept.empty() ? std::move(kept) : memory_(entry.details.sha256);
}

void CertificateTable::refreshIssuers(const Loader& load) {
    for (auto& [id, entry] : entries_) {
        if (entry.details.selfSigned) continue;
        if (entry.issuerId && entries_.count(*entry.issuerId) != 0) continue;
        // The certificate is read again only when an entry of the table
        // bears its issuer's name: its signature has to be checked.
        const bool named = std::any_of(
            entries_.begin(), entries_.end(),
            [&, self = id, &issuerDer = entry.issuerDer](const auto& other) {
                return other.first != self && sameName(issuerDer, other.second.identity.subjectDer);
            });
        const auto certificate = named ? load(entry.info) : std::nullopt;
        if (certificate) {
            resolveIssuer(entry, *certificate);
        } else {
            entry.issuerId.reset();
            keepHashData(entry, std::exchange(entry.details.ocpp, {}));
        }
    }
}

void CertificateTable::changed(CertificateEvent event, const Entry& entry) {
    ++numbering_->generation;
    report(event, entry);
}

void CertificateTable::changedAt(CertificateEvent event, const Entry& entry,
                                 std::uint64_t generation) {
    numbering_->generation = generation;
    report(event, entry);
}

void CertificateTable::report(CertificateEvent event, const Entry& entry) const {
    if (observer_) observer_(changeOf(event, entry, 0));
}

CertificateChange CertificateTable::changeOf(CertificateEvent event, const Entry& entry,
                                             std::uint64_t steps) const {
    CertificateChange change;
    change.event = event;
    change.generation = numbering_->generation + steps;
    change.domain = domain_;
    change.id = entry.info.id;
    change.name = entry.info.name;
    change.sha256 = entry.details.sha256;
    change.notAfter = entry.details.notAfter;
    change.profile = entry.profile;
    change.role = entry.role;
    return change;
}

std::vector<CertificateInfo> CertificateTable::infos() const {
    std::vector<CertificateInfo> result;
    result.reserve(entries_.size());
    for (const auto& [id, entry] : entries_) result.push_back(entry.info);
    return result;
}

CertificateDetailsListing CertificateTable::details() const {
    CertificateDetailsListing listing;
    listing.generation = numbering_->generation;
    listing.certificates.reserve(entries_.size());
    for (const auto& [id, entry] : entries_) {
        listing.certificates.push_back(
            {entry.info, entry.details, domain_, entry.profile, entry.role});
    }
    return listing;
}

std::optional<std::uint32_t> CertificateTable::findByHashData(const OcppHashData& wanted) const {
    std::optional<std::uint32_t> builtIn;
    for (const std::uint32_t id : findAllByHashData(wanted)) {
        if (!entries_.at(id).info.isBuiltIn) return id;
        if (!builtIn) builtIn = id;
    }
    return builtIn;
}

std::vector<std::uint32_t> CertificateTable::findAllByHashData(const OcppHashData& wanted) const {
    const auto& algorithms = ocppHashAlgorithms();
    std::string algorithm = wanted.hashAlgorithm;
    std::transform(algorithm.begin(), algorithm.end(), algorithm.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto known = std::find(algorithms.begin(), algorithms.end(), algorithm);
    if (known == algorithms.end()) {
        spdlog::warn("[ca-store] Unknown hash algorithm : {}", bounded(wanted.hashAlgorithm));
        return {};
    }
    const auto index = static_cast<std::size_t>(known - algorithms.begin());
    const std::string nameHash = lowerCase(wanted.issuerNameHash);
    const std::string keyHash = lowerCase(wanted.issuerKeyHash);
    const std::string serial = normalisedSerial(wanted.serialNumber);
    std::vector<std::uint32_t> found;
    for (const auto& [id, entry] : entries_) {
        if (entry.details.ocpp.size() <= index) continue;
        const OcppHashData& data = entry.details.ocpp[index];
        if (data.issuerNameHash == nameHash && data.issuerKeyHash == keyHash &&
            data.serialNumber == serial) {
            found.push_back(id);
        }
    }
    return found;
}

std::size_t CertificateTable::checkExpiry(std::int64_t now, std::int64_t windowSeconds) const {
    // The documented line, with the trust domain after it; the system
    // store's lines name none, as they always did.
    const std::string where = domain_ == kSystemDomain ? "" : " in trust domain " + domain_;
    std::size_t count = 0;
    for (const auto& [id, entry] : entries_) {
        const std::int64_t notAfter = entry.details.notAfter;
        // Valid through its last second: expired only once that has passed.
        if (notAfter < now) {
            spdlog::warn("[ca-store] Certificate {} (id {}) expired on {}{}",
                         bounded(entry.info.name), id, formatUtcTime(notAfter), where);
            report(CertificateEvent::expired, entry);
        } else if (notAfter - now <= windowSeconds) {
            spdlog::warn("[ca-store] Certificate {} (id {}) expires on {}{}",
                         bounded(entry.info.name), id, formatUtcTime(notAfter), where);
            report(CertificateEvent::expiring, entry);
        } else {
            continue;
        }
        ++count;
    }
    return count;
}

}  // namespace ev_common
