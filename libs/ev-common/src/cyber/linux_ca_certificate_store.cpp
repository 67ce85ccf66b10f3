#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>

#include <spdlog/spdlog.h>

#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "ev_common/system/process.hpp"
#include "ev_common/system/utc_time.hpp"
#include "file_io.hpp"

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

// Longer names are refused: the temporary ".NAME.crt.XXXXXX" of a write must
// stay within the 255 bytes a file name may have, with room to spare.
constexpr std::size_t kMaxNameLength = 200;

// True when the text holds a PEM block whose label ends in "PRIVATE KEY"
// (PKCS#8, RSA, EC, encrypted, ...), wherever its BEGIN line stands: a
// secret must never reach the world-readable trust folder.
bool holdsPrivateKey(const std::string& text) {
    static const std::string kBegin = "-----BEGIN ";
    static const std::string kPrivateKey = "PRIVATE KEY";
    for (std::size_t at = text.find(kBegin); at != std::string::npos;
         at = text.find(kBegin, at + 1)) {
        const std::size_t labelAt = at + kBegin.size();
        const std::size_t labelEnd = text.find("-----", labelAt);
        if (labelEnd == std::string::npos) return false;
        std::string_view label(text.data() + labelAt, labelEnd - labelAt);
        while (!label.empty() && std::isspace(static_cast<unsigned char>(label.back()))) {
            label.remove_suffix(1);
        }
        if (label.size() >= kPrivateKey.size() &&
            label.substr(label.size() - kPrivateKey.size()) == kPrivateKey) {
            return true;
        }
    }
    return false;
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

bool LinuxCaCertificateStore::isValidName(const std::string& name) const {
    // The same set as a full match of "[a-zA-Z0-9_-]+", tested without the
    // regex engine: its recursive matcher overflows the stack on long input,
    // and the name comes straight from a client.
    const bool valid =
        !name.empty() && std::all_of(name.begin(), name.end(), file_io::isNameCharacter);
    if (!valid) spdlog::error("[ca-store] Invalid certificate name: {}", bounded(name));
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
            spdlog::error("[ca-store] Invalid certificate found : {}", file.string());
            continue;
        }
        Entry stored = makeEntry(file.stem().string(), isBuiltIn, certificate);
        spdlog::debug("[ca-store] Certificate added to the store : is_built_in = {}, name = {}",
                      isBuiltIn, stored.info.name);
        if (stored.details.selfSigned) {
            resolveIssuer(stored, certificate);
        } else {
            issued.emplace_back(nextId, certificate);
        }
        certificates.emplace(nextId, std::move(stored));
        ++(isBuiltIn ? builtIn : user);
        ++nextId;
    }
    for (const auto& [id, certificate] : issued) resolveIssuer(certificates.at(id), certificate);
    spdlog::info("[ca-store] Loaded {} CA certificates : built_in = {}, user = {}",
                 certificates.size(), builtIn, user);
}

std::vector<CertificateInfo> LinuxCaCertificateStore::getCertificates() {
    std::vector<CertificateInfo> result;
    result.reserve(certificates.size());
    for (const auto& [id, entry] : certificates) result.push_back(entry.info);
    return result;
}

CertificateDetailsListing LinuxCaCertificateStore::getCertificateDetails() {
    CertificateDetailsListing listing;
    listing.generation = currentGeneration;
    listing.certificates.reserve(certificates.size());
    for (const auto& [id, entry] : certificates) {
        listing.certificates.push_back({entry.info, entry.details});
    }
    return listing;
}

std::optional<CertificateInfo> LinuxCaCertificateStore::getCertificateInfo(uint32_t id) {
    const auto it = certificates.find(id);
    if (it == certificates.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return std::nullopt;
    }
    return it->second.info;
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
    auto certificate = loadSystemEntry(it->second.info.name);
    if (!certificate) {
        spdlog::error("[ca-store] Unable to load certificate : id = {}, name = {}", id,
                      it->second.info.name);
    }
    return certificate;
}

std::optional<Certificate> LinuxCaCertificateStore::getCertificateByName(const std::string& name) {
    const auto it = findByName(name);
    if (it == certificates.end()) return std::nullopt;
    auto certificate = loadSystemEntry(name);
    if (!certificate) {
        spdlog::error("[ca-store] Unable to load certificate : name = {}", bounded(name));
    }
    return certificate;
}

std::map<uint32_t, LinuxCaCertificateStore::Entry>::iterator LinuxCaCertificateStore::findByName(
    const std::string& name) {
    for (auto it = certificates.begin(); it != certificates.end(); ++it) {
        if (it->second.info.name == name) return it;
    }
    return certificates.end();
}

