// The CA store of one trust domain: a folder of NAME.crt files that only
// this store writes, usable as OpenSSL's CApath through the hash links
// `openssl rehash` keeps there, and a bundle of all its certificates beside
// it, usable as CAfile. It takes only trust anchors that pass the domain's
// rules (trust_anchor_check.hpp), up to a maximum count (a replacement is
// not one more), and serves each as it wrote it: the certificate alone, PEM.
// The links and the bundle are rebuilt once per change (a staged removal of
// several included), and a change that cannot be completed is undone. The trust service keeps one
// per configured domain. No lock: after init only one thread at a time calls it, except
// cancelRehash().
//
// With roles (the csms domain under cyber.csms_additional_root_check) it
// holds one active root, in the folder and the bundle, and at most one
// fallback, in a folder and a bundle of its own. A new root must verify with
// the active root's key; it becomes active and the active root the fallback,
// as one change (a previous fallback is removed in it). A rotation cut short
// by a crash is settled at the next init from what the folders hold.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ev_common/cyber/ca_store_core.hpp"
#include "ev_common/cyber/trust_anchor_check.hpp"
#include "ev_common/system/command_runner.hpp"

namespace ev_common {

class DirectoryCaCertificateStore : public CaStoreCore {
public:
    static constexpr std::size_t kDefaultMaxCertificates = 20;
    static constexpr std::chrono::seconds kDefaultRehashTimeout{120};
    static constexpr const char* kOpensslCommand = "/usr/bin/openssl";

    // `rehash(folder)` rebuilds the folder's hash links and says whether that
    // worked; empty means runRehash.
    DirectoryCaCertificateStore(std::string domain, TrustAnchorRules rules,
                                std::function<bool(const std::filesystem::path&)> rehash = {});
    ~DirectoryCaCertificateStore() override;

    // Set before init (shareNumbering too).
    void setMaxCertificates(std::size_t count) { maxCertificates = count; }
    void setRehashTimeout(std::chrono::seconds limit) { rehashTimeout = limit; }
    // Creates `folder` (mode 0755) when missing, removes leftover temporaries
    // of its writes, enters its NAME.crt files in name order and rebuilds
    // its links and the bundle at `bundle`. False, logged, when the folder
    // cannot be had or the rebuild fails.
    bool init(const std::filesystem::path& folder, const std::filesystem::path& bundle);

    // Roles, with the fallback's folder and bundle; before init.
    void enableRoles(const std::filesystem::path& fallbackFolder,
                     const std::filesystem::path& fallbackBundle);
    bool rolesEnabled() const { return roles; }
    std::optional<uint32_t> activeId();
    std::optional<uint32_t> fallbackId();

    AddCertificateStatus addCertificate(const Certificate& certificate, const std::string& name,
                                        uint32_t& id, SameName sameName,
                                        bool* replacing = nullptr) override;
    void commitRemoval() override;
    // A domain with roles takes its roots one at a time: each new one
    // rotates the roles.
    std::optional<StageRefusal> stageChanges(const std::vector<StoreChange>& changes) override;

    const std::string& domain() const { return table.domain(); }
    const std::filesystem::path& folder() const { return folderPath; }
    const std::filesystem::path& bundle() const { return bundlePath; }

    // The default rehash: `openssl rehash FOLDER`, successful on exit code 0
    // within the time limit.
    bool runRehash(const std::filesystem::path& folder);
    // For shutdown, from any thread: ends a running rehash at once (it fails)
    // and refuses every later one.
    void cancelRehash();

private:
    // Enters the NAME.crt files of `folder` in name order, their texts into
    // `into`.
    void loadFolder(const std::filesystem::path& folder, std::map<std::string, std::string>& into,
                    const std::string& role);
    // Rebuilds the hash links and the bundle from `pems`, and the fallback's
    // when the store has roles.
    bool rebuild();
    bool rebuildFolder(const std::filesystem::path& folder, const std::filesystem::path& bundleFile,
                       const std::map<std::string, std::string>& texts);
    // Before the folders are loaded: settles a rotation a crash cut short.
    void settleRotation();
    bool prepareFallbackFolder();
    void removeFallbackFolderIfEmpty();
    // Why `certificate` does not verify with the active root's key, a full
    // chain check with the active root as its anchor.
    std::optional<std::string> activeChainRefusal(const Certificate& certificate, uint32_t active);
    AddCertificateStatus rotate(const Certificate& stored, const std::string& name, uint32_t& id,
                                uint32_t active);
    std::map<std::string, std::string>& textsOf(const std::string& name);
    // After the rehash: leaves exactly one HASH.N link per certificate,
    // numbered from 0 without gaps for each subject hash, and no other entry
    // named like a hash link (OpenSSL stops looking at the first number that
    // does not load). Links are read, never followed. False, logged, when the
    // folder cannot be put that way.
    bool repairHashLinks(const std::filesystem::path& folder,
                         const std::map<std::string, std::string>& texts);

    std::optional<AddCertificateStatus> refuseAddition(const Certificate& certificate,
                                                       const std::string& name,
                                                       SameName sameName) override;
    // The certificate alone, as libcrypto writes it: nothing else of the
    // client's text reaches the folder or the bundle.
    Certificate storedForm(const Certificate& certificate) const override;
    void logNotWritten(const std::string& name, const std::filesystem::path& file) override;
    std::optional<Certificate> applyAddition(const std::string& name,
                                             const Certificate& written) override;
    bool applyRemovals(const std::vector<SavedFile>& removed) override;
    // One rebuild of the links and the bundle for every change of a batch.
    std::optional<std::vector<Certificate>> applyBatch(
        const std::vector<std::pair<std::string, Certificate>>& added,
        const std::vector<SavedFile>& removed) override;
    // Puts the bundle parts of `restored` back and rebuilds.
    bool reapply(const std::vector<SavedFile>& restored) override;
    void logAdditionUndone(const std::string& name, bool restored, bool hadPrevious) override;
    void logRemovalsUndone(const std::vector<SavedFile>& restored) override;
    void logChange(CertificateEvent event, uint32_t id, const std::string& name) override;
    std::optional<std::string> heldText(const std::string& name) const override;
    std::optional<Certificate> loadCertificate(const std::string& name) const override;
    std::filesystem::path fileOf(const std::string& name) const override;
    void completeEntry(Entry& entry, const Certificate& certificate) const override;

    TrustAnchorRules rules;
    std::function<bool(const std::filesystem::path&)> rehashCallback;
    std::filesystem::path folderPath;
    std::filesystem::path bundlePath;
    // Every certificate's PEM text by name, in the bundle's order.
    std::map<std::string, std::string> pems;
    bool roles = false;
    std::filesystem::path fallbackFolder;
    std::filesystem::path fallbackBundle;
    // The fallbacks' PEM texts by name, and their names: one at most, unless
    // the folder was changed by hand. The names change only when a change
    // counts, so that its undo puts texts back where they were.
    std::map<std::string, std::string> fallbackPems;
    std::set<std::string> fallbackNames;
    std::size_t maxCertificates = kDefaultMaxCertificates;
    std::chrono::seconds rehashTimeout = kDefaultRehashTimeout;
    CommandRunner rehashRunner;
};

}  // namespace ev_common
