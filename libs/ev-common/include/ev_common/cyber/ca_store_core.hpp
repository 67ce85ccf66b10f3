// What the CA stores have in common: the table of entries and the answers it
// gives, and the course of every change: the checks, the file as it stood,
// the write, the store's own step that makes the change take effect, and the
// undo of a change that did not. LinuxCaCertificateStore and
// DirectoryCaCertificateStore each supply that step (and their log lines).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"
#include "ev_common/cyber/certificate_table.hpp"
#include "ev_common/system/command_runner.hpp"

namespace ev_common {

namespace file_io {
struct SavedEntry;
}

class CaStoreCore : public ICaCertificateStore {
public:
    ~CaStoreCore() override;

    CaStoreCore(const CaStoreCore&) = delete;
    CaStoreCore& operator=(const CaStoreCore&) = delete;

    std::vector<CertificateInfo> getCertificates() override;
    std::optional<Certificate> getCertificate(uint32_t id) override;
    std::optional<Certificate> getCertificateByName(const std::string& name) override;
    std::optional<CertificateInfo> getCertificateInfo(uint32_t id) override;
    std::optional<CertificateInfo> findCertificateInfo(uint32_t id) override;
    bool holdsUserCertificate(const std::string& name) override;
    AddCertificateStatus addCertificate(const Certificate& certificate, const std::string& name,
                                        uint32_t& id, SameName sameName,
                                        bool* replacing = nullptr) override;
    RemoveCertificateStatus removeCertificate(uint32_t id) override;
    std::uint64_t generation() override { return table.generation(); }
    CertificateDetailsListing getCertificateDetails() override;
    std::optional<uint32_t> findCertificateByHashData(const OcppHashData& wanted) override;
    std::vector<uint32_t> findCertificatesByHashData(const OcppHashData& wanted) override;
    RemoveCertificateStatus stageRemoval(const std::vector<uint32_t>& ids) override;
    void commitRemoval() override;
    bool rollBackRemoval() override;
    std::optional<StageRefusal> stageChanges(const std::vector<StoreChange>& changes) override;
    std::vector<CertificateChange> stagedChanges(std::uint64_t generation,
                                                 uint32_t& nextId) override;
    std::vector<uint32_t> commitChanges(std::uint64_t generation) override;
    bool rollBackChanges() override;

    // Told of every addition, replacement and removal, and of every
    // certificate checkExpiry() warns about. Set it before init or while no
    // other thread uses the store.
    void setChangeObserver(CertificateChangeObserver observer);
    // Identifiers and generation shared with the other stores of a service;
    // before init.
    void shareNumbering(std::shared_ptr<CertificateNumbering> numbering);
    // Asked before every addition and removal counts (certificate_change.hpp).
    // Removals staged through stageRemoval() are the caller's to present.
    void setChangeGate(CertificateChangeGate gate) { changeGate = std::move(gate); }
    // Refuses, with last_root, every removal that would leave the store
    // without a user certificate while it holds one; before init.
    void setKeepLastCertificate(bool keep) { keepLast = keep; }
    // See CertificateTable::setHashDataMemory; before init.
    void setHashDataMemory(CertificateTable::HashDataMemory memory) {
        table.setHashDataMemory(std::move(memory));
    }

    // Warns about every certificate whose end of validity has passed or comes
    // within `windowSeconds` of `now` (seconds since 1970), built-ins
    // included, and reports each as "expired" or "expiring". Returns how many.
    std::size_t checkExpiry(std::int64_t now, std::int64_t windowSeconds);

protected:
    using Entry = CertificateTable::Entry;
    // A certificate file as it stood before a change, to put back
    // (ca_store_saved_file.hpp).
    struct SavedFile;

    explicit CaStoreCore(std::string domain);

    // The folder of the NAME.crt files that only this store writes.
    void setFilesFolder(const std::filesystem::path& folder) { filesFolder = folder; }
    // Where the file of entry `name` is (the files folder unless the store
    // keeps some elsewhere).
    virtual std::filesystem::path fileOf(const std::string& name) const;
    // Removes what `isLeftover` names in `folder`: temporaries of writes
    // killed before their rename, which nothing else ever removes.
    static void removeLeftovers(const std::filesystem::path& folder,
                                const std::function<bool(const std::string&)>& isLeftover);
    void removeLeftoverTemporaries() const;
    // After a change: entries whose issuer has left the table, or that had
    // none, look for one again.
    void refreshIssuers();
    // Set while a change runs, for stores that give one: what is left of its
    // time limit for all the commands it runs.
    const std::optional<CommandRunner::Budget>& changeBudget() const { return budget; }

