#include "ev_common/cyber/ca_store_core.hpp"

#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include <spdlog/spdlog.h>

#include "ca_store_saved_file.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"
#include "file_io.hpp"
#include "store_checks.hpp"

namespace fs = std::filesystem;

namespace ev_common {

namespace {

const std::string kCrtExtension = ".crt";

}  // namespace

// The time limit of one change for the commands of its lifetime, for stores
// that give one: the run that puts files back after a failed one gets only
// what is left.
class CaStoreCore::ChangeBudget {
public:
    explicit ChangeBudget(CaStoreCore& store) : slot_(store.budget) {
        if (const auto limit = store.changeLimit()) slot_.emplace(*limit);
    }
    ~ChangeBudget() { slot_.reset(); }
    ChangeBudget(const ChangeBudget&) = delete;
    ChangeBudget& operator=(const ChangeBudget&) = delete;

private:
    std::optional<CommandRunner::Budget>& slot_;
};

struct CaStoreCore::StagedBatch {
    struct Added {
        std::string name;
        Certificate served;
        bool replaces = false;
    };
    // Every file the batch wrote or removed, as it stood before.
    std::vector<SavedFile> files;
    std::vector<Added> added;
    std::vector<uint32_t> removed;
};

CaStoreCore::CaStoreCore(std::string domain) : table(std::move(domain)) {}

CaStoreCore::~CaStoreCore() = default;

fs::path CaStoreCore::fileOf(const std::string& name) const {
    return filesFolder / (name + kCrtExtension);
}

void CaStoreCore::removeLeftovers(const fs::path& folder,
                                  const std::function<bool(const std::string&)>& isLeftover) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        if (!isLeftover(entry.filename().string())) continue;
        if (::unlink(entry.c_str()) == 0) {
            spdlog::info("[ca-store] Removed leftover temporary file {}", entry.string());
        }
    }
}

void CaStoreCore::removeLeftoverTemporaries() const {
    removeLeftovers(filesFolder, [](const std::string& name) {
        return file_io::isTemporaryName(name, kCrtExtension);
    });
}

void CaStoreCore::refreshIssuers() {
    table.refreshIssuers(
        [this](const CertificateInfo& info) { return loadCertificate(info.name); });
}

void CaStoreCore::setChangeObserver(CertificateChangeObserver observer) {
    table.setObserver(std::move(observer));
}

void CaStoreCore::shareNumbering(std::shared_ptr<CertificateNumbering> numbering) {
    table.shareNumbering(std::move(numbering));
}

std::size_t CaStoreCore::checkExpiry(std::int64_t now, std::int64_t windowSeconds) {
    return table.checkExpiry(now, windowSeconds);
}

std::vector<CertificateInfo> CaStoreCore::getCertificates() {
    return table.infos();
}

CertificateDetailsListing CaStoreCore::getCertificateDetails() {
    return table.details();
}

std::optional<CertificateInfo> CaStoreCore::getCertificateInfo(uint32_t id) {
    auto info = findCertificateInfo(id);
    if (!info) spdlog::error("[ca-store] Invalid certificate id : {}", id);
    return info;
}

std::optional<CertificateInfo> CaStoreCore::findCertificateInfo(uint32_t id) {
    const auto it = table.find(id);
    if (it == table.end()) return std::nullopt;
    return it->second.info;
}

std::optional<uint32_t> CaStoreCore::findCertificateByHashData(const OcppHashData& wanted) {
    return table.findByHashData(wanted);
}

std::vector<uint32_t> CaStoreCore::findCertificatesByHashData(const OcppHashData& wanted) {
    return table.findAllByHashData(wanted);
}

std::optional<Certificate> CaStoreCore::getCertificate(uint32_t id) {
    const auto it = table.find(id);
    if (it == table.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return std::nullopt;
    }
    auto certificate = loadCertificate(it->second.info.name);
    if (!certificate) logUnreadable(it->second.info.name, id);
    return certificate;
}

