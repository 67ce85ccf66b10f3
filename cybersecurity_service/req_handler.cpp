#include "req_handler.hpp"

#include "audit_trail.hpp"
#include "certificate_json.hpp"
#include "chain_verification.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

namespace ev_charging_platform::cybersecurity {

cybersecurity_req_handler::cybersecurity_req_handler(const std::string& service_name,
                                                     ev_common::ICaCertificateStore* store,
                                                     access_policy policy)
    : service_name_(service_name), domains_(store), policy_(std::move(policy)) {
    verifier_.addDomain(system_domain, store);
}

bool cybersecurity_req_handler::may_change(const requester& who) const {
    return who.is_this_process() || policy_.may_change(who.credentials());
}

AddCertificateStatus cybersecurity_req_handler::add_ca_certificate(const requester& who,
                                                                   const std::string& certificate,
                                                                   const std::string& name,
                                                                   std::uint32_t& id) {
    return add(who.credentials(), may_change(who), system_domain, certificate, name, id);
}

AddCertificateStatus cybersecurity_req_handler::add_ca_certificate_to_domain(
    const requester& who, const std::string& domain, const std::string& certificate,
    const std::string& name, std::uint32_t& id) {
    return add(who.credentials(), may_change(who), domain, certificate, name, id);
}

RemoveCertificateStatus cybersecurity_req_handler::remove_ca_certificate(const requester& who,
                                                                         std::uint32_t id) {
    return remove(who.credentials(), may_change(who), id);
}

// A refused caller's text is still read, for the lines that name what was
// refused; it never reaches the store. The system store's lines stay as they
// always were; those of another domain name it.
AddCertificateStatus cybersecurity_req_handler::add(const caller_credentials& caller,
                                                    bool permitted, const std::string& domain,
                                                    const std::string& certificate,
                                                    const std::string& name, std::uint32_t& id) {
    const ev_common::Certificate parsed(certificate);
    // A caller who may not change the stores learns nothing of the domains.
    ev_common::ICaCertificateStore* store = domains_.find(domain);
    if (permitted && store == nullptr) {
        spdlog::warn("Unknown trust domain : {}", ev_common::bounded(domain));
    }
    // The store says whether the addition replaces an entry; a refused
    // caller's addition never reaches it, so it is asked by name.
    bool replacing = !permitted && store != nullptr && store->holdsUserCertificate(name);
    AddCertificateStatus status = AddCertificateStatus::not_authorized;
    const std::string fingerprint = parsed.sha256Fingerprint();
    trust_state::planned row{"add", domain, std::nullopt, name, fingerprint};
    if (permitted && store != nullptr) {
        status =
            journal_begin(caller, {row})
                ? store->addCertificate(parsed, name, id, ev_common::SameName::replace, &replacing)
                : AddCertificateStatus::internal_error;
        if (status != AddCertificateStatus::success) {
            journal_settle(to_string(status));
        }
    } else {
        if (permitted) status = AddCertificateStatus::invalid_name;
        if (replacing) row.operation = "replace";
        journal_refused(caller, row, to_string(status));
    }
    const bool added = status == AddCertificateStatus::success;
    const bool system = domain == system_domain;
    const auto common_name = ev_common::bounded(parsed.subject().commonName);
    if (added && system) {
        spdlog::info("Certificate addition in TrustList : id={} CN={}", id, common_name);
    } else if (added) {
        spdlog::info("Certificate addition in TrustList of domain {} : id={} CN={}",
                     ev_common::bounded(domain), id, common_name);
    } else if (system) {
        spdlog::error("Error adding certificate CN={} in TrustList, status={}", common_name,
                      to_string(status));
    } else {
        spdlog::error("Error adding certificate CN={} in TrustList of domain {}, status={}",
                      common_name, ev_common::bounded(domain), to_string(status));
    }
    audit_entry entry{replacing ? "replace" : "add",
                      name,
                      added ? std::optional<std::uint32_t>(id) : std::nullopt,
                      fingerprint,
                      caller,
                      to_string(status)};
    if (!system) entry.domain = domain;
    log_audit(entry, added);
    return status;
}

RemoveCertificateStatus cybersecurity_req_handler::remove(const caller_credentials& caller,
                                                          bool permitted, std::uint32_t id) {
    const auto holder = domains_.holder_of(id);
    std::string fingerprint;
    if (holder) {
        if (const auto stored = holder->store.getCertificate(id))
            fingerprint = stored->sha256Fingerprint();
    }
    // An identifier no store holds is refused by the system's store, with its line.
    auto& store = holder ? holder->store : domains_.system();
    const trust_state::planned row{"remove", holder ? holder->domain : std::string(), id,
                                   holder ? holder->info.name : std::string(), fingerprint};
    auto status = RemoveCertificateStatus::not_authorized;
    if (permitted) {
        status = journal_begin(caller, {row}) ? store.removeCertificate(id)
                                              : RemoveCertificateStatus::internal_error;
        if (status != RemoveCertificateStatus::success) journal_settle(to_string(status));
    } else {
        journal_refused(caller, row, to_string(status));
    }
    const bool removed = status == RemoveCertificateStatus::success;
    if (removed) {
        spdlog::info("Certificate id={} removed from TrustList", id);
    } else {
        spdlog::error("Error removing certificate id={} from TrustList. status = {}", id,
                      to_string(status));
    }
    std::optional<std::string_view> name;
    if (holder) name = holder->info.name;
    audit_entry entry{"remove", name, id, fingerprint, caller, to_string(status)};
    if (holder && holder->domain != system_domain) entry.domain = holder->domain;
    log_audit(entry, removed);
    return status;
}

RemoveCertificateStatus cybersecurity_req_handler::remove_copies(
    const caller_credentials& caller, const std::vector<trust_domains::copies>& found) {
    // Read while the certificates are still there: the audit names each copy.
    std::vector<std::vector<std::string>> fingerprints;
    for (const auto& copies : found) {
        auto& of_store = fingerprints.emplace_back();
        for (const auto& entry : copies.entries) {
            const auto stored = copies.store.getCertificate(entry.id);
            of_store.push_back(stored ? stored->sha256Fingerprint() : std::string());
        }
    }
    // The journal's rows, and the changes as the stores will report them:
    // each store's copies in turn, one generation each.
    std::vector<trust_state::planned> rows;
    std::vector<ev_common::CertificateChange> changes;
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (std::size_t j = 0; j < found[i].entries.size(); ++j) {
            const auto& entry = found[i].entries[j];
            rows.push_back({"remove", found[i].domain, entry.id, entry.name, fingerprints[i][j]});
            ev_common::CertificateChange change;
            change.event = ev_common::CertificateEvent::removed;
            change.generation = domains_.generation() + changes.size() + 1;
            change.domain = found[i].domain;
            change.id = entry.id;
            change.name = entry.name;
            change.sha256 = fingerprints[i][j];
            change.notAfter = entry.notAfter;
            changes.push_back(std::move(change));
        }
    }
    auto status = journal_begin(caller, rows) ? RemoveCertificateStatus::success
                                              : RemoveCertificateStatus::internal_error;
    std::size_t staged = 0;
    for (; status == RemoveCertificateStatus::success && staged < found.size(); ++staged) {
        std::vector<std::uint32_t> ids;
        for (const auto& entry : found[staged].entries) ids.push_back(entry.id);
        status = found[staged].store.stageRemoval(ids);
        if (status != RemoveCertificateStatus::success) break;
    }
    // Every copy is out of its folder: the journal holds the removal before
    // it counts, else every copy goes back.
    if (status == RemoveCertificateStatus::success && state_ != nullptr &&
        !state_->commit(changes)) {
        status = RemoveCertificateStatus::internal_error;
    }
    if (status != RemoveCertificateStatus::success) journal_settle(to_string(status));
    const bool removed = status == RemoveCertificateStatus::success;
    for (std::size_t i = 0; i < staged; ++i) {
        auto& store = found[removed ? i : staged - 1 - i].store;
        if (removed) {
            store.commitRemoval();
        } else {
            store.rollBackRemoval();
        }
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (std::size_t j = 0; j < found[i].entries.size(); ++j) {
            const auto& entry = found[i].entries[j];
            if (removed) {
                spdlog::info("Certificate id={} removed from TrustList", entry.id);
            } else {
                spdlog::error("Error removing certificate id={} from TrustList. status = {}",
                              entry.id, to_string(status));
            }
            audit_entry audited{"remove",           entry.name, entry.id,
                                fingerprints[i][j], caller,     to_string(status)};
            if (found[i].domain != system_domain) audited.domain = found[i].domain;
            log_audit(audited, removed);
        }
    }
    return status;
}

