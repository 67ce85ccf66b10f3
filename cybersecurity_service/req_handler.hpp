// The operations side of the certificate trust service: carries each
// operation out on the CA stores of the trust domains and writes the
// "TrustList" log lines. Changes
// asked for through the endpoint are carried out only for callers the access
// policy admits, and every change, carried out or refused, goes to the audit
// trail. Runs on the IPC server's receiving thread, one request at a time.
#pragma once

#include "access_policy.hpp"
#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/chain_verifier.hpp"
#include "ev_common/cyber/directory_ca_certificate_store.hpp"
#include "i_req_resp_cybersecurity_service_handler.hpp"
#include "trust_domains.hpp"
#include "trust_state.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ev_charging_platform::cybersecurity {

class cybersecurity_req_handler : public i_req_resp_cybersecurity_service_handler {
public:
    // The store is the system's; it is not owned and must outlive the handler.
    cybersecurity_req_handler(const std::string& service_name,
                              ev_common::ICaCertificateStore* store, access_policy policy = {});

    // For the service once it has read its configuration, before it serves.
    void set_access_policy(access_policy policy) { policy_ = std::move(policy); }
    // The durable state that journals every change and keeps the
    // generation; none: changes are not journaled. Not owned.
    void set_state(trust_state* state) { state_ = state; }
    // A configured trust domain; its store shares the system store's
    // numbering, is not owned and must outlive the handler.
    void add_domain(const std::string& name, ev_common::ICaCertificateStore* store) {
        domains_.add(name, store);
        verifier_.addDomain(name, store);
    }
    // The csms domain's store when it keeps an active root and a fallback
    // (cyber.csms_additional_root_check); none: confirm_csms_root refuses.
    void set_csms_roles(ev_common::DirectoryCaCertificateStore* store) { csms_roles_ = store; }
    // How close to its end a verified chain is reported as expiring soon.
    void set_expiry_warning(std::int64_t seconds) { expiry_warning_seconds_ = seconds; }
    std::int64_t expiry_warning() const { return expiry_warning_seconds_; }

    // Changes are not_authorized, with the store untouched, unless the
    // requester is this process or the access policy admits the caller.
    AddCertificateStatus add_ca_certificate(const requester& who, const std::string& certificate,
                                            const std::string& name, std::uint32_t& id) override;
    RemoveCertificateStatus remove_ca_certificate(const requester& who, std::uint32_t id) override;
    std::vector<ca_certificate_info> get_ca_certificates(const requester& who) override;
    std::string get_ca_certificate_by_id(const requester& who, std::uint32_t id) override;
    std::string get_ca_certificate_by_name(const requester& who, const std::string& name) override;
    std::shared_ptr<const std::string> get_ca_certificate_details(const requester& who) override;
    // Removes every user copy of the certificate the hash data name, in the
    // system's store and in every domain, as one change: all or none.
    RemoveCertificateStatus remove_ca_certificate_by_hash(
        const requester& who, const certificate_hash_data& hash_data) override;
    AddCertificateStatus add_ca_certificate_to_domain(const requester& who,
                                                      const std::string& domain,
                                                      const std::string& certificate,
                                                      const std::string& name,
                                                      std::uint32_t& id) override;
    std::int32_t apply_changes(const requester& who, const std::string& changes,
                               std::string& result) override;
    DistrustStatus distrust_builtin(const requester& who, std::uint32_t id,
                                    const std::string& name) override;
    DistrustStatus restore_builtin(const requester& who, std::uint32_t id,
                                   const std::string& name) override;
    // "cyber.batch_max_changes".
    void set_max_batch_changes(unsigned int count) { max_batch_changes_ = count; }
    // A change: admins only, journaled and audited like a removal.
    RemoveCertificateStatus confirm_csms_root(const requester& who, std::uint32_t id) override;
    // Readers may ask; without a state the answer is never complete.
    std::string get_changes_since(const requester& who, std::uint64_t since) override;
    VerifyStatus verify_certificate_chain(const requester& who, const std::string& domains,
                                          const std::string& pem, const std::string& options,
                                          std::string& result) override;

private:
    bool may_change(const requester& who) const;
    AddCertificateStatus add(const caller_credentials& caller, bool permitted,
                             const std::string& domain, const std::string& certificate,
                             const std::string& name, std::uint32_t& id);
    RemoveCertificateStatus remove(const caller_credentials& caller, bool permitted,
                                   std::uint32_t id);
    RemoveCertificateStatus remove_copies(const caller_credentials& caller,
                                          const std::vector<trust_domains::copies>& found);

    // A refused change's journal row; the rows of a change asked for before
    // it starts (false: it must not start) and settled when it did not happen.
    void journal_refused(const caller_credentials& caller, const trust_state::planned& row,
                         std::string_view result);
    bool journal_begin(const caller_credentials& caller,
                       const std::vector<trust_state::planned>& rows);
    void journal_settle(std::string_view result);
    DistrustStatus change_trust(const requester& who, std::uint32_t id, const std::string& name,
                                bool distrust);

    std::string service_name_;
    trust_state* state_ = nullptr;
    unsigned int max_batch_changes_ = 100;
    ev_common::DirectoryCaCertificateStore* csms_roles_ = nullptr;
    trust_domains domains_;
    access_policy policy_;
    // The details text of one generation of the store: it changes only with
    // the store, and clients may ask for it often.
    std::optional<std::uint64_t> details_generation_;
    std::shared_ptr<const std::string> details_text_;
    ev_common::ChainVerifier verifier_;
    std::int64_t expiry_warning_seconds_ = 30 * 86400;
};

}  // namespace ev_charging_platform::cybersecurity
