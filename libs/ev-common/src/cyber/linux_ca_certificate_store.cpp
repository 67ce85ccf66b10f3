#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <spdlog/spdlog.h>

#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "ev_common/system/process.hpp"
#include "file_io.hpp"
#include "store_checks.hpp"

namespace fs = std::filesystem;

namespace ev_common {

namespace {

const std::string kPemExtension = ".pem";
const std::string kCrtExtension = ".crt";

fs::path resolveLink(const fs::path& dir, const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    if (ec) return {};
    if (target.has_root_directory()) return target;
    const fs::path result = fs::canonical(dir / target, ec);
    spdlog::debug("[ca-store] {} - {} => {} : {}", dir.string(), bounded(link.string()),
                  bounded(result.string()), ec.message());
    return result;
}

// The path without a trailing separator, so that "/x/user/" is recognised
// as a symbolic link and compared element by element like "/x/user".
fs::path withoutTrailingSeparator(fs::path path) {
    path = path.lexically_normal();
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path;
}

// The time limit of one change for the update runs of its lifetime: the
// run that puts files back after a failed update gets only what is left.
class ChangeBudget {
public:
    ChangeBudget(std::optional<CommandRunner::Budget>& slot, std::chrono::seconds limit)
        : slot_(slot) {
        slot_.emplace(limit);
    }
    ~ChangeBudget() { slot_.reset(); }
    ChangeBudget(const ChangeBudget&) = delete;
    ChangeBudget& operator=(const ChangeBudget&) = delete;

private:
    std::optional<CommandRunner::Budget>& slot_;
};

}  // namespace

struct LinuxCaCertificateStore::SavedFile {
    uint32_t id = 0;
    std::string name;
    fs::path file;
    file_io::SavedEntry previous;
};

LinuxCaCertificateStore::LinuxCaCertificateStore(std::function<bool(bool)> callback)
    : updateCallback(std::move(callback)) {
    if (!updateCallback) {
        updateCallback = [this](bool fresh) { return runUpdateCommand(fresh); };
    }
}

LinuxCaCertificateStore::~LinuxCaCertificateStore() = default;

bool LinuxCaCertificateStore::init(const fs::path& linuxPath, const fs::path& userPath,
                                   const std::string& command, const std::string& fresh,
                                   const std::vector<std::string>& extra) {
    std::error_code ec;
    linuxDir = fs::absolute(linuxPath, ec);
    userDir = fs::absolute(userPath, ec);
    updateCommand = command;
    freshArgument = fresh;
    extraArguments = extra;

    removeLeftoverTemporaries();
    if (!updateCallback(true)) return false;

    std::error_code linuxEc;
    std::error_code userEc;
    if (fs::is_directory(fs::status(linuxDir, linuxEc)) &&
        fs::is_directory(fs::status(userDir, userEc))) {
        loadStore();
        return true;
    }
    spdlog::error(
        "[ca-store] CA certificate stores do not exists or are not valid directories : linux = "
        "{}, user = {}",
        linuxDir.string(), userDir.string());
    return false;
}

void LinuxCaCertificateStore::removeLeftoverTemporaries() {
    // A write killed before its rename leaves its temporary behind; nothing
    // else ever removes it.
    std::error_code ec;
    for (fs::directory_iterator it(userDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        if (!file_io::isTemporaryName(entry.filename().string(), kCrtExtension)) continue;
        if (::unlink(entry.c_str()) == 0) {
            spdlog::info("[ca-store] Removed leftover temporary file {}", entry.string());
        }
    }
}

fs::path LinuxCaCertificateStore::userFile(const std::string& name) const {
    return userDir / (name + kCrtExtension);
}

bool LinuxCaCertificateStore::isBelowUserDir(const fs::path& file,
                                             const fs::path& resolvedUserDir) const {
    // Element-wise, so that a sibling such as "/x/user-extra" is not taken
    // for a folder below "/x/user".
    auto below = [](const fs::path& candidate, const fs::path& dir) {
        if (dir.empty()) return false;
        const fs::path normal = candidate.lexically_normal();
        auto c = normal.begin();
        for (const auto& element : dir) {
            if (c == normal.end() || *c != element) return false;
            ++c;
        }
        return true;
    };
    return below(file, withoutTrailingSeparator(userDir)) || below(file, resolvedUserDir);
}

void LinuxCaCertificateStore::loadStore() {
    fs::path resolvedUserDir;
    const fs::path plainUserDir = withoutTrailingSeparator(userDir);
    std::error_code linkEc;
    if (fs::is_symlink(fs::symlink_status(plainUserDir, linkEc))) {
        resolvedUserDir =
            withoutTrailingSeparator(resolveLink(plainUserDir.parent_path(), plainUserDir));
    }

    std::size_t builtIn = 0;
    std::size_t user = 0;
    // Issuers are looked for once every certificate is in the table; only
    // those that need one are kept until then.
    std::vector<std::pair<uint32_t, Certificate>> issued;
    std::error_code ec;
    for (fs::directory_iterator it(linuxDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        std::error_code entryEc;
        if (fs::is_directory(fs::status(entry, entryEc))) continue;
        if (entry.extension() != kPemExtension) continue;
        fs::path file = entry;
        if (fs::is_symlink(fs::symlink_status(entry, entryEc))) file = resolveLink(linuxDir, entry);
        const bool isBuiltIn = !isBelowUserDir(file, resolvedUserDir);

        const Certificate certificate(file);
        if (!certificate.valid()) {
            spdlog::error("[ca-store] Invalid certificate found : {}", bounded(file.string()));
            continue;
        }
        Entry stored = table.makeEntry(file.stem().string(), isBuiltIn, certificate);
        spdlog::debug("[ca-store] Certificate added to the store : is_built_in = {}, name = {}",
                      isBuiltIn, bounded(stored.info.name));
        if (stored.details.selfSigned) {
            table.resolveIssuer(stored, certificate);
        } else {
            issued.emplace_back(stored.info.id, certificate);
        }
        table.insert(std::move(stored));
        ++(isBuiltIn ? builtIn : user);
    }
    for (const auto& [id, certificate] : issued) table.resolveIssuer(table.at(id), certificate);
    spdlog::info("[ca-store] Loaded {} CA certificates : built_in = {}, user = {}", table.size(),
                 builtIn, user);
}

std::vector<CertificateInfo> LinuxCaCertificateStore::getCertificates() {
    return table.infos();
}

CertificateDetailsListing LinuxCaCertificateStore::getCertificateDetails() {
    return table.details();
}

std::optional<CertificateInfo> LinuxCaCertificateStore::getCertificateInfo(uint32_t id) {
    auto info = findCertificateInfo(id);
    if (!info) spdlog::error("[ca-store] Invalid certificate id : {}", id);
    return info;
}

std::optional<CertificateInfo> LinuxCaCertificateStore::findCertificateInfo(uint32_t id) {
    const auto it = table.find(id);
    if (it == table.end()) return std::nullopt;
    return it->second.info;
}

std::optional<Certificate> LinuxCaCertificateStore::loadSystemEntry(const std::string& name) const {
    Certificate certificate(linuxDir / (name + kPemExtension));
    if (!certificate.valid()) return std::nullopt;
    return certificate;
}

std::optional<Certificate> LinuxCaCertificateStore::getCertificate(uint32_t id) {
    const auto it = table.find(id);
    if (it == table.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return std::nullopt;
    }
    auto certificate = loadSystemEntry(it->second.info.name);
    if (!certificate) {
        spdlog::error("[ca-store] Unable to load certificate : id = {}, name = {}", id,
                      bounded(it->second.info.name));
    }
    return certificate;
}

std::optional<Certificate> LinuxCaCertificateStore::getCertificateByName(const std::string& name) {
    if (table.findByName(name) == table.end()) return std::nullopt;
    auto certificate = loadSystemEntry(name);
    if (!certificate) {
        spdlog::error("[ca-store] Unable to load certificate : name = {}", bounded(name));
    }
    return certificate;
}

std::optional<AddCertificateStatus> LinuxCaCertificateStore::refuseAddition(
    const Certificate& certificate, const std::string& name, bool replace) {
    if (const auto refused = store_checks::refuseCertificate(certificate, name)) return refused;
    const auto found = table.findByName(name);
    if (found == table.end()) return std::nullopt;
    // A user certificate under a built-in's name would hide the built-in.
    if (found->second.info.isBuiltIn) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : a built-in certificate has the same name",
            bounded(name));
        return AddCertificateStatus::already_exists;
    }
    if (!replace) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : a certificate with the same name already "
            "exists",
            bounded(name));
        return AddCertificateStatus::already_exists;
    }
    return std::nullopt;
}

