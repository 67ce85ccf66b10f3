#include "ev_common/cyber/directory_ca_certificate_store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "ca_store_saved_file.hpp"
#include "ev_common/cyber/certificate_profile.hpp"
#include "ev_common/cyber/openssl_free.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "file_io.hpp"
#include "store_checks.hpp"

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
    if (roles) {
        fallbackFolder = fs::absolute(fallbackFolder, ec);
        fallbackBundle = fs::absolute(fallbackBundle, ec);
        removeLeftovers(fallbackFolder, [](const std::string& name) {
            return file_io::isTemporaryName(name, kCrtExtension);
        });
        const std::string fallbackBundleName = fallbackBundle.filename().string();
        removeLeftovers(fallbackBundle.parent_path(), [&](const std::string& name) {
            return atomicWriteTarget(name) == fallbackBundleName;
        });
        settleRotation();
        if (fs::is_directory(fs::symlink_status(fallbackFolder, ec))) {
            loadFolder(fallbackFolder, fallbackPems, "fallback");
            for (const auto& [name, text] : fallbackPems) fallbackNames.insert(name);
        }
    }
    loadFolder(folderPath, pems, roles ? "active" : "");
    if (roles && pems.size() > 1) {
        spdlog::warn("[ca-store] Trust domain {} holds {} active roots : {}", domain(), pems.size(),
                     folderPath.string());
    }
    refreshIssuers();
    if (!rebuild()) {
        spdlog::error("[ca-store] Unable to rebuild the links and the bundle of trust domain {}",
                      domain());
        return false;
    }
    if (roles) removeFallbackFolderIfEmpty();
    spdlog::info("[ca-store] Loaded {} CA certificates in trust domain {} : {}", table.size(),
                 domain(), folderPath.string());
    return true;
}

void DirectoryCaCertificateStore::loadFolder(const fs::path& folder,
                                             std::map<std::string, std::string>& into,
                                             const std::string& role) {
    // In name order, so that identifiers and the bundle come out the same
    // at every start.
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
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
        completeEntry(entry, anchor);
        entry.role = role;
        into[entry.info.name] = anchor.text();
        table.insert(std::move(entry));
    }
}

std::optional<Certificate> DirectoryCaCertificateStore::loadCertificate(
    const std::string& name) const {
    const auto text = heldText(name);
    if (!text) return std::nullopt;
    return Certificate(*text);
}

std::optional<std::string> DirectoryCaCertificateStore::heldText(const std::string& name) const {
    const auto& texts = fallbackNames.count(name) != 0 ? fallbackPems : pems;
    const auto it = texts.find(name);
    if (it == texts.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, std::string>& DirectoryCaCertificateStore::textsOf(const std::string& name) {
    return fallbackNames.count(name) != 0 ? fallbackPems : pems;
}

fs::path DirectoryCaCertificateStore::fileOf(const std::string& name) const {
    if (fallbackNames.count(name) != 0) return fallbackFolder / (name + kCrtExtension);
    return CaStoreCore::fileOf(name);
}

void DirectoryCaCertificateStore::completeEntry(Entry& entry,
                                                const Certificate& certificate) const {
    if (rules.iso15118) {
        if (const auto profile = anchorProfile(certificate.handle())) {
            entry.profile = certificateProfileName(*profile);
        }
    }
    if (roles) entry.role = fallbackNames.count(entry.info.name) != 0 ? "fallback" : "active";
}

bool DirectoryCaCertificateStore::rebuild() {
    if (!rebuildFolder(folderPath, bundlePath, pems)) return false;
    if (!roles) return true;
    if (!fallbackPems.empty()) return rebuildFolder(fallbackFolder, fallbackBundle, fallbackPems);
    // Without a fallback its bundle goes; the folder goes once that counts.
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(fallbackFolder, ec)) &&
        !repairHashLinks(fallbackFolder, fallbackPems)) {
        return false;
    }
    if (::unlink(fallbackBundle.c_str()) != 0 && errno != ENOENT) {
        spdlog::error("[ca-store] Unable to remove the fallback bundle of trust domain {} : {}",
                      domain(), fallbackBundle.string());
        return false;
    }
    return true;
}