std::vector<ca_certificate_info> cybersecurity_req_handler::get_ca_certificates(const requester&) {
    const auto entries = domains_.system().getCertificates();
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

std::string cybersecurity_req_handler::get_ca_certificate_by_id(const requester&,
                                                                std::uint32_t id) {
    auto certificate = domains_.system().getCertificate(id);
    if (!certificate) {
        spdlog::error("Error: cannot retrieve certificate of id {}", id);
        return {};
    }
    return certificate->text();
}

std::string cybersecurity_req_handler::get_ca_certificate_by_name(const requester&,
                                                                  const std::string& name) {
    auto certificate = domains_.system().getCertificateByName(name);
    if (!certificate) {
        spdlog::error("Error: cannot retrieve certificate of name {}", ev_common::bounded(name));
        return {};
    }
    return certificate->text();
}

std::shared_ptr<const std::string> cybersecurity_req_handler::get_ca_certificate_details(
    const requester&) {
    const std::uint64_t generation = domains_.generation();
    if (!details_text_ || details_generation_ != generation) {
        const auto listing = domains_.details();
        details_text_ = std::make_shared<const std::string>(
            details_json(listing, state_ != nullptr ? state_->store_id() : std::string()));
        details_generation_ = listing.generation;
    }
    return details_text_;
}

// Every user certificate with the hash data goes, in every store, as one
// change: should one store fail, the copies already taken out of the others
// are put back, and nothing is reported but the failure. Without a user
// copy, a built-in match is refused as by its identifier. A caller who may
// not change the store learns nothing of what it holds: without a match the
// answer is not_authorized as well.
RemoveCertificateStatus cybersecurity_req_handler::remove_ca_certificate_by_hash(
    const requester& who, const certificate_hash_data& hash_data) {
    const caller_credentials& caller = who.credentials();
    const bool permitted = may_change(who);
    ev_common::OcppHashData wanted;
    wanted.hashAlgorithm = hash_data.hash_algorithm;
    wanted.issuerNameHash = hash_data.issuer_name_hash;
    wanted.issuerKeyHash = hash_data.issuer_key_hash;
    wanted.serialNumber = hash_data.serial_number;
    auto copies = domains_.find_user_copies(wanted);
    if (!copies.empty() && permitted) return remove_copies(caller, copies);
    // A refused caller's line and audit name the first copy, as a removal by
    // its identifier would.
    const auto id =
        copies.empty() ? domains_.find_by_hash(wanted) : copies.front().entries.front().id;
    if (id) return remove(caller, permitted, *id);
    const auto status =
        permitted ? RemoveCertificateStatus::unknown_id : RemoveCertificateStatus::not_authorized;
    spdlog::error(
        "Error removing certificate hash_algorithm={} issuer_name_hash={} issuer_key_hash={} "
        "serial_number={} from TrustList. status = {}",
        ev_common::bounded(hash_data.hash_algorithm),
        ev_common::bounded(hash_data.issuer_name_hash),
        ev_common::bounded(hash_data.issuer_key_hash), ev_common::bounded(hash_data.serial_number),
        to_string(status));
    journal_refused(caller, {"remove", {}, std::nullopt, {}, {}}, to_string(status));
    log_audit({"remove", std::nullopt, std::nullopt, {}, caller, to_string(status)},
              /*carried_out=*/false);
    return status;
}

// The OCPP module names the root that verified its last connection. The
// active one: the fallback has served its time and goes, as a removal would.
// The fallback: the new root did not work, so the fallback stays.
RemoveCertificateStatus cybersecurity_req_handler::confirm_csms_root(const requester& who,
                                                                     std::uint32_t id) {
    const caller_credentials& caller = who.credentials();
    const bool permitted = may_change(who);
    const auto holder = domains_.holder_of(id);
    const bool in_csms = holder && csms_roles_ != nullptr && &holder->store == csms_roles_;
    std::string fingerprint;
    if (in_csms) {
        if (const auto stored = holder->store.getCertificate(id))
            fingerprint = stored->sha256Fingerprint();
    }
    const std::string name = in_csms ? holder->info.name : std::string();
    trust_state::planned row{"confirm", in_csms ? holder->domain : std::string(), id, name,
                             fingerprint};
    auto status = RemoveCertificateStatus::not_authorized;
    std::optional<std::uint32_t> removed_fallback;
    if (!permitted) {
        spdlog::error("Error confirming CSMS root id={}. status = {}", id, to_string(status));
    } else if (csms_roles_ == nullptr) {
        status = RemoveCertificateStatus::unknown_id;
        spdlog::error(
            "Error confirming CSMS root id={} : the csms domain keeps no fallback "
            "(cyber.csms_additional_root_check is false). status = {}",
            id, to_string(status));
    } else if (!in_csms) {
        status = RemoveCertificateStatus::unknown_id;
        spdlog::error("Error confirming CSMS root id={} : not a root of domain csms. status = {}",
                      id, to_string(status));
    } else if (csms_roles_->fallbackId() == id || !csms_roles_->fallbackId()) {
        status = RemoveCertificateStatus::success;
        spdlog::info("CSMS root id={} confirmed, nothing removed", id);
    } else {
        const std::uint32_t fallback = *csms_roles_->fallbackId();
        const auto info = csms_roles_->findCertificateInfo(fallback);
        const auto stored = csms_roles_->getCertificate(fallback);
        const trust_state::planned removal{"remove", holder->domain, fallback,
                                           info ? info->name : std::string(),
                                           stored ? stored->sha256Fingerprint() : std::string()};
        status = journal_begin(caller, {removal}) ? csms_roles_->removeCertificate(fallback)
                                                  : RemoveCertificateStatus::internal_error;
        if (status != RemoveCertificateStatus::success) {
            journal_settle(to_string(status));
            spdlog::error(
                "Error confirming CSMS root id={} : the fallback id={} stays. status = {}", id,
                fallback, to_string(status));
        } else {
            removed_fallback = fallback;
            spdlog::info("CSMS root id={} confirmed, fallback id={} removed", id, fallback);
            audit_entry entry{"remove",       removal.name, fallback,
                              removal.sha256, caller,       to_string(status)};
            entry.domain = holder->domain;
            log_audit(entry, /*carried_out=*/true);
        }
    }
    // The removal has its own row; a confirmation that removed nothing, or
    // was refused, has this one.
    if (!removed_fallback) journal_refused(caller, row, to_string(status));
    const bool confirmed = status == RemoveCertificateStatus::success;
    audit_entry entry{"confirm", in_csms ? std::optional<std::string_view>(name) : std::nullopt,
                      id,        fingerprint,
                      caller,    to_string(status)};
    if (in_csms) entry.domain = holder->domain;
    log_audit(entry, confirmed);
    return status;
}

std::string cybersecurity_req_handler::get_changes_since(const requester&, std::uint64_t since) {
    if (state_ != nullptr) return state_->changes_since(since);
    // No journal is kept: nothing can be said about what changed.
    return R"({"store_id": null, "generation": )" + std::to_string(domains_.generation()) +
           R"(, "complete": false, "chain_base": "", "head": "", "changes": []})";
}

void cybersecurity_req_handler::journal_refused(const caller_credentials& caller,
                                                const trust_state::planned& row,
                                                std::string_view result) {
    if (state_ != nullptr) state_->record_refused(caller, row, result);
}

bool cybersecurity_req_handler::journal_begin(const caller_credentials& caller,
                                              const std::vector<trust_state::planned>& rows) {
    return state_ == nullptr || state_->begin(caller, rows);
}

void cybersecurity_req_handler::journal_settle(std::string_view result) {
    if (state_ != nullptr) state_->settle(result);
}

// Every caller may verify: the answer tells nothing the caller could not
// work out from the roots, which anyone may read.
VerifyStatus cybersecurity_req_handler::verify_certificate_chain(const requester&,
                                                                 const std::string& domains,
                                                                 const std::string& pem,
                                                                 const std::string& options,
                                                                 std::string& result) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    ev_common::ChainVerifier::Options read;
    ev_common::ChainVerifier::Result verified;
    if (auto error = read_verify_options(options, read)) {
        verified.reason = std::move(*error);
    } else {
        verified = verifier_.verify(domains, pem, read, now);
    }
    if (verified.status == VerifyStatus::invalid_input) {
        spdlog::warn("Chain verification refused: {}", verified.reason);
    } else {
        spdlog::debug("Chain verification in {} : {} ({})", ev_common::bounded(domains),
                      ev_common::chainStatusName(verified.status), verified.reason);
    }
    result = verification_json(verified, read.at.value_or(now), expiry_warning_seconds_);
    return verified.status;
}