AddCertificateStatus LinuxCaCertificateStore::addCertificate(const Certificate& certificate,
                                                             const std::string& name, uint32_t& id,
                                                             bool replace) {
    if (const auto refused = refuseAddition(certificate, name, replace)) return *refused;
    const ChangeBudget budget(changeBudget, updateTimeout);
    const fs::path file = userFile(name);
    const auto replaced = table.findByName(name);

    // What stands at the file now is kept until the new certificate is known
    // to work, so that a failure can put back exactly what was trusted before.
    std::error_code error;
    const auto previous = file_io::saveEntry(file, error);
    if (replaced != table.end() && previous) {
        spdlog::warn("Existing certificate {} will be deleted and replaced", bounded(name));
        if (previous->kind == file_io::SavedEntry::Kind::missing) {
            spdlog::warn("Unable to delete old certificate {} : {}", bounded(name),
                         error.message());
        }
    }
    if (!previous || !writeUserFile(file, certificate.text(), *previous)) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : unable to write certificate in the user "
            "store directory => {}",
            bounded(name), file.string());
        return AddCertificateStatus::internal_error;
    }

    const auto loaded = takeUpAddition(name);
    if (!loaded) {
        const bool hadPrevious =
            replaced != table.end() || previous->kind != file_io::SavedEntry::Kind::missing;
        if (putBack({{0, name, file, *previous}}) && hadPrevious) {
            spdlog::warn("[ca-store] Previous certificate {} kept after the failed replacement",
                         bounded(name));
        }
        return AddCertificateStatus::internal_error;
    }

    const bool replacing = replaced != table.end();
    if (replacing) table.erase(replaced);
    id = enterUserCertificate(name, *loaded);
    refreshIssuers();
    table.changed(replacing ? CertificateEvent::replaced : CertificateEvent::added, table.at(id));
    return AddCertificateStatus::success;
}

