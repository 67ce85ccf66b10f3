#include "ev_common/cyber/directory_ca_certificate_store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "ca_store_saved_file.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "file_io.hpp"

namespace fs = std::filesystem;

namespace ev_common {

namespace {

const std::string kCrtExtension = ".crt";

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string endText(const ProcessEnd& end, std::chrono::seconds limit) {
    switch (end.kind) {
        case ProcessEnd::Kind::exited:
            return "exit code " + std::to_string(end.code);
        case ProcessEnd::Kind::signalled:
            return "killed by signal " + std::to_string(end.code);
        case ProcessEnd::Kind::timedOut:
            return "timed out (limit = " + std::to_string(limit.count()) + "s)";
        case ProcessEnd::Kind::cancelled:
            return "stopped, the service is shutting down";
        case ProcessEnd::Kind::unknown:
            break;
    }
    return "no exit status";
}

// A name `openssl rehash` gives its links: eight hex digits, a dot, "r" for a
// revocation list, a decimal number.
struct HashLinkName {
    std::string hash;
    bool revocationList = false;
    std::string number;
};

std::optional<HashLinkName> parseHashLinkName(const std::string& name) {
    constexpr std::size_t kHashDigits = 8;
    if (name.size() < kHashDigits + 2 || name[kHashDigits] != '.') return std::nullopt;
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    HashLinkName parsed;
    parsed.hash = name.substr(0, kHashDigits);
    std::size_t at = kHashDigits + 1;
    parsed.revocationList = name[at] == 'r';
    if (parsed.revocationList) ++at;
    parsed.number = name.substr(at);
    if (!std::all_of(parsed.hash.begin(), parsed.hash.end(), isHex) || parsed.number.empty() ||
        !std::all_of(parsed.number.begin(), parsed.number.end(), isDigit)) {
        return std::nullopt;
    }
    return parsed;
}

// The number of a link OpenSSL looks up: what it prints with "%08lx.%d".
std::optional<std::size_t> lookedUpNumber(const HashLinkName& name) {
    constexpr std::size_t kMaxDigits = 6;
    const bool lowerCase = std::none_of(name.hash.begin(), name.hash.end(), [](char c) {
        return std::isupper(static_cast<unsigned char>(c)) != 0;
    });
    if (name.revocationList || !lowerCase || name.number.size() > kMaxDigits ||
        (name.number.size() > 1 && name.number.front() == '0')) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(std::stoul(name.number));
}

std::string subjectHash(const std::string& pem) {
    const Certificate certificate(pem);
    if (certificate.handle() == nullptr) return {};
    return fmt::format("{:08x}", X509_subject_name_hash(certificate.handle()) & 0xffffffffUL);
}

std::string hashLinkName(const std::string& hash, std::size_t number) {
    return hash + "." + std::to_string(number);
}

// Certificate file names, and hash links by number, by subject hash.
using FilesByHash = std::map<std::string, std::set<std::string>>;
using LinksByHash = std::map<std::string, std::map<std::size_t, std::string>>;

struct UnwantedEntry {
    fs::path path;
    // A link the rehash kept to a file that is gone: routine after a removal.
    bool stale = false;
};

// Sorts the entries of `folder` named like hash links into those to keep (one
// link per certificate file, the lowest number first) and the rest. Links are
// read, never followed.
void sortHashLinks(const fs::path& folder, const FilesByHash& wanted, LinksByHash& kept,
                   std::vector<UnwantedEntry>& unwanted, std::error_code& ec) {
    std::map<std::string, std::map<std::size_t, std::pair<fs::path, std::string>>> candidates;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const auto parsed = parseHashLinkName(entry.filename().string());
        if (!parsed) continue;
        std::error_code linkEc;
        const bool isLink = fs::is_symlink(fs::symlink_status(entry, linkEc));
        const std::string target = isLink ? fs::read_symlink(entry, linkEc).string() : "";
        const auto number = lookedUpNumber(*parsed);
        const auto files = wanted.find(parsed->hash);
        if (!linkEc && isLink && number && files != wanted.end() &&
            files->second.count(target) != 0) {
            candidates[parsed->hash][*number] = {entry, target};
            continue;
        }
        std::error_code targetEc;
        const bool stale = isLink && !linkEc && target.find('/') == std::string::npos &&
                           !fs::exists(fs::symlink_status(folder / target, targetEc));
        unwanted.push_back({entry, stale});
    }
    for (const auto& [hash, links] : candidates) {
        std::set<std::string> linked;
        for (const auto& [number, link] : links) {
            if (linked.insert(link.second).second) {
                kept[hash][number] = link.second;
            } else {
                unwanted.push_back({link.first, false});
            }
        }
    }
}

struct LinkCounts {
    std::size_t renumbered = 0;
    std::size_t added = 0;
};

// Numbers the links of one subject hash from 0 without gaps: links past the
// end move down into the gaps, then every file still without a link gets one
// in what is left. `links` holds distinct files of `files`.
bool numberHashLinks(const fs::path& folder, const std::string& hash,
                     const std::set<std::string>& files,
                     const std::map<std::size_t, std::string>& links, LinkCounts& counts) {
    std::vector<std::size_t> gaps;
    for (std::size_t number = 0; number < files.size(); ++number) {
        if (links.count(number) == 0) gaps.push_back(number);
    }
    auto gap = gaps.begin();
    for (auto link = links.lower_bound(files.size()); link != links.end(); ++link, ++gap) {
        const fs::path from = folder / hashLinkName(hash, link->first);
        const fs::path to = folder / hashLinkName(hash, *gap);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            spdlog::error("[ca-store] Unable to rename hash link {} to {} : {}", from.string(),
                          to.string(), std::strerror(errno));
            return false;
        }
        ++counts.renumbered;
    }
    std::set<std::string> linked;
    for (const auto& link : links) linked.insert(link.second);
    for (const auto& file : files) {
        if (linked.count(file) != 0) continue;
        const fs::path to = folder / hashLinkName(hash, *gap++);
        if (::symlink(file.c_str(), to.c_str()) != 0) {
            spdlog::error("[ca-store] Unable to create hash link {} to {} : {}", to.string(), file,
                          std::strerror(errno));
            return false;
        }
        ++counts.added;
    }
    return true;
}

}  // namespace