std::optional<AddCertificateStatus> LinuxCaCertificateStore::refuseAddition(
    const Certificate& certificate, const std::string& name, bool replace) {
    if (!isValidName(name)) {
        spdlog::error("[ca-store] Unable to add certificate : invalid name");
        return AddCertificateStatus::invalid_name;
    }
    if (name.size() > kMaxNameLength) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} : the name is longer than {} characters",
            bounded(name), kMaxNameLength);
        return AddCertificateStatus::invalid_name;
    }
    if (!certificate.valid()) {
        spdlog::error("[ca-store] Unable to add certificate {} : invalid certificate",
                      bounded(name));
        return AddCertificateStatus::invalid_cert;
    }
    if (holdsPrivateKey(certificate.text())) {
        spdlog::warn("[ca-store] Unable to add certificate {} : the text holds a private key",
                     bounded(name));
        return AddCertificateStatus::invalid_cert;
    }
    const auto found = findByName(name);
    if (found == certificates.end()) return std::nullopt;
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
    const fs::path file = userFile(name);
    const auto replaced = findByName(name);

    // What stands at the file now is kept until the new certificate is known
    // to work, so that a failure can put back exactly what was trusted before.
    std::error_code error;
    const auto previous = file_io::saveEntry(file, error);
    if (replaced != certificates.end() && previous) {
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
            replaced != certificates.end() || previous->kind != file_io::SavedEntry::Kind::missing;
        if (putBack(name, file, *previous) && hadPrevious) {
            spdlog::warn("[ca-store] Previous certificate {} kept after the failed replacement",
                         bounded(name));
        }
        return AddCertificateStatus::internal_error;
    }

    const bool replacing = replaced != certificates.end();
    if (replacing) certificates.erase(replaced);
    id = enterUserCertificate(name, *loaded);
    refreshIssuers();
    ++currentGeneration;
    report(replacing ? CertificateEvent::replaced : CertificateEvent::added, certificates.at(id));
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

bool LinuxCaCertificateStore::putBack(const std::string& name, const fs::path& file,
                                      const file_io::SavedEntry& previous) {
    if (!file_io::restoreEntry(file, previous)) {
        spdlog::error("[ca-store] Unable to restore certificate file {}", file.string());
    }
    // The tool may have taken the change up before it failed; run it again
    // so that the system folder follows the user folder once more.
    if (!updateCallback(false)) {
        spdlog::error("[ca-store] Unable to restore certificate {} in the system store",
                      bounded(name));
        return false;
    }
    if (previous.kind == file_io::SavedEntry::Kind::missing) cleanDeadSymlinks(name);
    return true;
}

uint32_t LinuxCaCertificateStore::enterUserCertificate(const std::string& name,
                                                       const Certificate& loaded) {
    Entry entry = makeEntry(name, false, loaded);
    resolveIssuer(entry, loaded);
    certificates.emplace(nextId, std::move(entry));
    spdlog::info("[ca-store] User certificate added to the store : id = {}, name = {}", nextId,
                 bounded(name));
    return nextId++;
}

RemoveCertificateStatus LinuxCaCertificateStore::removeCertificate(uint32_t id) {
    const auto it = certificates.find(id);
    if (it == certificates.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return RemoveCertificateStatus::unknown_id;
    }
    if (it->second.info.isBuiltIn) {
        spdlog::error("[ca-store] Unable to remove certificate {} : builtin certificate", id);
        return RemoveCertificateStatus::built_in;
    }
    const std::string name = it->second.info.name;
    const fs::path file = userFile(name);
    // Kept to be put back if the system update fails: a removal that does not
    // happen must not lose the certificate.
    std::error_code error;
    const auto previous = file_io::saveEntry(file, error);
    if (!previous || previous->kind == file_io::SavedEntry::Kind::missing ||
        !fs::remove(file, error)) {
        spdlog::error("[ca-store] Unable to remove certificate {} : delete error => {}", id,
                      error.message());
        return RemoveCertificateStatus::internal_error;
    }
    if (!takeUpRemoval(name)) {
        putBack(name, file, *previous);
        return RemoveCertificateStatus::internal_error;
    }
    cleanDeadSymlinks(name);
    spdlog::info("[ca-store] User certificate removed from the store : id = {}, name = {}", id,
                 bounded(name));
    const Entry removed = std::move(it->second);
    certificates.erase(it);
    refreshIssuers();
    ++currentGeneration;
    report(CertificateEvent::removed, removed);
    return RemoveCertificateStatus::success;
}

LinuxCaCertificateStore::Entry LinuxCaCertificateStore::makeEntry(
    const std::string& name, bool isBuiltIn, const Certificate& certificate) const {
    Entry entry;
    entry.info.id = nextId;
    entry.info.name = name;
    entry.info.isBuiltIn = isBuiltIn;
    entry.info.subject = certificate.subjectText();
    entry.info.notAfter = static_cast<int32_t>(certificate.notAfter());
    entry.details = describeCertificate(certificate);
    entry.identity = issuerIdentity(certificate);
    entry.issuerDer = certificate.issuerDer();
    return entry;
}