bool LinuxCaCertificateStore::writeUserFile(const fs::path& file, const std::string& text,
                                            const file_io::SavedEntry& previous) {
    AtomicWriteOptions options;
    options.mode = 0644;
    const AtomicWriteResult result = writeFileAtomically(file, text, options);
    if (result.status == AtomicWriteResult::Status::notSynced) {
        // The new file may not survive a power cut: better the old one now.
        if (!file_io::restoreEntry(file, previous)) {
            spdlog::error("[ca-store] Unable to restore certificate file {}", file.string());
        }
    }
    return result.ok();
}

void LinuxCaCertificateStore::restoreFiles(const std::vector<SavedFile>& files) {
    for (const auto& saved : files) {
        if (!file_io::restoreEntry(saved.file, saved.previous)) {
            spdlog::error("[ca-store] Unable to restore certificate file {}", saved.file.string());
        }
    }
}

bool LinuxCaCertificateStore::putBack(const std::vector<SavedFile>& files) {
    restoreFiles(files);
    // The tool may have taken the change up before it failed; run it again
    // so that the system folder follows the user folder once more.
    if (!updateCallback(false)) {
        for (const auto& saved : files) {
            spdlog::error("[ca-store] Unable to restore certificate {} in the system store",
                          bounded(saved.name));
        }
        return false;
    }
    for (const auto& saved : files) {
        if (saved.previous.kind == file_io::SavedEntry::Kind::missing)
            cleanDeadSymlinks(saved.name);
    }
    return true;
}

uint32_t LinuxCaCertificateStore::enterUserCertificate(const std::string& name,
                                                       const Certificate& loaded) {
    Entry entry = table.makeEntry(name, false, loaded);
    table.resolveIssuer(entry, loaded);
    const uint32_t id = table.insert(std::move(entry));
    spdlog::info("[ca-store] User certificate added to the store : id = {}, name = {}", id,
                 bounded(name));
    return id;
}

std::optional<RemoveCertificateStatus> LinuxCaCertificateStore::refuseRemoval(uint32_t id) {
    const auto it = table.find(id);
    if (it == table.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return RemoveCertificateStatus::unknown_id;
    }
    if (it->second.info.isBuiltIn) {
        spdlog::error("[ca-store] Unable to remove certificate {} : builtin certificate", id);
        return RemoveCertificateStatus::built_in;
    }
    return std::nullopt;
}