DirectoryCaCertificateStore::DirectoryCaCertificateStore(
    std::string domain, TrustAnchorRules anchorRules, std::function<bool(const fs::path&)> rehash)
    : CaStoreCore(std::move(domain)), rules(anchorRules), rehashCallback(std::move(rehash)) {
    if (!rehashCallback) {
        rehashCallback = [this](const fs::path& folder) { return runRehash(folder); };
    }
}

DirectoryCaCertificateStore::~DirectoryCaCertificateStore() = default;

bool DirectoryCaCertificateStore::init(const fs::path& folder, const fs::path& bundle) {
    std::error_code ec;
    folderPath = fs::absolute(folder, ec);
    bundlePath = fs::absolute(bundle, ec);
    setFilesFolder(folderPath);
    struct stat status {};
    if (::stat(folderPath.c_str(), &status) != 0) {
        // TLS clients of other users read the folder: its mode does not
        // follow this process's umask.
        if (errno != ENOENT || ::mkdir(folderPath.c_str(), 0755) != 0 ||
            ::chmod(folderPath.c_str(), 0755) != 0) {
            spdlog::error("[ca-store] Cannot create the folder of trust domain {} : {} => {}",
                          domain(), folderPath.string(), std::strerror(errno));
            return false;
        }
        spdlog::info("[ca-store] Created the folder of trust domain {} : {}", domain(),
                     folderPath.string());
    } else if (!S_ISDIR(status.st_mode)) {
        spdlog::error("[ca-store] The folder of trust domain {} is not a directory : {}", domain(),
                      folderPath.string());
        return false;
    }
    removeLeftoverTemporaries();
    const std::string bundleName = bundlePath.filename().string();
    removeLeftovers(bundlePath.parent_path(),
                    [&](const std::string& name) { return atomicWriteTarget(name) == bundleName; });
    loadFolder();
    if (!rebuild()) {
        spdlog::error("[ca-store] Unable to rebuild the links and the bundle of trust domain {}",
                      domain());
        return false;
    }
    spdlog::info("[ca-store] Loaded {} CA certificates in trust domain {} : {}", table.size(),
                 domain(), folderPath.string());
    return true;
}

void DirectoryCaCertificateStore::loadFolder() {
    // In name order, so that identifiers and the bundle come out the same
    // at every start.
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(folderPath, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        const std::string fileName = entry.filename().string();
        if (entry.extension() != kCrtExtension || fileName.front() == '.') continue;
        // `openssl rehash` would link the target into the domain: only what
        // this store wrote may be trusted there.
        std::error_code linkEc;
        if (fs::is_symlink(fs::symlink_status(entry, linkEc))) {
            if (::unlink(entry.c_str()) == 0) {
                spdlog::warn("[ca-store] Removed link {} from the folder of trust domain {}",
                             bounded(entry.string()), domain());
            }
            continue;
        }
        files.push_back(entry);
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        // Never through a link: what this store trusts is what it wrote.
        std::error_code readEc;
        const auto text = readRegularFile(file, readEc, /*followLink=*/false);
        const Certificate certificate = text ? Certificate(*text) : Certificate("");
        if (!certificate.valid()) {
            spdlog::error("[ca-store] Invalid certificate found : {}", bounded(file.string()));
            continue;
        }
        const Certificate anchor(certificate.handle());
        CertificateTable::Entry entry =
            table.makeEntry(file.stem().string(), /*isBuiltIn=*/false, anchor);
        table.resolveIssuer(entry, anchor);
        pems[entry.info.name] = anchor.text();
        table.insert(std::move(entry));
    }
    refreshIssuers();
}

