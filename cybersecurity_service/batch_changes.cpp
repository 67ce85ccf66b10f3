// Operation 11, apply_changes: a batch of additions and removals over every
// trust domain, made all or nothing with one step per store (one run of the
// update tool for the system's store), one generation for the whole batch.
#include "audit_trail.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "req_handler.hpp"

#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace ev_charging_platform::cybersecurity {

namespace {

using json = nlohmann::json;

// One change as the caller wrote it, and what became of it.
struct batch_change {
    std::string op;  // add, remove or remove_hash
    std::string domain = system_domain;
    std::string name;
    std::string pem;
    std::optional<std::uint32_t> id;
    ev_common::OcppHashData hash;
    std::string result = "not_applied";
    std::vector<std::uint32_t> ids;
};

// One change of one store: an addition, or the removal of one certificate
// (a removal by hash data may take several).
struct store_item {
    std::size_t change = 0;  // in the batch
    ev_common::StoreChange store_change;
    std::string domain;
    std::string name;
    std::string fingerprint;
    bool replacing = false;
};

const std::set<std::string> kAddKeys = {"op", "domain", "name", "pem"};
const std::set<std::string> kRemoveKeys = {"op", "id"};
const std::set<std::string> kHashKeys = {
    "op", "domain", "hash_algorithm", "issuer_name_hash", "issuer_key_hash", "serial_number"};

std::string text_of(const json& change, const char* key, std::size_t index) {
    const auto it = change.find(key);
    if (it == change.end() || !it->is_string()) {
        throw std::invalid_argument("change " + std::to_string(index) + " has no string '" + key +
                                    "'");
    }
    return it->get<std::string>();
}

// The changes of `text`; throws std::invalid_argument with the reason when
// the batch cannot be read.
std::vector<batch_change> read_batch(const std::string& text, unsigned int max_changes) {
    const json batch = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (batch.is_discarded()) throw std::invalid_argument("not JSON");
    if (!batch.is_array()) throw std::invalid_argument("not a JSON array of changes");
    if (batch.empty()) throw std::invalid_argument("no changes");
    if (batch.size() > max_changes) {
        throw std::invalid_argument(std::to_string(batch.size()) + " changes, more than the " +
                                    std::to_string(max_changes) + " allowed");
    }
    std::vector<batch_change> changes;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const json& item = batch[i];
        if (!item.is_object()) {
            throw std::invalid_argument("change " + std::to_string(i) + " is not an object");
        }
        batch_change change;
        change.op = text_of(item, "op", i);
        const std::set<std::string>* keys = nullptr;
        if (change.op == "add") {
            keys = &kAddKeys;
            change.name = text_of(item, "name", i);
            change.pem = text_of(item, "pem", i);
        } else if (change.op == "remove") {
            keys = &kRemoveKeys;
            const auto id = item.find("id");
            if (id == item.end() || !id->is_number_unsigned() ||
                id->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
                throw std::invalid_argument("change " + std::to_string(i) +
                                            " has no identifier 'id'");
            }
            change.id = id->get<std::uint32_t>();
        } else if (change.op == "remove_hash") {
            keys = &kHashKeys;
            change.hash = {text_of(item, "hash_algorithm", i), text_of(item, "issuer_name_hash", i),
                           text_of(item, "issuer_key_hash", i), text_of(item, "serial_number", i)};
        } else {
            throw std::invalid_argument("change " + std::to_string(i) + " has the unknown op '" +
                                        ev_common::boundedText(change.op) + "'");
        }
        for (const auto& [key, value] : item.items()) {
            if (keys->count(key) == 0) {
                throw std::invalid_argument("change " + std::to_string(i) +
                                            " has the unknown key '" + ev_common::boundedText(key) +
                                            "'");
            }
        }
        if (item.contains("domain")) change.domain = text_of(item, "domain", i);
        changes.push_back(std::move(change));
    }
    return changes;
}

// A status of the batch as a whole, in the enumeration of its first change.
std::int32_t status_of_first(const std::vector<store_item*>& items, AddCertificateStatus add,
                             RemoveCertificateStatus remove) {
    const bool adds =
        items.empty() || items.front()->store_change.kind == ev_common::StoreChange::Kind::add;
    return adds ? static_cast<std::int32_t>(add) : static_cast<std::int32_t>(remove);
}

const std::string& status_name(const store_item& item, std::int32_t status) {
    return item.store_change.kind == ev_common::StoreChange::Kind::add
               ? to_string(static_cast<AddCertificateStatus>(status))
               : to_string(static_cast<RemoveCertificateStatus>(status));
}

