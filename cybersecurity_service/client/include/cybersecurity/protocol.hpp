// The application protocol of the certificate trust service: operation
// identifiers, the name of the operating system's trust domain, the status
// codes of additions and removals with their names,
// the record of the listing operation and the hash data of a removal by hash
// with their wire encoding, and the endpoint of its change events. Shared by
// the service's request handler and by its clients.
#pragma once

#include "ev_common/cyber/certificate_status.hpp"
#include "ev_common/cyber/chain_status.hpp"
#include "ev_common/ipc/serialization.hpp"

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace ev_charging_platform::cybersecurity {

inline constexpr const char* service_endpoint = "ipc:///tmp/cybersecurity_service.reqresp.api";
// PUB endpoint: one frame of JSON text per change of the store and per
// certificate near its end of validity. In a folder where only root may
// create files, so that no other user can hold the path while the service is
// down; a service not run as root publishes in a folder of its user's (see
// the README).
inline constexpr const char* events_endpoint = "ipc:///run/cybersecurity_service/events.api";

// The trust domain of the operating system's store, which operations 0 to 4
// serve; other domains are named in the service's configuration.
inline constexpr const char* system_domain = "system";

enum class operation_id : std::int32_t {
    add_ca_certificate = 0,
    remove_ca_certificate = 1,
    get_ca_certificates = 2,
    get_ca_certificate_by_id = 3,
    get_ca_certificate_by_name = 4,
    // Reply: one string holding the JSON text of every certificate's details.
    get_ca_certificate_details = 5,
    // Parameters: a certificate_hash_data record; reply: the removal status.
    remove_ca_certificate_by_hash = 6,
    // Parameters: the trust domain, the PEM text and the name; reply as
    // add_ca_certificate.
    add_ca_certificate_to_domain = 7,
    // Parameters: a generation (unsigned 64 bits); reply: one string holding
    // the JSON text of the journal's rows after it.
    get_changes_since = 8,
    // Parameters: the identifier (uint32) of the csms root that verified the
    // OCPP module's last connection; reply: a removal status. The active
    // root: the fallback is removed; the fallback: it stays.
    confirm_csms_root = 9,
    // Parameters: the trust domains (comma-separated), the PEM text of the
    // chain (leaf first) and the options (JSON text, may be empty); reply: a
    // VerifyStatus (uint32) and the JSON text of the result.
    verify_certificate_chain = 10,
    // Parameters: the JSON text of an array of changes; reply: a status
    // (int32: 0, the first failing change's status, or batch_invalid) and
    // the JSON text of every change's result.
    apply_changes = 11,
    // Parameters: an identifier and a name (identifier 0: the built-in of
    // that name); reply: a DistrustStatus.
    distrust_builtin = 12,
    restore_builtin = 13,
};

// The status of apply_changes for a batch that cannot be read (not JSON, an
// unknown op, too many changes, a name twice): "invalid_batch".
inline constexpr std::int32_t batch_invalid = 64;

// The store's results travel on the wire unchanged; -1 ("ipc_error") is what
// a client reports when the exchange itself failed.
using AddCertificateStatus = ev_common::AddCertificateStatus;
using RemoveCertificateStatus = ev_common::RemoveCertificateStatus;
using DistrustStatus = ev_common::DistrustStatus;
// Of verify_certificate_chain; the name is ev_common::chainStatusName's.
using VerifyStatus = ev_common::ChainStatus;

// Names for log lines; "INVALID_ENUM_VALUE" for a value outside the table.
const std::string& to_string(AddCertificateStatus status);
const std::string& to_string(RemoveCertificateStatus status);
const std::string& to_string(DistrustStatus status);
// The operation's name, or "INVALID_ENUM_VALUE".
const std::string& to_string(operation_id operation);

struct ca_certificate_info {
    std::uint32_t id = 0;
    std::string name;
    bool built_in = false;
    std::string subject;
    // Seconds since the epoch, cut to 32 bits as the store holds it.
    std::int32_t not_after = 0;
    std::string additional_text;
    std::vector<std::uint8_t> additional_data;

    // Wire order, for encoding, decoding and sizing alike.
    template <typename Self>
    static auto fields(Self& self) {
        return std::tie(self.id, self.name, self.built_in, self.subject, self.not_after,
                        self.additional_text, self.additional_data);
    }
};

// How OCPP names a certificate (CertificateHashData): the algorithm
// ("SHA256", "SHA384" or "SHA512") and three hex texts, compared regardless
// of case, the serial also regardless of leading zeros.
struct certificate_hash_data {
    std::string hash_algorithm;
    std::string issuer_name_hash;
    std::string issuer_key_hash;
    std::string serial_number;

    template <typename Self>
    static auto fields(Self& self) {
        return std::tie(self.hash_algorithm, self.issuer_name_hash, self.issuer_key_hash,
                        self.serial_number);
    }
};

// The encoding of the records above, found next to them.
using ev_common::deserialize;
using ev_common::getSerializedSize;
using ev_common::serialize;

}  // namespace ev_charging_platform::cybersecurity
