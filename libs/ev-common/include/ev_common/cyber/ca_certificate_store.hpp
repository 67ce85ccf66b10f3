// The CA certificate store as the request handler sees it: the listing with
// or without each certificate's details, the lookups by identifier, by name
// and by OCPP hash data, and the addition and removal of user CA
// certificates. LinuxCaCertificateStore is the implementation over the
// system's trust directory, DirectoryCaCertificateStore the one of a trust
// domain; the status values also travel on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/certificate.hpp"
#include "ev_common/cyber/certificate_change.hpp"
#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/cyber/certificate_status.hpp"

namespace ev_common {

// The domain of the operating system's trust store; every other domain is a
// store of its own beside it.
inline constexpr const char* kSystemDomain = "system";

// What an addition does when an entry of the same name is held.
enum class SameName { refuse, replace };

struct CertificateInfo {
    uint32_t id = 0;
    // The file name of the certificate without its extension.
    std::string name;
    bool isBuiltIn = false;
    // One-line subject name.
    std::string subject;
    // End of validity in seconds since the epoch, cut to 32 bits.
    int32_t notAfter = 0;
    // A built-in deselected in the operating system's configuration: still
    // listed, no longer trusted.
    bool distrusted = false;
};

struct CertificateDetailsEntry {
    CertificateInfo info;
    CertificateDetails details;
    // The trust domain of the store that holds the certificate.
    std::string domain;
    // See CertificateChange::profile and role.
    std::string profile;
    std::string role;
};

struct CertificateDetailsListing {
    // The generation of the store these entries belong to.
    std::uint64_t generation = 0;
    std::vector<CertificateDetailsEntry> certificates;
};

// One change of a batch (see ICaCertificateStore::stageChanges).
struct StoreChange {
    enum class Kind { add, remove };
    Kind kind = Kind::add;
    Certificate certificate{nullptr};  // of an addition
    std::string name;                  // of an addition
    uint32_t id = 0;                   // of a removal
};

// The change of a batch that was refused, by its place in the batch, and
// its status: an AddCertificateStatus or a RemoveCertificateStatus value,
// after the change's kind.
struct StageRefusal {
    std::size_t index = 0;
    int32_t status = 0;
};

class ICaCertificateStore {
public:
    virtual ~ICaCertificateStore() = default;

    // All entries in increasing identifier order.
    virtual std::vector<CertificateInfo> getCertificates() = 0;
    virtual std::optional<Certificate> getCertificate(uint32_t id) = 0;
    virtual std::optional<Certificate> getCertificateByName(const std::string& name) = 0;
    virtual std::optional<CertificateInfo> getCertificateInfo(uint32_t id) = 0;
    // As getCertificateInfo, without a complaint about an identifier the
    // store does not hold: for callers that ask several stores.
    virtual std::optional<CertificateInfo> findCertificateInfo(uint32_t id) = 0;
    // Whether a user entry (not a built-in) goes by `name`.
    virtual bool holdsUserCertificate(const std::string& name) = 0;
    // `id` is written only on success. `replacing`, when given, is told on
    // every outcome whether a user entry holds `name`: the entry that a
    // successful addition replaced, or would have. Only SameName::replace
    // lets such an entry give way to the new certificate.
    virtual AddCertificateStatus addCertificate(const Certificate& certificate,
                                                const std::string& name, uint32_t& id,
                                                SameName sameName, bool* replacing = nullptr) = 0;
    virtual RemoveCertificateStatus removeCertificate(uint32_t id) = 0;

    // 0 after the start-up scan, then one more with every change of the
    // table (an addition, a replacement, a removal); stores that share a
    // numbering (certificate_table.hpp) count their changes together.
    virtual std::uint64_t generation() = 0;
    // All entries with their details, in increasing identifier order.
    virtual CertificateDetailsListing getCertificateDetails() = 0;
    // The entry whose hash data for `wanted.hashAlgorithm` are `wanted`:
    // algorithm and hashes compared regardless of case, the serial also
    // regardless of leading zeros. Among several, a user certificate comes
    // first. Nothing when none matches; an unknown algorithm is logged.
    virtual std::optional<uint32_t> findCertificateByHashData(const OcppHashData& wanted) = 0;
    // Every entry whose hash data are `wanted` (compared as above), built-ins
    // included, in increasing identifier order.
    virtual std::vector<uint32_t> findCertificatesByHashData(const OcppHashData& wanted) = 0;

    // A removal of several user entries as one change, in two steps, so that
    // it can be one change with the removals of other stores: stageRemoval()
    // takes the certificates out of the files, the folders and the system's
    // trust, but leaves the entries listed and reports nothing; then either
    // commitRemoval() takes the entries out of the table and reports each, or
    // rollBackRemoval() puts every certificate back as it was (false when
    // that fails too). A failed stage has changed nothing. One staged
    // removal at a time per store.
    virtual RemoveCertificateStatus stageRemoval(const std::vector<uint32_t>& ids) = 0;
    virtual void commitRemoval() = 0;
    virtual bool rollBackRemoval() = 0;

    // A batch of additions (a held user name is replaced) and removals as
    // one change, in the same two steps: stageChanges() checks every change
    // first, then writes all the files and makes them take effect with one
    // step for them all (one run of the update tool, one rebuild of a
    // domain's links and bundle), and lists or reports nothing; then either
    // commitChanges() enters them or rollBackChanges() puts every file and
    // folder back as it was. A refused or failed stage has changed nothing.
    // No name twice in one batch. One staged batch at a time per store.
    // A store that keeps no files of its own takes no batch.
    virtual std::optional<StageRefusal> stageChanges(const std::vector<StoreChange>& /*changes*/) {
        return StageRefusal{0, static_cast<int32_t>(AddCertificateStatus::internal_error)};
    }
    // The staged changes as commitChanges() will report them, all at
    // `generation`. Additions are numbered from `nextId` (0: this store's
    // next identifier), which is moved past them, for the next store of a
    // shared numbering.
    virtual std::vector<CertificateChange> stagedChanges(std::uint64_t /*generation*/,
                                                         uint32_t& /*nextId*/) {
        return {};
    }
    // Enters the staged changes, each reported at `generation`, which
    // becomes the stores' generation. The identifiers of the additions.
    virtual std::vector<uint32_t> commitChanges(std::uint64_t /*generation*/) { return {}; }
    virtual bool rollBackChanges() { return true; }

    // A built-in certificate deselected the way the operating system does
    // it (its line in the update tool's configuration), or selected again.
    // Stores without built-ins hold none.
    virtual DistrustStatus distrustBuiltIn(uint32_t /*id*/) { return DistrustStatus::not_built_in; }
    virtual DistrustStatus restoreBuiltIn(uint32_t /*id*/) { return DistrustStatus::not_built_in; }
};

}  // namespace ev_common
