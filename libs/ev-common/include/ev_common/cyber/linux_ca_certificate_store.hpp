// The CA certificate store over the system's trust directory (one NAME.pem
// entry per trusted CA, kept by the system's update tool) and a user
// directory of NAME.crt files that this store writes. The process entry owns
// it; the request handler reaches it through ICaCertificateStore. Every change
// (and every certificate near its end of validity) is reported to an
// observer. No lock: after init only one thread at a time calls it, except
// cancelUpdates().
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/ca_store_core.hpp"
#include "ev_common/system/command_runner.hpp"

namespace ev_common {

class LinuxCaCertificateStore : public CaStoreCore {
public:
    // `updateCallback(fresh)` brings the system directory up to date and says
    // whether that worked; empty means runUpdateCommand.
    explicit LinuxCaCertificateStore(std::function<bool(bool)> updateCallback = {});
    ~LinuxCaCertificateStore() override;

    // Runs a fresh update, then scans `linuxDir`. `extraArguments` go to every
    // run of `command`, in front of `freshArgument`.
    bool init(const std::filesystem::path& linuxDir, const std::filesystem::path& userDir,
              const std::string& command, const std::string& freshArgument,
              const std::vector<std::string>& extraArguments);

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

    // The update tool's configuration: one line per built-in certificate,
    // its path relative to `certificatesFolder`, a line that starts with '!'
    // deselects it. Before init; without it nothing can be distrusted.
    void setUpdateConfiguration(const std::filesystem::path& file,
                                const std::filesystem::path& certificatesFolder);
    // Rewrites the certificate's line deselected (restored: as it was),
    // atomically, and runs the update tool; the entry stays listed, marked
    // distrusted, and leaves the system folder (comes back). Deselected
    // built-ins are listed again after a restart.
    DistrustStatus distrustBuiltIn(uint32_t id) override;
    DistrustStatus restoreBuiltIn(uint32_t id) override;

    // For shutdown, from any thread: ends a running update command at once
    // (its run fails) and refuses every later run.
    void cancelUpdates();

private:
    void loadStore();
    bool isBelowUserDir(const std::filesystem::path& file,
                        const std::filesystem::path& resolvedUserDir) const;

    std::optional<AddCertificateStatus> refuseAddition(const Certificate& certificate,
                                                       const std::string& name,
                                                       SameName sameName) override;
    void noteReplacement(const std::string& name, const file_io::SavedEntry& previous,
                         const std::error_code& error) override;
    void logNotWritten(const std::string& name, const std::filesystem::path& file) override;
    // Runs the update tool after a user file was written and checks that the
    // system folder took the change up: the certificate as read back
    // through NAME.pem.
    std::optional<Certificate> applyAddition(const std::string& name,
                                             const Certificate& written) override;
    // Runs the update tool after user files were removed and checks that
    // their NAME.pem entries are gone.
    bool applyRemovals(const std::vector<SavedFile>& removed) override;
    // One run of the update tool for every file of a batch, then the checks
    // of applyAddition and applyRemovals.
    std::optional<std::vector<Certificate>> applyBatch(
        const std::vector<std::pair<std::string, Certificate>>& added,
        const std::vector<SavedFile>& removed) override;
    // No NAME.pem of `removed` resolves any more; dead links cleaned.
    bool removalsTakenUp(const std::vector<SavedFile>& removed);
    // The tool may have taken the change up before it failed: it runs again
    // so that the system folder follows the user folder once more.
    bool reapply(const std::vector<SavedFile>& restored) override;
    void logAdditionUndone(const std::string& name, bool restored, bool hadPrevious) override;
    void logChange(CertificateEvent event, uint32_t id, const std::string& name) override;
    std::optional<Certificate> loadCertificate(const std::string& name) const override;
    void logUnreadable(const std::string& name, std::optional<uint32_t> id) const override;
    std::optional<std::chrono::seconds> changeLimit() const override { return updateTimeout; }
    void cleanDeadSymlinks(const std::string& name);
    // The built-ins the configuration deselects, entered after the scan.
    void loadDistrusted();
    // Both directions of distrustBuiltIn / restoreBuiltIn.
    DistrustStatus changeTrust(uint32_t id, bool distrust);

    std::filesystem::path linuxDir;
    std::filesystem::path userDir;
    std::string updateCommand;
    std::string freshArgument;
    std::vector<std::string> extraArguments;
    std::function<bool(bool)> updateCallback;

    std::chrono::seconds updateTimeout = kDefaultUpdateTimeout;
    CommandRunner updateRunner;
    std::filesystem::path configurationFile;
    std::filesystem::path certificatesFolder;
    // Where each distrusted built-in is read from, by name.
    std::map<std::string, std::filesystem::path> distrustedFiles;
};

}  // namespace ev_common