    std::optional<RemoveCertificateStatus> refuseRemoval(uint32_t id);
    bool writeFile(const std::filesystem::path& file, const std::string& text,
                   const file_io::SavedEntry& previous);
    void restoreFiles(const std::vector<SavedFile>& files);
    // After a failed change: puts the files back and applies again; false
    // when that fails too.
    bool putBack(const std::vector<SavedFile>& files);
    uint32_t enter(CertificateEvent event, Entry entry, const Certificate& stored);
    // Whether the change gate lets `changes` count (true without a gate).
    bool admitted(const std::vector<CertificateChange>& changes) const;

    CertificateTable table;

private:
    class ChangeBudget;

    // The refusals of this store, after those every store makes.
    virtual std::optional<AddCertificateStatus> refuseAddition(const Certificate& certificate,
                                                               const std::string& name,
                                                               SameName sameName) = 0;
    // What is written to the file and entered in the table for `certificate`.
    virtual Certificate storedForm(const Certificate& certificate) const { return certificate; }
    // Before a user entry's file is overwritten; `error` says why `previous`
    // is missing, if it is.
    virtual void noteReplacement(const std::string& /*name*/,
                                 const file_io::SavedEntry& /*previous*/,
                                 const std::error_code& /*error*/) {}
    virtual void logNotWritten(const std::string& name, const std::filesystem::path& file) = 0;

    // The step that makes a change take effect once the files are written
    // or removed; each logs why it failed. An addition returns the
    // certificate as the store serves it from now on.
    virtual std::optional<Certificate> applyAddition(const std::string& name,
                                                     const Certificate& written) = 0;
    virtual bool applyRemovals(const std::vector<SavedFile>& removed) = 0;
    // The step of a batch, once for all its files: the certificates of the
    // additions as the store serves them from now on, in order.
    virtual std::optional<std::vector<Certificate>> applyBatch(
        const std::vector<std::pair<std::string, Certificate>>& added,
        const std::vector<SavedFile>& removed) = 0;
    // After the files of a failed change were put back: the same step again,
    // so that what the store serves follows the files once more.
    virtual bool reapply(const std::vector<SavedFile>& restored) = 0;
    virtual void logAdditionUndone(const std::string& name, bool restored, bool hadPrevious) = 0;
    virtual void logRemovalsUndone(const std::vector<SavedFile>& /*restored*/) {}
    // An entry entered (added or replaced) or taken out.
    virtual void logChange(CertificateEvent event, uint32_t id, const std::string& name) = 0;

    // The text the store keeps of a certificate besides its file, if any;
    // saved with the file and put back with it.
    virtual std::optional<std::string> heldText(const std::string& /*name*/) const {
        return std::nullopt;
    }
    // The certificate of a listed entry, as the store serves it.
    virtual std::optional<Certificate> loadCertificate(const std::string& name) const = 0;
    // A listed entry whose certificate could not be read for a caller.
    virtual void logUnreadable(const std::string& /*name*/, std::optional<uint32_t> /*id*/) const {}
    // The time limit of one change for all the commands it runs; none: each
    // command has its own.
    virtual std::optional<std::chrono::seconds> changeLimit() const { return std::nullopt; }

    // What the store adds to an entry it is about to enter for `certificate`
    // (its profile, its role).
    virtual void completeEntry(Entry& /*entry*/, const Certificate& /*certificate*/) const {}

    std::filesystem::path filesFolder;
    CertificateChangeGate changeGate;
    std::optional<CommandRunner::Budget> budget;
    // Taken out of the folder, still in the table (see stageRemoval).
    std::vector<SavedFile> staged;
    // A batch whose files have taken effect, not entered yet (stageChanges).
    struct StagedBatch;
    std::unique_ptr<StagedBatch> batch;
    bool keepLast = false;
};

}  // namespace ev_common