std::optional<Certificate> CaStoreCore::getCertificateByName(const std::string& name) {
    if (table.findByName(name) == table.end()) return std::nullopt;
    auto certificate = loadCertificate(name);
    if (!certificate) logUnreadable(name, std::nullopt);
    return certificate;
}

bool CaStoreCore::holdsUserCertificate(const std::string& name) {
    return std::any_of(table.begin(), table.end(),
                       [&](const CertificateTable::Entries::value_type& e) {
                           return !e.second.info.isBuiltIn && e.second.info.name == name;
                       });
}

AddCertificateStatus CaStoreCore::addCertificate(const Certificate& certificate,
                                                 const std::string& name, uint32_t& id,
                                                 SameName sameName, bool* replacing) {
    const auto held = table.findByName(name);
    const bool replaces = held != table.end();
    if (replacing != nullptr) *replacing = replaces && !held->second.info.isBuiltIn;
    if (const auto refused = store_checks::refuseCertificate(certificate, name)) return *refused;
    if (const auto refused = refuseAddition(certificate, name, sameName)) return *refused;
    const Certificate stored = storedForm(certificate);
    const ChangeBudget limit(*this);
    const fs::path file = fileOf(name);

    // What stands at the file now is kept until the new certificate is known
    // to work, so that a failure can put back exactly what was trusted before.
    std::error_code error;
    const auto previous = file_io::saveEntry(file, error);
    if (replaces && previous) noteReplacement(name, *previous, error);
    if (!previous || !writeFile(file, stored.text(), *previous)) {
        logNotWritten(name, file);
        return AddCertificateStatus::internal_error;
    }

    const SavedFile saved{0, name, *previous, heldText(name)};
    const bool hadPrevious = replaces || previous->kind != file_io::SavedEntry::Kind::missing;
    const auto served = applyAddition(name, stored);
    if (!served) {
        logAdditionUndone(name, putBack({saved}), hadPrevious);
        return AddCertificateStatus::internal_error;
    }
    const CertificateEvent event = replaces ? CertificateEvent::replaced : CertificateEvent::added;
    Entry entry = table.makeEntry(name, /*isBuiltIn=*/false, *served);
    completeEntry(entry, *served);
    // A change the gate refuses is undone like one whose step failed.
    if (!admitted({table.changeOf(event, entry)})) {
        logAdditionUndone(name, putBack({saved}), hadPrevious);
        return AddCertificateStatus::internal_error;
    }
    if (replaces) table.erase(held);
    id = enter(event, std::move(entry), *served);
    return AddCertificateStatus::success;
}

bool CaStoreCore::admitted(const std::vector<CertificateChange>& changes) const {
    return !changeGate || changeGate(changes);
}

uint32_t CaStoreCore::enter(CertificateEvent event, Entry entry, const Certificate& stored) {
    const std::string name = entry.info.name;
    table.resolveIssuer(entry, stored);
    const uint32_t id = table.insert(std::move(entry));
    refreshIssuers();
    logChange(event, id, name);
    table.changed(event, table.at(id));
    return id;
}