RemoveCertificateStatus LinuxCaCertificateStore::removeCertificate(uint32_t id) {
    const auto status = stageRemoval({id});
    if (status == RemoveCertificateStatus::success) commitRemoval();
    return status;
}

RemoveCertificateStatus LinuxCaCertificateStore::stageRemoval(const std::vector<uint32_t>& ids) {
    staged.clear();
    for (const uint32_t id : ids) {
        if (const auto refused = refuseRemoval(id)) return *refused;
    }
    // What stood at each file is kept to be put back if the system update
    // fails: a removal that does not happen must not lose a certificate.
    std::vector<SavedFile> taken;
    for (const uint32_t id : ids) {
        const std::string name = table.at(id).info.name;
        const fs::path file = userFile(name);
        std::error_code error;
        auto previous = file_io::saveEntry(file, error);
        if (!previous || previous->kind == file_io::SavedEntry::Kind::missing ||
            !fs::remove(file, error)) {
            spdlog::error("[ca-store] Unable to remove certificate {} : delete error => {}", id,
                          error.message());
            // The tool has not run yet: the files alone are put back.
            restoreFiles(taken);
            return RemoveCertificateStatus::internal_error;
        }
        taken.push_back({id, name, file, std::move(*previous)});
    }
    const ChangeBudget budget(changeBudget, updateTimeout);
    if (!takeUpRemovals(taken)) {
        putBack(taken);
        return RemoveCertificateStatus::internal_error;
    }
    for (const auto& removed : taken) cleanDeadSymlinks(removed.name);
    staged = std::move(taken);
    return RemoveCertificateStatus::success;
}

void LinuxCaCertificateStore::commitRemoval() {
    std::vector<Entry> removed;
    for (const auto& file : staged) {
        const auto it = table.find(file.id);
        if (it == table.end()) continue;
        spdlog::info("[ca-store] User certificate removed from the store : id = {}, name = {}",
                     file.id, bounded(file.name));
        removed.push_back(std::move(it->second));
        table.erase(it);
    }
    staged.clear();
    refreshIssuers();
    for (const auto& entry : removed) table.changed(CertificateEvent::removed, entry);
}

bool LinuxCaCertificateStore::rollBackRemoval() {
    if (staged.empty()) return true;
    const ChangeBudget budget(changeBudget, updateTimeout);
    const bool restored = putBack(staged);
    staged.clear();
    return restored;
}

void LinuxCaCertificateStore::refreshIssuers() {
    table.refreshIssuers(
        [this](const CertificateInfo& info) { return loadSystemEntry(info.name); });
}

void LinuxCaCertificateStore::setChangeObserver(CertificateChangeObserver changeObserver) {
    table.setObserver(std::move(changeObserver));
}

void LinuxCaCertificateStore::shareNumbering(std::shared_ptr<CertificateNumbering> numbering) {
    table.shareNumbering(std::move(numbering));
}

std::size_t LinuxCaCertificateStore::checkExpiry(std::int64_t now, std::int64_t windowSeconds) {
    return table.checkExpiry(now, windowSeconds);
}

std::optional<uint32_t> LinuxCaCertificateStore::findCertificateByHashData(
    const OcppHashData& wanted) {
    return table.findByHashData(wanted);
}

std::vector<uint32_t> LinuxCaCertificateStore::findCertificatesByHashData(
    const OcppHashData& wanted) {
    return table.findAllByHashData(wanted);
}

std::optional<Certificate> LinuxCaCertificateStore::takeUpAddition(const std::string& name) {
    if (!updateCallback(false)) return std::nullopt;
    Certificate loaded(linuxDir / (name + kPemExtension));
    if (loaded.valid()) {
        spdlog::debug("[ca-store] User certificate added to the system store : name = {}",
                      bounded(name));
        return loaded;
    }
    spdlog::error(
        "[ca-store] Unable to add certificate {} : update certificate command failed "
        "=> {}",
        bounded(name), updateCommand);
    return std::nullopt;
}

