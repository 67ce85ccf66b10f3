// The CA store of one trust domain: a folder of NAME.crt files that only
// this store writes, usable as OpenSSL's CApath through the hash links
// `openssl rehash` keeps there, and a bundle of all its certificates beside
// it, usable as CAfile. It takes only trust anchors that pass the domain's
// rules (trust_anchor_check.hpp), up to a maximum count; the links and the
// bundle are rebuilt after every change, and a change that cannot be
// completed is undone. The trust service keeps one per configured domain.
// No lock: after init only one thread at a time calls it, except
// cancelRehash().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"
#include "ev_common/cyber/certificate_table.hpp"
#include "ev_common/cyber/trust_anchor_check.hpp"
#include "ev_common/system/command_runner.hpp"

namespace ev_common {

namespace file_io {
struct SavedEntry;
}

class DirectoryCaCertificateStore : public ICaCertificateStore {
public:
    static constexpr std::size_t kDefaultMaxCertificates = 20;
    static constexpr std::chrono::seconds kDefaultRehashTimeout{120};
    static constexpr const char* kOpensslCommand = "/usr/bin/openssl";

    // `rehash(folder)` rebuilds the folder's hash links and says whether that
    // worked; empty means runRehash.
    DirectoryCaCertificateStore(std::string domain, TrustAnchorRules rules,
                                std::function<bool(const std::filesystem::path&)> rehash = {});
    ~DirectoryCaCertificateStore() override;

    DirectoryCaCertificateStore(const DirectoryCaCertificateStore&) = delete;
    DirectoryCaCertificateStore& operator=(const DirectoryCaCertificateStore&) = delete;

    // Set before init.
    void shareNumbering(std::shared_ptr<CertificateNumbering> numbering);
    void setMaxCertificates(std::size_t count) { maxCertificates = count; }
    void setRehashTimeout(std::chrono::seconds limit) { rehashTimeout = limit; }
    // Told of every addition, replacement and removal, and of every
    // certificate checkExpiry() warns about.
    void setChangeObserver(CertificateChangeObserver observer);

    // Creates `folder` (mode 0755) when missing, removes leftover temporaries
    // of its writes, enters its NAME.crt files in name order and rebuilds
    // its links and the bundle at `bundle`. False, logged, when the folder
    // cannot be had or the rebuild fails.
    bool init(const std::filesystem::path& folder, const std::filesystem::path& bundle);

    const std::string& domain() const { return table.domain(); }
    const std::filesystem::path& folder() const { return folderPath; }
    const std::filesystem::path& bundle() const { return bundlePath; }

    std::vector<CertificateInfo> getCertificates() override;
    // The text as this store wrote it: one certificate, PEM.
    std::optional<Certificate> getCertificate(uint32_t id) override;
    std::optional<Certificate> getCertificateByName(const std::string& name) override;
    std::optional<CertificateInfo> getCertificateInfo(uint32_t id) override;
    std::optional<CertificateInfo> findCertificateInfo(uint32_t id) override;
    // Refused before anything is written: what no store takes, a certificate
    // that may not be a trust anchor of the domain (invalid_cert), a new name
    // once the domain holds its maximum (store_full). A replacement under a
    // name the domain holds is not counted as one more.
    AddCertificateStatus addCertificate(const Certificate& certificate, const std::string& name,
                                        uint32_t& id, bool replace) override;
    RemoveCertificateStatus removeCertificate(uint32_t id) override;
    std::uint64_t generation() override { return table.generation(); }
    CertificateDetailsListing getCertificateDetails() override;
    std::optional<uint32_t> findCertificateByHashData(const OcppHashData& wanted) override;
    std::vector<uint32_t> findCertificatesByHashData(const OcppHashData& wanted) override;
    // One rebuild of the links and the bundle for all of them.
    RemoveCertificateStatus stageRemoval(const std::vector<uint32_t>& ids) override;
    void commitRemoval() override;
    bool rollBackRemoval() override;

    // As LinuxCaCertificateStore::checkExpiry.
    std::size_t checkExpiry(std::int64_t now, std::int64_t windowSeconds);

    // The default rehash: `openssl rehash FOLDER`, successful on exit code 0
    // within the time limit.
    bool runRehash(const std::filesystem::path& folder);
    // For shutdown, from any thread: ends a running rehash at once (it fails)
    // and refuses every later one.
    void cancelRehash();

private:
    // A certificate file as it stood before a removal, to put back.
    struct SavedFile;

    void removeLeftoverTemporaries();
    void loadFolder();
    std::filesystem::path fileOf(const std::string& name) const;
    // Rebuilds the hash links and the bundle from `pems`.
    bool rebuild();
    // After the rehash: leaves exactly one HASH.N link per certificate,
    // numbered from 0 without gaps for each subject hash, and no other entry
    // named like a hash link (OpenSSL stops looking at the first number that
    // does not load). Links are read, never followed. False, logged, when the
    // folder cannot be put that way.
    bool repairHashLinks();
    // After a failed rebuild: puts `previous` back at the file of `name` and
    // its PEM text as it was (none: not in the table), and rebuilds again.
    void undo(const std::string& name, const file_io::SavedEntry& previous,
              const std::optional<std::string>& previousPem);
    // Puts the files and their bundle parts back; with `relink`, rebuilds
    // the links and the bundle too (false when that fails).
    bool putBack(const std::vector<SavedFile>& files, bool relink);
    void refreshIssuers();
    std::optional<AddCertificateStatus> refuseAddition(const Certificate& certificate,
                                                       const std::string& name, bool replace);

    TrustAnchorRules rules;
    std::function<bool(const std::filesystem::path&)> rehashCallback;
    CertificateTable table;
    std::filesystem::path folderPath;
    std::filesystem::path bundlePath;
    // Every certificate's PEM text by name, in the bundle's order.
    std::map<std::string, std::string> pems;
    std::size_t maxCertificates = kDefaultMaxCertificates;
    std::chrono::seconds rehashTimeout = kDefaultRehashTimeout;
    CommandRunner rehashRunner;
    // Taken out of the folder, still in the table (see stageRemoval).
    std::vector<SavedFile> staged;
};

}  // namespace ev_common