DistrustStatus cybersecurity_req_handler::distrust_builtin(const requester& who, std::uint32_t id,
                                                           const std::string& name) {
    return change_trust(who, id, name, /*distrust=*/true);
}

DistrustStatus cybersecurity_req_handler::restore_builtin(const requester& who, std::uint32_t id,
                                                          const std::string& name) {
    return change_trust(who, id, name, /*distrust=*/false);
}

// By identifier, or by name when the identifier is 0: the built-ins are the
// system store's. A caller who may not change the store learns nothing of it.
DistrustStatus cybersecurity_req_handler::change_trust(const requester& who, std::uint32_t id,
                                                       const std::string& name, bool distrust) {
    const char* const operation = distrust ? "distrust" : "restore";
    auto& store = domains_.system();
    if (id == 0) {
        for (const auto& entry : store.getCertificates()) {
            if (entry.name == name && entry.isBuiltIn) id = entry.id;
        }
    }
    std::optional<ev_common::CertificateInfo> info;
    if (id != 0) info = store.findCertificateInfo(id);
    std::string fingerprint;
    if (info) {
        if (const auto stored = store.getCertificate(id)) fingerprint = stored->sha256Fingerprint();
    }
    const trust_state::planned row{operation, system_domain,
                                   id != 0 ? std::optional<std::uint32_t>(id) : std::nullopt,
                                   info ? info->name : name, fingerprint};
    auto status = DistrustStatus::not_authorized;
    if (!may_change(who)) {
        journal_refused(who.credentials(), row, to_string(status));
    } else if (!info) {
        status = DistrustStatus::unknown_id;
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        journal_refused(who.credentials(), row, to_string(status));
    } else {
        status = !journal_begin(who.credentials(), {row})
                     ? DistrustStatus::internal_error
                     : (distrust ? store.distrustBuiltIn(id) : store.restoreBuiltIn(id));
        if (status != DistrustStatus::success) journal_settle(to_string(status));
    }
    const bool done = status == DistrustStatus::success;
    if (done) {
        spdlog::info("Certificate id={} {} in TrustList", id, distrust ? "distrusted" : "restored");
    } else {
        spdlog::error("Error {} certificate id={} in TrustList, status={}",
                      distrust ? "distrusting" : "restoring", id, to_string(status));
    }
    std::optional<std::string_view> audited_name;
    if (info) audited_name = info->name;
    log_audit({operation, audited_name, id != 0 ? std::optional<std::uint32_t>(id) : std::nullopt,
               fingerprint, who.credentials(), to_string(status)},
              done);
    return status;
}

}  // namespace ev_charging_platform::cybersecurity