bool DirectoryCaCertificateStore::rebuildFolder(const fs::path& folder, const fs::path& bundleFile,
                                                const std::map<std::string, std::string>& texts) {
    // The rehash keeps links whose certificate is gone, and the number after
    // them stays unreachable: the links are put right after every run.
    if (!rehashCallback(folder) || !repairHashLinks(folder, texts)) return false;
    std::string bundle;
    for (const auto& [name, pem] : texts) bundle += pem;
    // Rewritten only when it changes: clients may watch it, and flash wears.
    std::error_code ec;
    const auto current = readRegularFile(bundleFile, ec, /*followLink=*/false);
    if (current && *current == bundle) return true;
    AtomicWriteOptions options;
    options.mode = 0644;
    const AtomicWriteResult written = writeFileAtomically(bundleFile, bundle, options);
    if (written.status == AtomicWriteResult::Status::notSynced) {
        // In place; should a power cut take it, the next start rebuilds it.
        spdlog::warn("[ca-store] The bundle of trust domain {} may not survive a power cut : {}",
                     domain(), bundleFile.string());
        return true;
    }
    if (!written.ok()) {
        spdlog::error("[ca-store] Unable to write the bundle of trust domain {} : {}", domain(),
                      bundleFile.string());
        return false;
    }
    return true;
}