std::string reply_json(const std::string& status, std::uint64_t generation,
                       const std::vector<batch_change>& changes) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& change : changes) {
        nlohmann::ordered_json entry;
        entry["op"] = change.op;
        entry["domain"] = change.domain;
        if (change.op == "add") entry["name"] = change.name;
        entry["result"] = change.result;
        if (change.ids.empty()) {
            entry["id"] = change.id ? json(*change.id) : json(nullptr);
        } else {
            entry["id"] = change.ids.front();
        }
        if (change.op == "remove_hash") entry["ids"] = change.ids;
        list.push_back(std::move(entry));
    }
    nlohmann::ordered_json reply = {
        {"status", status}, {"generation", generation}, {"changes", std::move(list)}};
    return reply.dump(-1, ' ', /*ensure_ascii=*/false,
                      nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::int32_t cybersecurity_req_handler::apply_changes(const requester& who, const std::string& text,
                                                      std::string& result) {
    std::vector<batch_change> changes;
    try {
        changes = read_batch(text, max_batch_changes_);
    } catch (const std::invalid_argument& error) {
        spdlog::error("Batch refused: {}", error.what());
        result =
            R"({"status": "invalid_batch", "reason": )" +
            json(std::string(error.what())).dump(-1, ' ', false, json::error_handler_t::replace) +
            "}";
        return batch_invalid;
    }
    const caller_credentials& caller = who.credentials();
    const bool permitted = may_change(who);

    // Every change resolved to its store and its certificates; what cannot
    // be is the batch's refusal.
    std::vector<std::vector<store_item>> by_store;
    const auto order = domains_.change_order();
    by_store.resize(order.size());
    const auto index_of = [&](const std::string& domain) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (order[i].first == domain) return i;
        }
        return std::nullopt;
    };
    std::optional<std::pair<std::size_t, std::int32_t>> refused;
    const auto refuse = [&](std::size_t change, std::string name, std::int32_t status) {
        changes[change].result = std::move(name);
        if (!refused) refused = {change, status};
    };
    std::set<std::pair<std::string, std::string>> named;
    std::optional<std::string> twice;
    const auto note_name = [&](const std::string& domain, const std::string& name) {
        if (!named.insert({domain, name}).second && !twice) twice = domain + "/" + name;
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto& change = changes[i];
        if (change.op == "add") {
            note_name(change.domain, change.name);
            const auto at = index_of(change.domain);
            const ev_common::Certificate parsed(change.pem);
            if (!at) {
                refuse(i, to_string(AddCertificateStatus::invalid_name),
                       static_cast<std::int32_t>(AddCertificateStatus::invalid_name));
                continue;
            }
            store_item item;
            item.change = i;
            item.store_change.kind = ev_common::StoreChange::Kind::add;
            item.store_change.certificate = parsed;
            item.store_change.name = change.name;
            item.domain = change.domain;
            item.name = change.name;
            item.fingerprint = parsed.sha256Fingerprint();
            item.replacing = order[*at].second->holdsUserCertificate(change.name);
            by_store[*at].push_back(std::move(item));
            continue;
        }
        std::vector<std::pair<std::string, ev_common::CertificateInfo>> targets;
        if (change.op == "remove") {
            if (const auto holder = domains_.holder_of(*change.id)) {
                targets.emplace_back(holder->domain, holder->info);
            }
        } else {
            for (const auto& copies : domains_.find_user_copies(change.hash)) {
                if (change.domain != copies.domain) continue;
                for (const auto& entry : copies.entries) targets.emplace_back(copies.domain, entry);
            }
        }
        if (targets.empty()) {
            // Only a built-in carries the hash data: refused as by its identifier.
            const auto status = change.op == "remove_hash" && domains_.find_by_hash(change.hash)
                                    ? RemoveCertificateStatus::built_in
                                    : RemoveCertificateStatus::unknown_id;
            refuse(i, to_string(status), static_cast<std::int32_t>(status));
            continue;
        }
        for (const auto& [domain, info] : targets) {
            note_name(domain, info.name);
            const auto at = index_of(domain);
            store_item item;
            item.change = i;
            item.store_change.kind = ev_common::StoreChange::Kind::remove;
            item.store_change.id = info.id;
            item.domain = domain;
            item.name = info.name;
            if (const auto stored = order[*at].second->getCertificate(info.id))
                item.fingerprint = stored->sha256Fingerprint();
            change.ids.push_back(info.id);
            by_store[*at].push_back(std::move(item));
        }
        if (change.op == "remove") change.domain = targets.front().first;
    }
    if (twice) {
        spdlog::error("Batch refused: {} is changed twice", ev_common::boundedText(*twice));
        result = R"({"status": "invalid_batch", "reason": "a name is changed twice"})";
        return batch_invalid;
    }

    // Within a store additions come first, as the store reports them.
    std::vector<store_item*> items;
    for (auto& store : by_store) {
        std::stable_partition(store.begin(), store.end(), [](const store_item& item) {
            return item.store_change.kind == ev_common::StoreChange::Kind::add;
        });
        for (auto& item : store) items.push_back(&item);
    }
    std::vector<trust_state::planned> rows;
    for (const auto* item : items) {
        const bool add = item->store_change.kind == ev_common::StoreChange::Kind::add;
        rows.push_back({add ? (item->replacing ? "replace" : "add") : "remove", item->domain,
                        add ? std::nullopt : std::optional<std::uint32_t>(item->store_change.id),
                        item->name, item->fingerprint});
    }

    const auto finish = [&](std::int32_t status, const std::string& status_text, bool carried_out) {
        for (const auto* item : items) {
            const bool add = item->store_change.kind == ev_common::StoreChange::Kind::add;
            audit_entry entry{
                add ? (item->replacing ? "replace" : "add") : "remove",
                item->name,
                add ? (changes[item->change].ids.empty()
                           ? std::nullopt
                           : std::optional<std::uint32_t>(changes[item->change].ids.front()))
                    : std::optional<std::uint32_t>(item->store_change.id),
                item->fingerprint,
                caller,
                changes[item->change].result};
            if (item->domain != system_domain) entry.domain = item->domain;
            log_audit(entry, carried_out);
        }
        result = reply_json(status_text, domains_.generation(), changes);
        return status;
    };

    if (!permitted || refused) {
        // A caller who may not change the stores learns nothing of them.
        const std::int32_t status =
            permitted ? refused->second
                      : status_of_first(items, AddCertificateStatus::not_authorized,
                                        RemoveCertificateStatus::not_authorized);
        const std::string name =
            permitted ? changes[refused->first].result : std::string("not_authorized");
        if (!permitted) {
            for (auto& change : changes) change.result = "not_authorized";
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            journal_refused(caller, rows[i], changes[items[i]->change].result);
        }
        spdlog::error("Batch of {} changes refused, status={}", changes.size(), name);
        return finish(status, name, /*carried_out=*/false);
    }

    if (!journal_begin(caller, rows)) {
        for (auto& change : changes) change.result = "internal_error";
        const auto status = status_of_first(items, AddCertificateStatus::internal_error,
                                            RemoveCertificateStatus::internal_error);
        spdlog::error("Batch of {} changes refused, status=internal_error", changes.size());
        return finish(status, "internal_error", /*carried_out=*/false);
    }

    // Store by store; should one refuse or fail, those before it go back.
    std::size_t staged = 0;
    std::optional<std::pair<const store_item*, std::int32_t>> failed;
    for (; staged < order.size(); ++staged) {
        auto& store_items = by_store[staged];
        if (!store_items.empty()) {
            std::vector<ev_common::StoreChange> store_changes;
            for (const auto& item : store_items) store_changes.push_back(item.store_change);
            if (const auto refusal = order[staged].second->stageChanges(store_changes)) {
                failed = {&store_items[refusal->index], refusal->status};
                break;
            }
        }
    }
    std::vector<ev_common::CertificateChange> made;
    const std::uint64_t generation = domains_.generation() + 1;
    if (!failed) {
        std::uint32_t next_id = 0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (by_store[i].empty()) continue;
            auto store_made = order[i].second->stagedChanges(generation, next_id);
            made.insert(made.end(), store_made.begin(), store_made.end());
        }
        if (state_ != nullptr && !state_->commit(made)) {
            failed = {items.front(), status_of_first(items, AddCertificateStatus::internal_error,
                                                     RemoveCertificateStatus::internal_error)};
        }
    }
    if (failed) {
        for (std::size_t i = staged; i-- > 0;) {
            if (!by_store[i].empty()) order[i].second->rollBackChanges();
        }
        const std::string name = status_name(*failed->first, failed->second);
        changes[failed->first->change].result = name;
        std::vector<std::string> results;
        for (const auto* item : items) results.push_back(changes[item->change].result);
        if (state_ != nullptr) state_->settle(results);
        spdlog::error("Batch of {} changes refused at change {}, status={}", changes.size(),
                      failed->first->change, name);
        return finish(failed->second, name, /*carried_out=*/false);
    }

    for (std::size_t i = 0; i < order.size(); ++i) {
        if (by_store[i].empty()) continue;
        const auto ids = order[i].second->commitChanges(generation);
        std::size_t k = 0;
        for (const auto& item : by_store[i]) {
            if (item.store_change.kind != ev_common::StoreChange::Kind::add) continue;
            if (k < ids.size()) changes[item.change].ids = {ids[k++]};
        }
    }
    for (auto& change : changes) change.result = "success";
    spdlog::info("Batch of {} changes applied to TrustList : generation={}", changes.size(),
                 generation);
    return finish(0, "success", /*carried_out=*/true);
}

}  // namespace ev_charging_platform::cybersecurity
