#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include <spdlog/spdlog.h>

#include "ev_common/system/process.hpp"

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
    spdlog::debug("[ca-store] {} - {} => {} : {}", dir.string(), link.string(), result.string(),
                  ec.message());
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

std::optional<std::string> readWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

enum class WriteOutcome { written, failedUntouched, failedAfterRename };

// Writes `content` to `file` so that the file holds either its old content or
// the whole new one, never a part, even across a power cut. The temporary's
// name ends in random characters, never in ".crt", so the update tool cannot
// pick it up.
WriteOutcome writeAtomically(const fs::path& dir, const fs::path& file,
                             const std::string& content) {
    std::string pattern = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return WriteOutcome::failedUntouched;
    bool ok = true;
    for (std::size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(pattern.c_str(), file.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return WriteOutcome::failedUntouched;
    }
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dirFd >= 0 && ::fsync(dirFd) == 0;
    if (dirFd >= 0) ::close(dirFd);
    return ok ? WriteOutcome::written : WriteOutcome::failedAfterRename;
}

}  // namespace

LinuxCaCertificateStore::LinuxCaCertificateStore(std::function<bool(bool)> callback)
    : updateCallback(std::move(callback)) {
    if (!updateCallback) {
        updateCallback = [this](bool fresh) { return runUpdateCommand(fresh); };
    }
}

bool LinuxCaCertificateStore::init(const fs::path& linuxPath, const fs::path& userPath,
                                   const std::string& command, const std::string& fresh,
                                   const std::vector<std::string>& extra) {
    std::error_code ec;
    linuxDir = fs::absolute(linuxPath, ec);
    userDir = fs::absolute(userPath, ec);
    updateCommand = command;
    freshArgument = fresh;
    extraArguments = extra;

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

bool LinuxCaCertificateStore::isValidName(const std::string& name) const {
    // The same set as a full match of "[a-zA-Z0-9_-]+", tested without the
    // regex engine: its recursive matcher overflows the stack on long input,
    // and the name comes straight from a client.
    bool valid = !name.empty();
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!allowed) {
            valid = false;
            break;
        }
    }
    if (!valid) spdlog::error("[ca-store] Invalid certificate name: {}", name);
    return valid;
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
            spdlog::error("[ca-store] Invalid certificate found : {}", file.string());
            continue;
        }
        CertificateInfo info;
        info.id = nextId;
        info.name = file.stem().string();
        info.isBuiltIn = isBuiltIn;
        info.subject = certificate.subjectText();
        info.notAfter = static_cast<int32_t>(certificate.notAfter());
        spdlog::debug("[ca-store] Certificate added to the store : is_built_in = {}, name = {}",
                      isBuiltIn, info.name);
        certificates.emplace(nextId, std::move(info));
        ++(isBuiltIn ? builtIn : user);
        ++nextId;
    }
    spdlog::info("[ca-store] Loaded {} CA certificates : built_in = {}, user = {}",
                 certificates.size(), builtIn, user);
}

std::vector<CertificateInfo> LinuxCaCertificateStore::getCertificates() {
    std::vector<CertificateInfo> result;
    result.reserve(certificates.size());
    for (const auto& [id, info] : certificates) result.push_back(info);
    return result;
}

std::optional<CertificateInfo> LinuxCaCertificateStore::getCertificateInfo(uint32_t id) {
    const auto it = certificates.find(id);
    if (it == certificates.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return std::nullopt;
    }
    return it->second;
}

std::optional<Certificate> LinuxCaCertificateStore::loadSystemEntry(const std::string& name) const {
    Certificate certificate(linuxDir / (name + kPemExtension));
    if (!certificate.valid()) return std::nullopt;
    return certificate;
}