bool DirectoryCaCertificateStore::repairHashLinks(const fs::path& folder,
                                                  const std::map<std::string, std::string>& texts) {
    FilesByHash wanted;
    for (const auto& [name, pem] : texts) {
        const std::string hash = subjectHash(pem);
        if (!hash.empty()) wanted[hash].insert(name + kCrtExtension);
    }
    LinksByHash kept;
    std::vector<UnwantedEntry> unwanted;
    std::error_code ec;
    sortHashLinks(folder, wanted, kept, unwanted, ec);
    if (ec) {
        spdlog::error("[ca-store] Unable to read the folder of trust domain {} : {} => {}",
                      domain(), folder.string(), ec.message());
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
        if (!numberHashLinks(folder, hash, files, kept[hash], counts)) return false;
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
    TrustAnchorRules applied = rules;
    const auto held = table.findByName(name);
    bool checked = true;
    if (roles) {
        const auto active = activeId();
        if (held != table.end()) {
            // M05.FR.17: a root already there may be added again; one it
            // holds under the name may not give way to another certificate.
            checked = heldText(name) != storedForm(certificate).text();
            if (checked) {
                spdlog::error(
                    "[ca-store] Unable to add certificate {} to domain {} : a root of the domain "
                    "goes by that name",
                    bounded(name), domain());
                return AddCertificateStatus::already_exists;
            }
        } else if (active) {
            applied.issuers = {table.at(*active).identity};
            applied.issuedOnly = true;
            applied.issuersText = "the current CSMS root";
        }
    } else if (rules.heldRootsSign) {
        for (const auto& [id, entry] : table) applied.issuers.push_back(entry.identity);
    }
    const auto why = checked ? trustAnchorRefusal(certificate, applied, nowSeconds())
                             : std::optional<std::string>();
    if (why) {
        spdlog::error("[ca-store] Unable to add certificate {} to domain {} : {}", bounded(name),
                      domain(), *why);
        return AddCertificateStatus::invalid_cert;
    }
    if (held != table.end() && sameName != SameName::replace) {
        spdlog::error(
            "[ca-store] Unable to add certificate {} to domain {} : a certificate with the same "
            "name already exists",
            bounded(name), domain());
        return AddCertificateStatus::already_exists;
    }
    if (held == table.end() && table.size() >= maxCertificates) {
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
    textsOf(name)[name] = written.text();
    if (!rebuild()) return std::nullopt;
    return written;
}

bool DirectoryCaCertificateStore::applyRemovals(const std::vector<SavedFile>& removed) {
    for (const auto& saved : removed) textsOf(saved.name).erase(saved.name);
    return rebuild();
}

std::optional<StageRefusal> DirectoryCaCertificateStore::stageChanges(
    const std::vector<StoreChange>& changes) {
    if (roles) {
        spdlog::error(
            "[ca-store] Unable to apply a batch to domain {} : its roots rotate one at a time",
            domain());
        const bool addition = !changes.empty() && changes[0].kind == StoreChange::Kind::add;
        return StageRefusal{0, addition
                                   ? static_cast<int32_t>(AddCertificateStatus::invalid_cert)
                                   : static_cast<int32_t>(RemoveCertificateStatus::internal_error)};
    }
    return CaStoreCore::stageChanges(changes);
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
            textsOf(saved.name)[saved.name] = *saved.held;
        } else {
            textsOf(saved.name).erase(saved.name);
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
    } else if (event == CertificateEvent::fallback) {
        spdlog::info("[ca-store] Certificate is the fallback of domain {} : id = {}, name = {}",
                     domain(), id, bounded(name));
    } else {
        spdlog::info("[ca-store] Certificate added to domain {} : id = {}, name = {}", domain(), id,
                     bounded(name));
    }
}

void DirectoryCaCertificateStore::enableRoles(const fs::path& folder, const fs::path& bundle) {
    roles = true;
    fallbackFolder = folder;
    fallbackBundle = bundle;
}

std::optional<uint32_t> DirectoryCaCertificateStore::activeId() {
    for (const auto& [id, entry] : table) {
        if (!entry.info.isBuiltIn && fallbackNames.count(entry.info.name) == 0) return id;
    }
    return std::nullopt;
}

std::optional<uint32_t> DirectoryCaCertificateStore::fallbackId() {
    for (const auto& [id, entry] : table) {
        if (fallbackNames.count(entry.info.name) != 0) return id;
    }
    return std::nullopt;
}

AddCertificateStatus DirectoryCaCertificateStore::addCertificate(const Certificate& certificate,
                                                                 const std::string& name,
                                                                 uint32_t& id, SameName sameName,
                                                                 bool* replacing) {
    const auto active = roles ? activeId() : std::nullopt;
    // A first root, or one added again, is an addition like any other.
    if (!active || table.findByName(name) != table.end()) {
        return CaStoreCore::addCertificate(certificate, name, id, sameName, replacing);
    }
    if (replacing != nullptr) *replacing = false;
    if (const auto refused = store_checks::refuseCertificate(certificate, name)) return *refused;
    if (const auto refused = refuseAddition(certificate, name, sameName)) return *refused;
    const Certificate stored = storedForm(certificate);
    if (const auto why = activeChainRefusal(stored, *active)) {
        spdlog::error("[ca-store] Unable to add certificate {} to domain {} : {}", bounded(name),
                      domain(), *why);
        return AddCertificateStatus::invalid_cert;
    }
    return rotate(stored, name, id, *active);
}

std::optional<std::string> DirectoryCaCertificateStore::activeChainRefusal(
    const Certificate& certificate, uint32_t active) {
    const auto anchorText = heldText(table.find(active)->second.info.name);
    const Certificate anchor(anchorText ? *anchorText : std::string());
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> trust(X509_STORE_new(),
                                                                  X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, openssl::StoreCtxFree> context(X509_STORE_CTX_new());
    if (!trust || !context || anchor.handle() == nullptr ||
        X509_STORE_add_cert(trust.get(), anchor.handle()) != 1 ||
        X509_STORE_CTX_init(context.get(), trust.get(), certificate.handle(), nullptr) != 1) {
        return std::string("the current CSMS root cannot be read");
    }
    // The active root is the anchor whether or not it is self-signed: once a
    // rotation has removed its signer, it is not.
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_verify_cert(context.get()) == 1) return std::nullopt;
    const int error = X509_STORE_CTX_get_error(context.get());
    if (error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        error == X509_V_ERR_CERT_SIGNATURE_FAILURE) {
        return std::string("not signed by the current CSMS root");
    }
    return std::string("the chain check with the current CSMS root failed : ") +
           X509_verify_cert_error_string(error);
}

// The files change in an order that a start-up after a crash can read back
// (settleRotation): the active root is copied to the fallback folder, the new
// root written, the active root's file removed, then the old fallbacks'.
AddCertificateStatus DirectoryCaCertificateStore::rotate(const Certificate& stored,
                                                         const std::string& name, uint32_t& id,
                                                         uint32_t active) {
    const std::string activeName = table.at(active).info.name;
    std::vector<uint32_t> oldFallbacks;
    for (const auto& [entryId, entry] : table) {
        if (fallbackNames.count(entry.info.name) != 0) oldFallbacks.push_back(entryId);
    }
    struct Step {
        fs::path file;
        file_io::SavedEntry previous;
    };
    std::vector<Step> steps;
    const auto undoFiles = [&] {
        for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
            if (!file_io::restoreEntry(it->file, it->previous)) {
                spdlog::error("[ca-store] Unable to restore certificate file {}",
                              it->file.string());
            }
        }
    };
    const auto write = [&](const fs::path& file, const std::string& text) {
        std::error_code error;
        auto previous = file_io::saveEntry(file, error);
        if (!previous || !writeFile(file, text, *previous)) return false;
        steps.push_back({file, std::move(*previous)});
        return true;
    };
    const auto take = [&](const fs::path& file) {
        std::error_code error;
        auto previous = file_io::saveEntry(file, error);
        if (!previous || previous->kind == file_io::SavedEntry::Kind::missing ||
            !fs::remove(file, error)) {
            return false;
        }
        steps.push_back({file, std::move(*previous)});
        return true;
    };
    const std::string activeText = pems[activeName];
    bool written = prepareFallbackFolder() &&
                   write(fallbackFolder / (activeName + kCrtExtension), activeText) &&
                   write(CaStoreCore::fileOf(name), stored.text()) &&
                   take(CaStoreCore::fileOf(activeName));
    for (const uint32_t old : oldFallbacks) {
        written = written && take(fallbackFolder / (table.at(old).info.name + kCrtExtension));
    }
    const auto savedPems = pems;
    const auto savedFallbacks = fallbackPems;
    const auto undo = [&](const char* why) {
        undoFiles();
        pems = savedPems;
        fallbackPems = savedFallbacks;
        if (!rebuild()) {
            spdlog::error(
                "[ca-store] Unable to restore the links and the bundle of trust domain {}",
                domain());
        }
        removeFallbackFolderIfEmpty();
        spdlog::error("[ca-store] Unable to add certificate {} to domain {} : {}", bounded(name),
                      domain(), why);
        return AddCertificateStatus::internal_error;
    };
    if (!written) return undo("the files of the rotation could not be written");
    pems.erase(activeName);
    pems[name] = stored.text();
    fallbackPems.clear();
    fallbackPems[activeName] = activeText;
    if (!rebuild()) return undo("the links and the bundles could not be rebuilt");

    Entry entry = table.makeEntry(name, /*isBuiltIn=*/false, stored);
    completeEntry(entry, stored);
    Entry demoted = table.at(active);
    demoted.role = "fallback";
    std::vector<CertificateChange> changes{table.changeOf(CertificateEvent::added, entry),
                                           table.changeOf(CertificateEvent::fallback, demoted, 2)};
    for (const uint32_t old : oldFallbacks) {
        changes.push_back(
            table.changeOf(CertificateEvent::removed, table.at(old), changes.size() + 1));
    }
    if (!admitted(changes)) return undo("the change was not recorded");

    // From here on the change counts, reported in the order of its generations.
    fallbackNames = {activeName};
    table.at(active).role = "fallback";
    std::vector<Entry> removed;
    for (const uint32_t old : oldFallbacks) {
        removed.push_back(std::move(table.at(old)));
        table.erase(table.find(old));
    }
    id = enter(CertificateEvent::added, std::move(entry), stored);
    logChange(CertificateEvent::fallback, active, activeName);
    table.changed(CertificateEvent::fallback, table.at(active));
    for (const auto& gone : removed) {
        logChange(CertificateEvent::removed, gone.info.id, gone.info.name);
        table.changed(CertificateEvent::removed, gone);
    }
    return AddCertificateStatus::success;
}