bool CaStoreCore::writeFile(const fs::path& file, const std::string& text,
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

void CaStoreCore::restoreFiles(const std::vector<SavedFile>& files) {
    for (const auto& saved : files) {
        const fs::path file = fileOf(saved.name);
        if (!file_io::restoreEntry(file, saved.previous)) {
            spdlog::error("[ca-store] Unable to restore certificate file {}", file.string());
        }
    }
}

bool CaStoreCore::putBack(const std::vector<SavedFile>& files) {
    restoreFiles(files);
    return reapply(files);
}

std::optional<RemoveCertificateStatus> CaStoreCore::refuseRemoval(uint32_t id) {
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

RemoveCertificateStatus CaStoreCore::removeCertificate(uint32_t id) {
    const auto status = stageRemoval({id});
    if (status != RemoveCertificateStatus::success) return status;
    if (changeGate) {
        std::vector<CertificateChange> changes;
        for (const auto& file : staged) {
            changes.push_back(
                table.changeOf(CertificateEvent::removed, table.at(file.id), changes.size() + 1));
        }
        if (!changeGate(changes)) {
            const std::vector<SavedFile> taken = staged;
            rollBackRemoval();
            logRemovalsUndone(taken);
            return RemoveCertificateStatus::internal_error;
        }
    }
    commitRemoval();
    return status;
}

RemoveCertificateStatus CaStoreCore::stageRemoval(const std::vector<uint32_t>& ids) {
    staged.clear();
    for (const uint32_t id : ids) {
        if (const auto refused = refuseRemoval(id)) return *refused;
    }
    if (keepLast && !ids.empty()) {
        const auto users = static_cast<std::size_t>(
            std::count_if(table.begin(), table.end(),
                          [](const auto& entry) { return !entry.second.info.isBuiltIn; }));
        const std::size_t leaving = std::set<uint32_t>(ids.begin(), ids.end()).size();
        if (users > 0 && leaving >= users) {
            spdlog::error(
                "[ca-store] Unable to remove certificate {} from domain {} : the last root of "
                "the domain is kept",
                ids.front(), table.domain());
            return RemoveCertificateStatus::last_root;
        }
    }
    // What stood at each file is kept to be put back if applying the removal
    // fails: a removal that does not happen must not lose a certificate.
    std::vector<SavedFile> taken;
    for (const uint32_t id : ids) {
        const std::string name = table.at(id).info.name;
        const fs::path file = fileOf(name);
        std::error_code error;
        auto previous = file_io::saveEntry(file, error);
        if (!previous || previous->kind == file_io::SavedEntry::Kind::missing ||
            !fs::remove(file, error)) {
            spdlog::error("[ca-store] Unable to remove certificate {} : delete error => {}", id,
                          error.message());
            // Nothing was applied yet: the files alone are put back.
            restoreFiles(taken);
            return RemoveCertificateStatus::internal_error;
        }
        taken.push_back({id, name, std::move(*previous), heldText(name)});
    }
    const ChangeBudget limit(*this);
    if (!applyRemovals(taken)) {
        putBack(taken);
        logRemovalsUndone(taken);
        return RemoveCertificateStatus::internal_error;
    }
    staged = std::move(taken);
    return RemoveCertificateStatus::success;
}

void CaStoreCore::commitRemoval() {
    std::vector<Entry> removed;
    for (const auto& file : staged) {
        const auto it = table.find(file.id);
        if (it == table.end()) continue;
        logChange(CertificateEvent::removed, file.id, file.name);
        removed.push_back(std::move(it->second));
        table.erase(it);
    }
    staged.clear();
    refreshIssuers();
    for (const auto& entry : removed) table.changed(CertificateEvent::removed, entry);
}

bool CaStoreCore::rollBackRemoval() {
    if (staged.empty()) return true;
    const ChangeBudget limit(*this);
    const bool restored = putBack(staged);
    staged.clear();
    return restored;
}

std::optional<StageRefusal> CaStoreCore::stageChanges(const std::vector<StoreChange>& changes) {
    batch.reset();
    const auto refusal = [](std::size_t index, auto status) {
        return StageRefusal{index, static_cast<int32_t>(status)};
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& change = changes[i];
        if (change.kind == StoreChange::Kind::remove) {
            if (const auto refused = refuseRemoval(change.id)) return refusal(i, *refused);
            continue;
        }
        if (const auto refused = store_checks::refuseCertificate(change.certificate, change.name))
            return refusal(i, *refused);
        if (const auto refused = refuseAddition(change.certificate, change.name, SameName::replace))
            return refusal(i, *refused);
    }

    const ChangeBudget limit(*this);
    auto staging = std::make_unique<StagedBatch>();
    std::vector<std::pair<std::string, Certificate>> written;
    std::vector<SavedFile> removedFiles;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& change = changes[i];
        const bool removal = change.kind == StoreChange::Kind::remove;
        const std::string name = removal ? table.at(change.id).info.name : change.name;
        const fs::path file = fileOf(name);
        std::error_code error;
        auto previous = file_io::saveEntry(file, error);
        bool done = previous.has_value();
        if (done && removal) {
            done = previous->kind != file_io::SavedEntry::Kind::missing && fs::remove(file, error);
        }
        std::optional<Certificate> stored;
        if (done && !removal) {
            stored = storedForm(change.certificate);
            done = writeFile(file, stored->text(), *previous);
        }
        if (!done) {
            if (removal) {
                spdlog::error("[ca-store] Unable to remove certificate {} : delete error => {}",
                              change.id, error.message());
            } else {
                logNotWritten(name, file);
            }
            restoreFiles(staging->files);
            return removal ? refusal(i, RemoveCertificateStatus::internal_error)
                           : refusal(i, AddCertificateStatus::internal_error);
        }
        SavedFile saved{removal ? change.id : 0, name, std::move(*previous), heldText(name)};
        if (removal) {
            removedFiles.push_back(saved);
            staging->removed.push_back(change.id);
        } else {
            written.emplace_back(name, *stored);
            staging->added.push_back({name, *stored, table.findByName(name) != table.end()});
        }
        staging->files.push_back(std::move(saved));
    }
    const auto served = applyBatch(written, removedFiles);
    if (!served) {
        putBack(staging->files);
        const bool addition = !changes.empty() && changes[0].kind == StoreChange::Kind::add;
        return addition ? refusal(0, AddCertificateStatus::internal_error)
                        : refusal(0, RemoveCertificateStatus::internal_error);
    }
    for (std::size_t i = 0; i < served->size() && i < staging->added.size(); ++i) {
        staging->added[i].served = (*served)[i];
    }
    batch = std::move(staging);
    return std::nullopt;
}

std::vector<CertificateChange> CaStoreCore::stagedChanges(std::uint64_t generation,
                                                          uint32_t& nextId) {
    std::vector<CertificateChange> changes;
    if (!batch) return changes;
    if (nextId == 0) nextId = table.nextId();
    for (const auto& added : batch->added) {
        Entry entry = table.makeEntry(added.name, /*isBuiltIn=*/false, added.served);
        completeEntry(entry, added.served);
        entry.info.id = nextId++;
        auto change = table.changeOf(
            added.replaces ? CertificateEvent::replaced : CertificateEvent::added, entry, 0);
        change.generation = generation;
        changes.push_back(std::move(change));
    }
    for (const uint32_t id : batch->removed) {
        auto change = table.changeOf(CertificateEvent::removed, table.at(id), 0);
        change.generation = generation;
        changes.push_back(std::move(change));
    }
    return changes;
}

std::vector<uint32_t> CaStoreCore::commitChanges(std::uint64_t generation) {
    std::vector<uint32_t> ids;
    if (!batch) return ids;
    std::vector<std::pair<CertificateEvent, uint32_t>> entered;
    for (const auto& added : batch->added) {
        const auto held = table.findByName(added.name);
        if (held != table.end()) table.erase(held);
        Entry entry = table.makeEntry(added.name, /*isBuiltIn=*/false, added.served);
        completeEntry(entry, added.served);
        table.resolveIssuer(entry, added.served);
        const uint32_t id = table.insert(std::move(entry));
        ids.push_back(id);
        entered.emplace_back(added.replaces ? CertificateEvent::replaced : CertificateEvent::added,
                             id);
    }
    std::vector<Entry> removed;
    for (const uint32_t id : batch->removed) {
        const auto it = table.find(id);
        if (it == table.end()) continue;
        removed.push_back(std::move(it->second));
        table.erase(it);
    }
    batch.reset();
    refreshIssuers();
    for (const auto& [event, id] : entered) {
        logChange(event, id, table.at(id).info.name);
        table.changedAt(event, table.at(id), generation);
    }
    for (const auto& entry : removed) {
        logChange(CertificateEvent::removed, entry.info.id, entry.info.name);
        table.changedAt(CertificateEvent::removed, entry, generation);
    }
    return ids;
}

bool CaStoreCore::rollBackChanges() {
    if (!batch) return true;
    const ChangeBudget limit(*this);
    const bool restored = putBack(batch->files);
    batch.reset();
    return restored;
}

}  // namespace ev_common