std::optional<Certificate> LinuxCaCertificateStore::getCertificate(uint32_t id) {
    const auto it = certificates.find(id);
    if (it == certificates.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return std::nullopt;
    }
    auto certificate = loadSystemEntry(it->second.name);
    if (!certificate) {
        spdlog::error("[ca-store] Unable to load certificate : id = {}, name = {}", id,
                      it->second.name);
    }
    return certificate;
}

std::optional<Certificate> LinuxCaCertificateStore::getCertificateByName(const std::string& name) {
    const auto it = findByName(name);
    if (it == certificates.end()) return std::nullopt;
    auto certificate = loadSystemEntry(name);
    if (!certificate) spdlog::error("[ca-store] Unable to load certificate : name = {}", name);
    return certificate;
}

std::map<uint32_t, CertificateInfo>::iterator LinuxCaCertificateStore::findByName(
    const std::string& name) {
    for (auto it = certificates.begin(); it != certificates.end(); ++it) {
        if (it->second.name == name) return it;
    }
    return certificates.end();
}

AddCertificateStatus LinuxCaCertificateStore::addCertificate(const Certificate& certificate,
                                                             const std::string& name, uint32_t& id,
                                                             bool replace) {
    if (!isValidName(name)) {
        spdlog::error("[ca-store] Unable to add certificate : invalid name");
        return AddCertificateStatus::invalid_name;
    }
    if (!certificate.valid()) {
        spdlog::error("[ca-store] Unable to add certificate {} : invalid certificate", name);
        return AddCertificateStatus::invalid_cert;
    }
    const fs::path file = userDir / (name + kCrtExtension);
    const auto found = findByName(name);
    const bool replacing = found != certificates.end();
    if (replacing && !replace) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : a certificate with the same name already "
            "exists",
            name);
        return AddCertificateStatus::already_exists;
    }

    // The old file is kept until the new certificate is known to work, so a
    // failure can put back exactly what was trusted before.
    std::error_code existsEc;
    std::optional<std::string> previousText;
    const bool existed = fs::exists(file, existsEc);
    if (existed) previousText = readWholeFile(file);
    if (replacing) {
        spdlog::warn("Existing certificate {} will be deleted and replaced", name);
        if (!existed) {
            spdlog::warn("Unable to delete old certificate {} : {}", name, existsEc.message());
        }
    }

    const WriteOutcome outcome = existed && !previousText
                                     ? WriteOutcome::failedUntouched
                                     : writeAtomically(userDir, file, certificate.text());
    if (outcome != WriteOutcome::written) {
        if (outcome == WriteOutcome::failedAfterRename) restoreFile(file, previousText);
        spdlog::error(
            "[ca-store] Unable to add certificate {} : unable to write certificate in the user "
            "store directory => {}",
            name, file.string());
        return AddCertificateStatus::internal_error;
    }

    Certificate loaded{std::string()};
    if (!applyToSystemStore(name, true, loaded)) {
        restoreFile(file, previousText);
        if (replacing || previousText) {
            // The tool ran with the new file; run it again so that the system
            // entry points at the previous certificate once more.
            if (updateCallback(false)) {
                spdlog::warn("[ca-store] Previous certificate {} kept after the failed replacement",
                             name);
            } else {
                spdlog::error("[ca-store] Unable to restore certificate {} in the system store",
                              name);
            }
        }
        return AddCertificateStatus::internal_error;
    }

    if (replacing) certificates.erase(found);
    CertificateInfo info;
    info.id = nextId;
    info.name = name;
    info.isBuiltIn = false;
    info.subject = loaded.subjectText();
    info.notAfter = static_cast<int32_t>(loaded.notAfter());
    certificates.emplace(nextId, std::move(info));
    id = nextId;
    ++nextId;
    spdlog::info("[ca-store] User certificate added to the store : id = {}, name = {}", id, name);
    return AddCertificateStatus::success;
}