std::optional<Certificate> DirectoryCaCertificateStore::loadCertificate(
    const std::string& name) const {
    const auto text = heldText(name);
    if (!text) return std::nullopt;
    return Certificate(*text);
}

std::optional<std::string> DirectoryCaCertificateStore::heldText(const std::string& name) const {
    const auto it = pems.find(name);
    if (it == pems.end()) return std::nullopt;
    return it->second;
}

bool DirectoryCaCertificateStore::rebuild() {
    // The rehash keeps links whose certificate is gone, and the number after
    // them stays unreachable: the links are put right after every run.
    if (!rehashCallback(folderPath) || !repairHashLinks()) return false;
    std::string bundle;
    for (const auto& [name, pem] : pems) bundle += pem;
    // Rewritten only when it changes: clients may watch it, and flash wears.
    std::error_code ec;
    const auto current = readRegularFile(bundlePath, ec, /*followLink=*/false);
    if (current && *current == bundle) return true;
    AtomicWriteOptions options;
    options.mode = 0644;
    const AtomicWriteResult written = writeFileAtomically(bundlePath, bundle, options);
    if (written.status == AtomicWriteResult::Status::notSynced) {
        // In place; should a power cut take it, the next start rebuilds it.
        spdlog::warn("[ca-store] The bundle of trust domain {} may not survive a power cut : {}",
                     domain(), bundlePath.string());
        return true;
    }
    if (!written.ok()) {
        spdlog::error("[ca-store] Unable to write the bundle of trust domain {} : {}", domain(),
                      bundlePath.string());
        return false;
    }
    return true;
}

bool DirectoryCaCertificateStore::repairHashLinks() {
    FilesByHash wanted;
    for (const auto& [name, pem] : pems) {
        const std::string hash = subjectHash(pem);
        if (!hash.empty()) wanted[hash].insert(name + kCrtExtension);
    }
    LinksByHash kept;
    std::vector<UnwantedEntry> unwanted;
    std::error_code ec;
    sortHashLinks(folderPath, wanted, kept, unwanted, ec);
    if (ec) {
        spdlog::error("[ca-store] Unable to read the folder of trust domain {} : {} => {}",
                      domain(), folderPath.string(), ec.message());
        return false;
    }

    std::size_t stale = 0;
    for (const auto& entry : unwanted) {
        if (::unlink(entry.path.c_str()) != 0 &&
            (errno != EISDIR || ::rmdir(entry.path.c_str()) != 0) && errno != ENOENT) {
            spdlog::error("[ca-store] Unable to remove {} from the folder of trust domain {} : {}",
                          entry.path.string(), domain(), std::strerror(errno));
            return false;
        }
        if (entry.stale) {
            ++stale;
        } else {
            spdlog::warn(
                "[ca-store] Removed {} from the folder of trust domain {} : not a link to one of "
                "its certificates",
                entry.path.string(), domain());
        }
    }

    LinkCounts counts;
    for (const auto& [hash, files] : wanted) {
        if (!numberHashLinks(folderPath, hash, files, kept[hash], counts)) return false;
    }
    if (stale + counts.renumbered + counts.added > 0) {
        spdlog::info(
            "[ca-store] Repaired the hash links of trust domain {} : {} stale removed, {} "
            "renumbered, {} added",
            domain(), stale, counts.renumbered, counts.added);
    }
    return true;
}

std::optional<AddCertificateStatus> DirectoryCaCertificateStore::refuseAddition(
    const Certificate& certificate, const std::string& name, SameName sameName) {
    if (const auto why = trustAnchorRefusal(certificate, rules, nowSeconds())) {
        spdlog::error("[ca-store] Unable to add certificate {} to domain {} : {}", bounded(name),
                      domain(), *why);
        return AddCertificateStatus::invalid_cert;
    }
    const bool held = table.findByName(name) != table.end();
    if (held && sameName != SameName::replace) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} to domain {} : a certificate with the same "
            "name already exists",
            bounded(name), domain());
        return AddCertificateStatus::already_exists;
    }
    if (!held && table.size() >= maxCertificates) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} to domain {} : the domain already holds its "
            "maximum of {} certificates",
            bounded(name), domain(), maxCertificates);
        return AddCertificateStatus::store_full;
    }
    return std::nullopt;
}

