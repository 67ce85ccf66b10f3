#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <spdlog/spdlog.h>

#include "ca_store_saved_file.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "ev_common/system/process.hpp"
#include "file_io.hpp"

namespace fs = std::filesystem;

namespace ev_common {

namespace {

const std::string kPemExtension = ".pem";

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

}  // namespace

LinuxCaCertificateStore::LinuxCaCertificateStore(std::function<bool(bool)> callback)
    : CaStoreCore(kSystemDomain), updateCallback(std::move(callback)) {
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
    setFilesFolder(userDir);

    removeLeftoverTemporaries();
    if (!updateCallback(/*fresh=*/true)) return false;

    std::error_code linuxEc;
    std::error_code userEc;
    if (fs::is_directory(fs::status(linuxDir, linuxEc)) &&
        fs::is_directory(fs::status(userDir, userEc))) {
        loadStore();
        loadDistrusted();
        return true;
    }
    spdlog::error(
        "[ca-store] CA certificate stores do not exists or are not valid directories : linux = "
        "{}, user = {}",
        linuxDir.string(), userDir.string());
    return false;
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

std::optional<Certificate> LinuxCaCertificateStore::loadCertificate(const std::string& name) const {
    const auto distrusted = distrustedFiles.find(name);
    Certificate certificate(distrusted != distrustedFiles.end()
                                ? distrusted->second
                                : linuxDir / (name + kPemExtension));
    if (!certificate.valid()) return std::nullopt;
    return certificate;
}

void LinuxCaCertificateStore::logUnreadable(const std::string& name,
                                            std::optional<uint32_t> id) const {
    if (id) {
        spdlog::error("[ca-store] Unable to load certificate : id = {}, name = {}", *id,
                      bounded(name));
    } else {
        spdlog::error("[ca-store] Unable to load certificate : name = {}", bounded(name));
    }
}

std::optional<AddCertificateStatus> LinuxCaCertificateStore::refuseAddition(
    const Certificate& /*certificate*/, const std::string& name, SameName sameName) {
    const auto found = table.findByName(name);
    if (found == table.end()) return std::nullopt;
    // A user certificate under a built-in's name would hide the built-in.
    if (found->second.info.isBuiltIn) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : a built-in certificate has the same name",
            bounded(name));
        return AddCertificateStatus::already_exists;
    }
    if (sameName != SameName::replace) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : a certificate with the same name already "
            "exists",
            bounded(name));
        return AddCertificateStatus::already_exists;
    }
    return std::nullopt;
}

void LinuxCaCertificateStore::noteReplacement(const std::string& name,
                                              const file_io::SavedEntry& previous,
                                              const std::error_code& error) {
    spdlog::warn("Existing certificate {} will be deleted and replaced", bounded(name));
    if (previous.kind == file_io::SavedEntry::Kind::missing) {
        spdlog::warn("Unable to delete old certificate {} : {}", bounded(name), error.message());
    }
}

void LinuxCaCertificateStore::logNotWritten(const std::string& name, const fs::path& file) {
    spdlog::error(
        "[ca-store] Unable to add certificate {} : unable to write certificate in the user "
        "store directory => {}",
        bounded(name), file.string());
}

std::optional<Certificate> LinuxCaCertificateStore::applyAddition(const std::string& name,
                                                                  const Certificate& /*written*/) {
    if (!updateCallback(/*fresh=*/false)) return std::nullopt;
    auto loaded = loadCertificate(name);
    if (loaded) {
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

bool LinuxCaCertificateStore::applyRemovals(const std::vector<SavedFile>& removed) {
    return updateCallback(/*fresh=*/false) && removalsTakenUp(removed);
}

bool LinuxCaCertificateStore::removalsTakenUp(const std::vector<SavedFile>& removed) {
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
    if (!all) return false;
    for (const auto& file : removed) cleanDeadSymlinks(file.name);
    return true;
}

std::optional<std::vector<Certificate>> LinuxCaCertificateStore::applyBatch(
    const std::vector<std::pair<std::string, Certificate>>& added,
    const std::vector<SavedFile>& removed) {
    // One run of the tool takes every file of the batch up.
    if (!updateCallback(/*fresh=*/false)) return std::nullopt;
    std::vector<Certificate> served;
    for (const auto& [name, written] : added) {
        auto loaded = loadCertificate(name);
        if (!loaded) {
            spdlog::error(
                "[ca-store] Unable to add certificate {} : update certificate command failed "
                "=> {}",
                bounded(name), updateCommand);
            return std::nullopt;
        }
        served.push_back(std::move(*loaded));
    }
    if (!removalsTakenUp(removed)) return std::nullopt;
    return served;
}

bool LinuxCaCertificateStore::reapply(const std::vector<SavedFile>& restored) {
    if (!updateCallback(/*fresh=*/false)) {
        for (const auto& saved : restored) {
            spdlog::error("[ca-store] Unable to restore certificate {} in the system store",
                          bounded(saved.name));
        }
        return false;
    }
    for (const auto& saved : restored) {
        if (saved.previous.kind == file_io::SavedEntry::Kind::missing)
            cleanDeadSymlinks(saved.name);
    }
    return true;
}

void LinuxCaCertificateStore::logAdditionUndone(const std::string& name, bool restored,
                                                bool hadPrevious) {
    if (restored && hadPrevious) {
        spdlog::warn("[ca-store] Previous certificate {} kept after the failed replacement",
                     bounded(name));
    }
}

void LinuxCaCertificateStore::logChange(CertificateEvent event, uint32_t id,
                                        const std::string& name) {
    if (event == CertificateEvent::removed) {
        spdlog::info("[ca-store] User certificate removed from the store : id = {}, name = {}", id,
                     bounded(name));
    } else {
        spdlog::info("[ca-store] User certificate added to the store : id = {}, name = {}", id,
                     bounded(name));
    }
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
        updateCommand, arguments, changeBudget().value_or(CommandRunner::Budget(updateTimeout)));
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