void LinuxCaCertificateStore::restoreFile(const fs::path& file,
                                          const std::optional<std::string>& previousText) {
    if (!previousText) {
        std::error_code ec;
        fs::remove(file, ec);
        return;
    }
    if (writeAtomically(userDir, file, *previousText) != WriteOutcome::written) {
        spdlog::error("[ca-store] Unable to restore certificate file {}", file.string());
    }
}

RemoveCertificateStatus LinuxCaCertificateStore::removeCertificate(uint32_t id) {
    const auto it = certificates.find(id);
    if (it == certificates.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return RemoveCertificateStatus::unknown_id;
    }
    if (it->second.isBuiltIn) {
        spdlog::error("[ca-store] Unable to remove certificate {} : builtin certificate", id);
        return RemoveCertificateStatus::built_in;
    }
    const std::string name = it->second.name;
    std::error_code ec;
    if (!fs::remove(userDir / (name + kCrtExtension), ec)) {
        spdlog::error("[ca-store] Unable to remove certificate {} : delete error => {}", id,
                      ec.message());
        return RemoveCertificateStatus::internal_error;
    }
    Certificate scratch{std::string()};
    if (!applyToSystemStore(name, false, scratch)) return RemoveCertificateStatus::internal_error;
    cleanDeadSymlinks(name);
    spdlog::info("[ca-store] User certificate removed from the store : id = {}, name = {}", id,
                 name);
    certificates.erase(it);
    return RemoveCertificateStatus::success;
}

bool LinuxCaCertificateStore::applyToSystemStore(const std::string& name, bool adding,
                                                 Certificate& loaded) {
    if (!updateCallback(false)) return false;
    const fs::path entry = linuxDir / (name + kPemExtension);
    if (adding) {
        loaded = Certificate(entry);
        if (loaded.valid()) {
            spdlog::debug("[ca-store] User certificate added to the system store : name = {}",
                          name);
            return true;
        }
        spdlog::error(
            "[ca-store] Unable to add certificate {} : update certificate command failed "
            "=> {}",
            name, updateCommand);
        return false;
    }
    std::error_code ec;
    if (!fs::exists(entry, ec)) return true;
    if (fs::is_symlink(fs::symlink_status(entry, ec))) {
        const fs::path target = fs::read_symlink(entry, ec);
        if (!ec && !fs::exists(target, ec)) return true;
    }
    spdlog::error(
        "[ca-store] Unable to remove certificate {} : update certificate command failed "
        "=> {}",
        name, updateCommand);
    return false;
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
                spdlog::warn("[ca-store] Error checking symlink {}: {}", entry.string(),
                             entryEc.message());
            }
            continue;
        }
        std::error_code removeEc;
        if (fs::remove(entry, removeEc)) {
            spdlog::info("[ca-store] Removed dead symlink: {} -> {}", entry.string(),
                         target.string());
        } else {
            spdlog::error("[ca-store] Cannot remove dead symlink {} : {}", entry.string(),
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
    {
        std::lock_guard<std::mutex> lock(updateMutex);
        if (updatesCancelled) {
            spdlog::error(
                "[ca-store] Update certificate command not started, the service is shutting "
                "down => {}",
                updateCommand);
            return false;
        }
    }
    Process process(updateCommand, arguments);
    if (process.pid() < 1) {
        spdlog::error("[ca-store] Unable to execute update certificate command => {}",
                      updateCommand);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(updateMutex);
        if (updatesCancelled) process.cancel();
        runningUpdate = &process;
    }
    // A hundred years stands for "no limit" without overflowing the clock.
    const std::chrono::seconds limit =
        std::min<std::chrono::seconds>(updateTimeout, std::chrono::hours(24 * 365 * 100));
    const ProcessEnd end = process.waitFor(limit);
    {
        std::lock_guard<std::mutex> lock(updateMutex);
        runningUpdate = nullptr;
    }
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
    std::lock_guard<std::mutex> lock(updateMutex);
    updatesCancelled = true;
    if (runningUpdate != nullptr) runningUpdate->cancel();
}

}  // namespace ev_common