Certificate DirectoryCaCertificateStore::storedForm(const Certificate& certificate) const {
    return Certificate(certificate.handle());
}

void DirectoryCaCertificateStore::logNotWritten(const std::string& name, const fs::path& file) {
    spdlog::error("[ca-store] Unable to add certificate {} to domain {} : unable to write {}",
                  bounded(name), domain(), file.string());
}

std::optional<Certificate> DirectoryCaCertificateStore::applyAddition(const std::string& name,
                                                                      const Certificate& written) {
    pems[name] = written.text();
    if (!rebuild()) return std::nullopt;
    return written;
}

bool DirectoryCaCertificateStore::applyRemovals(const std::vector<SavedFile>& removed) {
    for (const auto& saved : removed) pems.erase(saved.name);
    return rebuild();
}

std::optional<std::vector<Certificate>> DirectoryCaCertificateStore::applyBatch(
    const std::vector<std::pair<std::string, Certificate>>& added,
    const std::vector<SavedFile>& removed) {
    std::vector<Certificate> served;
    for (const auto& [name, written] : added) {
        pems[name] = written.text();
        served.push_back(written);
    }
    for (const auto& saved : removed) pems.erase(saved.name);
    if (!rebuild()) {
        spdlog::error(
            "[ca-store] Unable to apply a batch to domain {} : the links and the bundle could not "
            "be rebuilt",
            domain());
        return std::nullopt;
    }
    return served;
}

bool DirectoryCaCertificateStore::reapply(const std::vector<SavedFile>& restored) {
    for (const auto& saved : restored) {
        if (saved.held) {
            pems[saved.name] = *saved.held;
        } else {
            pems.erase(saved.name);
        }
    }
    if (rebuild()) return true;
    spdlog::error("[ca-store] Unable to restore the links and the bundle of trust domain {}",
                  domain());
    return false;
}

void DirectoryCaCertificateStore::logAdditionUndone(const std::string& name, bool /*restored*/,
                                                    bool /*hadPrevious*/) {
    spdlog::error(
        "[ca-store] Unable to add certificate {} to domain {} : the links and the bundle "
        "could not be rebuilt",
        bounded(name), domain());
}

void DirectoryCaCertificateStore::logRemovalsUndone(const std::vector<SavedFile>& restored) {
    for (const auto& removed : restored) {
        spdlog::error(
            "[ca-store] Unable to remove certificate {} from domain {} : the links and the "
            "bundle could not be rebuilt",
            removed.id, domain());
    }
}

void DirectoryCaCertificateStore::logChange(CertificateEvent event, uint32_t id,
                                            const std::string& name) {
    if (event == CertificateEvent::removed) {
        spdlog::info("[ca-store] Certificate removed from domain {} : id = {}, name = {}", domain(),
                     id, bounded(name));
    } else {
        spdlog::info("[ca-store] Certificate added to domain {} : id = {}, name = {}", domain(), id,
                     bounded(name));
    }
}

bool DirectoryCaCertificateStore::runRehash(const fs::path& folder) {
    const auto outcome =
        rehashRunner.run(kOpensslCommand, {"rehash", folder.string()}, rehashTimeout);
    switch (outcome.kind) {
        case CommandRunner::Outcome::Kind::refused:
            spdlog::error(
                "[ca-store] Rehash of trust domain {} not started, the service is shutting down",
                domain());
            return false;
        case CommandRunner::Outcome::Kind::usedUp:
            spdlog::error(
                "[ca-store] Rehash of trust domain {} not started, its time limit "
                "(limit = {}s) is used up",
                domain(), rehashTimeout.count());
            return false;
        case CommandRunner::Outcome::Kind::notStarted:
            spdlog::error("[ca-store] Unable to execute {} rehash for trust domain {}",
                          kOpensslCommand, domain());
            return false;
        case CommandRunner::Outcome::Kind::ended:
            break;
    }
    if (outcome.end.succeeded()) return true;
    spdlog::error("[ca-store] Rehash of trust domain {} failed : {} => {} rehash {}", domain(),
                  endText(outcome.end, rehashTimeout), kOpensslCommand, folder.string());
    return false;
}

void DirectoryCaCertificateStore::cancelRehash() {
    rehashRunner.cancel();
}

}  // namespace ev_common