void DirectoryCaCertificateStore::commitRemoval() {
    CaStoreCore::commitRemoval();
    for (auto it = fallbackNames.begin(); it != fallbackNames.end();) {
        it = table.findByName(*it) == table.end() ? fallbackNames.erase(it) : std::next(it);
    }
    if (roles) removeFallbackFolderIfEmpty();
}

bool DirectoryCaCertificateStore::prepareFallbackFolder() {
    struct stat status {};
    if (::stat(fallbackFolder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
    if (::mkdir(fallbackFolder.c_str(), 0755) != 0 || ::chmod(fallbackFolder.c_str(), 0755) != 0) {
        spdlog::error("[ca-store] Cannot create the fallback folder of trust domain {} : {} => {}",
                      domain(), fallbackFolder.string(), std::strerror(errno));
        return false;
    }
    return true;
}

void DirectoryCaCertificateStore::removeFallbackFolderIfEmpty() {
    if (!fallbackPems.empty()) return;
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(fallbackFolder, ec))) {
        // Only links the rehash may have left: no certificate file is removed.
        for (fs::directory_iterator it(fallbackFolder, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().extension() == kCrtExtension) return;
        }
        for (fs::directory_iterator it(fallbackFolder, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::error_code linkEc;
            if (fs::is_symlink(fs::symlink_status(it->path(), linkEc)))
                ::unlink(it->path().c_str());
        }
        if (::rmdir(fallbackFolder.c_str()) != 0) {
            spdlog::warn("[ca-store] Unable to remove the fallback folder of trust domain {} : {}",
                         domain(), fallbackFolder.string());
        }
    }
    ::unlink(fallbackBundle.c_str());
}

void DirectoryCaCertificateStore::settleRotation() {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(fallbackFolder, ec))) return;
    const auto namesIn = [](const fs::path& folder) {
        std::set<std::string> names;
        std::error_code listEc;
        for (fs::directory_iterator it(folder, listEc), end; !listEc && it != end;
             it.increment(listEc)) {
            const std::string fileName = it->path().filename().string();
            std::error_code linkEc;
            if (it->path().extension() != kCrtExtension || fileName.front() == '.' ||
                !fs::is_regular_file(fs::symlink_status(it->path(), linkEc))) {
                continue;
            }
            names.insert(it->path().stem().string());
        }
        return names;
    };
    std::set<std::string> active = namesIn(folderPath);
    std::set<std::string> fallback = namesIn(fallbackFolder);
    const auto fileIn = [](const fs::path& folder, const std::string& name) {
        return folder / (name + kCrtExtension);
    };
    // A root in both folders is the active root of a rotation cut short: the
    // new root written beside it means the rotation is finished, else undone.
    for (const auto& name : std::set<std::string>(active)) {
        if (fallback.count(name) == 0) continue;
        if (active.size() > 1) {
            ::unlink(fileIn(folderPath, name).c_str());
            active.erase(name);
            spdlog::warn(
                "[ca-store] Finished a rotation of trust domain {} cut short : {} is "
                "the fallback",
                domain(), name);
        } else {
            ::unlink(fileIn(fallbackFolder, name).c_str());
            fallback.erase(name);
            spdlog::warn(
                "[ca-store] Undid a rotation of trust domain {} cut short : {} stays "
                "the active root",
                domain(), name);
        }
    }
    if (fallback.size() <= 1) return;
    // The root that signed the active one is the fallback of the last
    // rotation; the others were to go with it.
    std::optional<std::string> signer;
    for (const auto& candidate : fallback) {
        std::error_code readEc;
        const auto text =
            readRegularFile(fileIn(fallbackFolder, candidate), readEc, /*followLink=*/false);
        const Certificate root(text ? *text : std::string());
        if (!root.valid()) continue;
        const IssuerIdentity identity = issuerIdentity(root);
        for (const auto& name : active) {
            const auto activeText =
                readRegularFile(fileIn(folderPath, name), readEc, /*followLink=*/false);
            const Certificate issued(activeText ? *activeText : std::string());
            if (issued.valid() && isIssuedBy(issued, identity)) signer = candidate;
        }
    }
    if (!signer) {
        spdlog::warn("[ca-store] Trust domain {} holds {} fallback roots", domain(),
                     fallback.size());
        return;
    }
    for (const auto& name : fallback) {
        if (name == *signer) continue;
        ::unlink(fileIn(fallbackFolder, name).c_str());
        spdlog::warn("[ca-store] Finished a rotation of trust domain {} cut short : {} removed",
                     domain(), name);
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