void LinuxCaCertificateStore::resolveIssuer(Entry& entry, const Certificate& certificate) {
    entry.issuerId.reset();
    entry.details.ocpp.clear();
    if (entry.details.selfSigned) {
        entry.issuerId = entry.info.id;
        entry.details.ocpp = ocppHashData(certificate, entry.identity);
        return;
    }
    for (const auto& [id, candidate] : certificates) {
        if (id == entry.info.id || !isIssuedBy(certificate, candidate.identity)) continue;
        entry.issuerId = id;
        entry.details.ocpp = ocppHashData(certificate, candidate.identity);
        return;
    }
}

void LinuxCaCertificateStore::refreshIssuers() {
    for (auto& [id, entry] : certificates) {
        if (entry.details.selfSigned) continue;
        if (entry.issuerId && certificates.count(*entry.issuerId) != 0) continue;
        // The certificate is read again only when an entry of the table
        // bears its issuer's name: its signature has to be checked.
        const bool named =
            std::any_of(certificates.begin(), certificates.end(), [&](const auto& other) {
                return other.first != id &&
                       sameName(entry.issuerDer, other.second.identity.subjectDer);
            });
        const auto certificate = named ? loadSystemEntry(entry.info.name) : std::nullopt;
        if (certificate) {
            resolveIssuer(entry, *certificate);
        } else {
            entry.issuerId.reset();
            entry.details.ocpp.clear();
        }
    }
}

void LinuxCaCertificateStore::report(CertificateEvent event, const Entry& entry) {
    if (!observer) return;
    CertificateChange change;
    change.event = event;
    change.generation = currentGeneration;
    change.id = entry.info.id;
    change.name = entry.info.name;
    change.sha256 = entry.details.sha256;
    change.notAfter = entry.details.notAfter;
    observer(change);
}

void LinuxCaCertificateStore::setChangeObserver(CertificateChangeObserver changeObserver) {
    observer = std::move(changeObserver);
}

std::size_t LinuxCaCertificateStore::checkExpiry(std::int64_t now, std::int64_t windowSeconds) {
    std::size_t count = 0;
    for (const auto& [id, entry] : certificates) {
        const std::int64_t notAfter = entry.details.notAfter;
        // Valid through its last second: expired only once that has passed.
        if (notAfter < now) {
            spdlog::warn("[ca-store] Certificate {} (id {}) expired on {}",
                         bounded(entry.info.name), id, formatUtcTime(notAfter));
            report(CertificateEvent::expired, entry);
        } else if (notAfter - now <= windowSeconds) {
            spdlog::warn("[ca-store] Certificate {} (id {}) expires on {}",
                         bounded(entry.info.name), id, formatUtcTime(notAfter));
            report(CertificateEvent::expiring, entry);
        } else {
            continue;
        }
        ++count;
    }
    return count;
}

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Lower case, without the leading zeros a client may have kept.
std::string normalisedSerial(const std::string& serial) {
    const bool negative = !serial.empty() && serial[0] == '-';
    const std::string digits = lowerCase(serial.substr(negative ? 1 : 0));
    const std::size_t first = digits.find_first_not_of('0');
    const std::string value = first == std::string::npos ? "0" : digits.substr(first);
    return negative ? "-" + value : value;
}

}  // namespace

std::optional<uint32_t> LinuxCaCertificateStore::findCertificateByHashData(
    const OcppHashData& wanted) {
    const auto& algorithms = ocppHashAlgorithms();
    std::string algorithm = wanted.hashAlgorithm;
    std::transform(algorithm.begin(), algorithm.end(), algorithm.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto known = std::find(algorithms.begin(), algorithms.end(), algorithm);
    if (known == algorithms.end()) {
        spdlog::warn("[ca-store] Unknown hash algorithm : {}", bounded(wanted.hashAlgorithm));
        return std::nullopt;
    }
    const auto index = static_cast<std::size_t>(known - algorithms.begin());
    const std::string nameHash = lowerCase(wanted.issuerNameHash);
    const std::string keyHash = lowerCase(wanted.issuerKeyHash);
    const std::string serial = normalisedSerial(wanted.serialNumber);
    std::optional<uint32_t> builtIn;
    for (const auto& [id, entry] : certificates) {
        if (entry.details.ocpp.size() <= index) continue;
        const OcppHashData& data = entry.details.ocpp[index];
        if (data.issuerNameHash != nameHash || data.issuerKeyHash != keyHash ||
            data.serialNumber != serial) {
            continue;
        }
        if (!entry.info.isBuiltIn) return id;
        if (!builtIn) builtIn = id;
    }
    return builtIn;
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

bool LinuxCaCertificateStore::takeUpRemoval(const std::string& name) {
    if (!updateCallback(false)) return false;
    const fs::path entry = linuxDir / (name + kPemExtension);
    std::error_code ec;
    if (!fs::exists(entry, ec)) return true;
    if (fs::is_symlink(fs::symlink_status(entry, ec))) {
        const fs::path target = fs::read_symlink(entry, ec);
        if (!ec && !fs::exists(target, ec)) return true;
    }
    spdlog::error(
        "[ca-store] Unable to remove certificate {} : update certificate command failed "
        "=> {}",
        bounded(name), updateCommand);
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
