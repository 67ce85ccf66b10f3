// The CA certificate store over the system's trust directory (one NAME.pem
// entry per trusted CA, kept by the system's update tool) and a user
// directory of NAME.crt files that this store writes. The process entry owns
// it; the request handler reaches it through ICaCertificateStore. Every change
// (and every certificate near its end of validity) is reported to an
// observer. No lock: after init only one thread at a time calls it, except
// cancelUpdates().
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"
#include "ev_common/cyber/certificate_table.hpp"
#include "ev_common/system/command_runner.hpp"

namespace ev_common {

namespace file_io {
struct SavedEntry;
}

class LinuxCaCertificateStore : public ICaCertificateStore {
public:
    // `updateCallback(fresh)` brings the system directory up to date and says
    // whether that worked; empty means runUpdateCommand.
    explicit LinuxCaCertificateStore(std::function<bool(bool)> updateCallback = {});
    ~LinuxCaCertificateStore() override;

    LinuxCaCertificateStore(const LinuxCaCertificateStore&) = delete;
    LinuxCaCertificateStore& operator=(const LinuxCaCertificateStore&) = delete;

    // Runs a fresh update, then scans `linuxDir`. `extraArguments` go to every
    // run of `command`, in front of `freshArgument`.
    bool init(const std::filesystem::path& linuxDir, const std::filesystem::path& userDir,
              const std::string& command, const std::string& freshArgument,
              const std::vector<std::string>& extraArguments);

    std::vector<CertificateInfo> getCertificates() override;
    std::optional<Certificate> getCertificate(uint32_t id) override;
    std::optional<Certificate> getCertificateByName(const std::string& name) override;
    std::optional<CertificateInfo> getCertificateInfo(uint32_t id) override;
    std::optional<CertificateInfo> findCertificateInfo(uint32_t id) override;
    AddCertificateStatus addCertificate(const Certificate& certificate, const std::string& name,
                                        uint32_t& id, bool replace) override;
    RemoveCertificateStatus removeCertificate(uint32_t id) override;
    std::uint64_t generation() override { return table.generation(); }
    CertificateDetailsListing getCertificateDetails() override;
    std::optional<uint32_t> findCertificateByHashData(const OcppHashData& wanted) override;
    std::vector<uint32_t> findCertificatesByHashData(const OcppHashData& wanted) override;
    // One run of the update tool for all of them, and one time limit for
    // that run and the one that puts the files back should it fail.
    RemoveCertificateStatus stageRemoval(const std::vector<uint32_t>& ids) override;
    void commitRemoval() override;
    bool rollBackRemoval() override;

    // Told of every addition, replacement and removal, and of every
    // certificate checkExpiry() warns about. Set it before init or while no
    // other thread uses the store.
    void setChangeObserver(CertificateChangeObserver changeObserver);

    // Identifiers and generation shared with the other stores of a service;
    // before init.
    void shareNumbering(std::shared_ptr<CertificateNumbering> numbering);

    // Warns about every certificate whose end of validity has passed or comes
    // within `windowSeconds` of `now` (seconds since 1970), built-ins
    // included, and reports each as "expired" or "expiring". Returns how many.
    std::size_t checkExpiry(std::int64_t now, std::int64_t windowSeconds);

    // The default update: runs the command (with the fresh argument when
    // asked) and succeeds on exit code 0 within the time limit. Public so
    // that a wrapping callback can measure or decorate it.
    bool runUpdateCommand(bool fresh);

    // The time one run of the update command may take, and one change with
    // all its runs (the run that puts the files back after a failed update
    // gets what is left); a run past it is ended (its whole process group)
    // and fails.
    void setUpdateTimeout(std::chrono::seconds limit);
    static constexpr std::chrono::seconds kDefaultUpdateTimeout{120};

    // For shutdown, from any thread: ends a running update command at once
    // (its run fails) and refuses every later run.
    void cancelUpdates();

private:
    using Entry = CertificateTable::Entry;
    // A user file as it stood before a change, to put back.
    struct SavedFile;

    void removeLeftoverTemporaries();
    void loadStore();
    bool isBelowUserDir(const std::filesystem::path& file,
                        const std::filesystem::path& resolvedUserDir) const;
    std::filesystem::path userFile(const std::string& name) const;
    // The status of a refused addition, checked before anything is written.
    std::optional<AddCertificateStatus> refuseAddition(const Certificate& certificate,
                                                       const std::string& name, bool replace);
    bool writeUserFile(const std::filesystem::path& file, const std::string& text,
                       const file_io::SavedEntry& previous);
    // Runs the update tool after a user file was written (or removed) and
    // checks that the system folder took the change up: the certificate as
    // read back through NAME.pem, or whether NAME.pem is gone.
    std::optional<Certificate> takeUpAddition(const std::string& name);
    bool takeUpRemovals(const std::vector<SavedFile>& removed);
    std::optional<RemoveCertificateStatus> refuseRemoval(uint32_t id);
    void restoreFiles(const std::vector<SavedFile>& files);
    // After a failed change: puts the files back and updates the system
    // store again; false when that update fails too.
    bool putBack(const std::vector<SavedFile>& files);
    // After a change: entries whose issuer has left the table, or that had
    // none, look for one again.
    void refreshIssuers();
    uint32_t enterUserCertificate(const std::string& name, const Certificate& loaded);
    void cleanDeadSymlinks(const std::string& name);
    std::optional<Certificate> loadSystemEntry(const std::string& name) const;

    std::filesystem::path linuxDir;
    std::filesystem::path userDir;
    std::string updateCommand;
    std::string freshArgument;
    std::vector<std::string> extraArguments;
    std::function<bool(bool)> updateCallback;
    CertificateTable table{kSystemDomain};

    std::chrono::seconds updateTimeout = kDefaultUpdateTimeout;
    // Set while a change runs: what is left of its time limit.
    std::optional<CommandRunner::Budget> changeBudget;
    CommandRunner updateRunner;
    // Taken out of the files, still in the table (see stageRemoval).
    std::vector<SavedFile> staged;
};

}  // namespace ev_common