bool LinuxCaCertificateStore::takeUpRemovals(const std::vector<SavedFile>& removed) {
    if (!updateCallback(false)) return false;
    bool all = true;
    for (const auto& file : removed) {
        const fs::path entry = linuxDir / (file.name + kPemExtension);
        std::error_code ec;
        if (!fs::exists(entry, ec)) continue;
        if (fs::is_symlink(fs::symlink_status(entry, ec))) {
            const fs::path target = fs::read_symlink(entry, ec);
            if (!ec && !fs::exists(target, ec)) continue;
        }
        spdlog::error(
            "[ca-store] Unable to remove certificate {} : update certificate command failed "
            "=> {}",
            bounded(file.name), updateCommand);
        all = false;
    }
    return all;
}

void LinuxCaCertificateStore::cleanDeadSymlinks(const std::string& name) {
    std::error_code ec;
    for (fs::directory_iterator it(linuxDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        std::error_code entryEc;
        if (fs::is_directory(fs::status(entry, entryEc))) continue;
        const fs::file_status own = fs::symlink_status(entry, entryEc);
        if (entryEc) {
            spdlog::warn("[ca-store] is_symlink error occurred: {}", entryEc.message());
            continue;
        }
        if (!fs::is_symlink(own)) continue;
        const fs::path target = fs::read_symlink(entry, entryEc);
        if (entryEc || target.stem().string() != name) continue;
        const fs::file_status followed = fs::status(entry, entryEc);
        if (followed.type() != fs::file_type::not_found) {
            if (entryEc) {
                spdlog::warn("[ca-store] Error checking symlink {}: {}", bounded(entry.string()),
                             entryEc.message());
            }
            continue;
        }
        std::error_code removeEc;
        if (fs::remove(entry, removeEc)) {
            spdlog::info("[ca-store] Removed dead symlink: {} -> {}", bounded(entry.string()),
                         bounded(target.string()));
        } else {
            spdlog::error("[ca-store] Cannot remove dead symlink {} : {}", bounded(entry.string()),
                          removeEc.message());
        }
    }
}

bool LinuxCaCertificateStore::runUpdateCommand(bool fresh) {
    std::vector<std::string> arguments = extraArguments;
    if (fresh) {
        spdlog::info("[ca-store] Update certificate command and clean symlinks ({})",
                     freshArgument);
        arguments.push_back(freshArgument);
    }
    const auto outcome = updateRunner.run(
        updateCommand, arguments, changeBudget.value_or(CommandRunner::Budget(updateTimeout)));
    if (outcome.kind == CommandRunner::Outcome::Kind::usedUp) {
        spdlog::error(
            "[ca-store] Update certificate command not started, the time limit of the change "
            "(limit = {}s) is used up => {}",
            updateTimeout.count(), updateCommand);
        spdlog::error(
            "[ca-store] The system store stays as the failed update left it until the next start "
            "rebuilds it ({})",
            freshArgument);
        return false;
    }
    if (outcome.kind == CommandRunner::Outcome::Kind::refused) {
        spdlog::error(
            "[ca-store] Update certificate command not started, the service is shutting "
            "down => {}",
            updateCommand);
        return false;
    }
    if (outcome.kind == CommandRunner::Outcome::Kind::notStarted) {
        spdlog::error("[ca-store] Unable to execute update certificate command => {}",
                      updateCommand);
        return false;
    }
    const ProcessEnd& end = outcome.end;
    switch (end.kind) {
        case ProcessEnd::Kind::exited:
            if (end.code == 0) return true;
            spdlog::error("[ca-store] Update certificate command error => {}", end.code);
            return false;
        case ProcessEnd::Kind::signalled:
            spdlog::error("[ca-store] Update certificate command killed by signal {} => {}",
                          end.code, updateCommand);
            return false;
        case ProcessEnd::Kind::timedOut:
            spdlog::error("[ca-store] Update certificate command timed out (limit = {}s) => {}",
                          updateTimeout.count(), updateCommand);
            return false;
        case ProcessEnd::Kind::cancelled:
            spdlog::error(
                "[ca-store] Update certificate command stopped, the service is shutting down => "
                "{}",
                updateCommand);
            return false;
        case ProcessEnd::Kind::unknown:
            break;
    }
    spdlog::error("[ca-store] Update certificate command error => {}", -999999);
    return false;
}

void LinuxCaCertificateStore::setUpdateTimeout(std::chrono::seconds limit) {
    updateTimeout = limit;
}

void LinuxCaCertificateStore::cancelUpdates() {
    updateRunner.cancel();
}

}  // namespace ev_common
