#include "trust_state.hpp"

#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/utc_time.hpp"

#include <openssl/rand.h>
#include <spdlog/spdlog.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <utility>
#include <variant>

namespace ev_charging_platform::cybersecurity {

namespace {

constexpr unsigned int kSchemaVersion = 1;
const char* const kTables[] = {"trust_state", "journal", "held", "identities"};
const char* const kPending = "pending";

using value = std::variant<std::monostate, std::int64_t, std::string>;

template <typename Number>
value number(const std::optional<Number>& n) {
    if (!n) return std::monostate{};
    return static_cast<std::int64_t>(*n);
}

value text(const std::optional<std::string>& t) {
    if (!t) return std::monostate{};
    return *t;
}

// Binds `values` (which must outlive the statement's last step) in order.
bool bind_values(ev_common::IQuery& query, const std::vector<value>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int index = static_cast<int>(i);
        bool bound = false;
        if (std::holds_alternative<std::monostate>(values[i])) {
            bound = query.bindNull(index);
        } else if (const auto* n = std::get_if<std::int64_t>(&values[i])) {
            bound = query.bindInt64(index, *n);
        } else {
            bound = query.bindText(index, std::get<std::string>(values[i]));
        }
        if (!bound) return false;
    }
    return true;
}

std::string now_text() {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return ev_common::formatUtcTime(now);
}

std::string new_store_id() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return {};
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    std::string id;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", bytes[i]);
        id += pair.data();
    }
    return id;
}

std::string ocpp_text(const std::vector<ev_common::OcppHashData>& hash_data) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& data : hash_data) {
        list.push_back(
            {data.hashAlgorithm, data.issuerNameHash, data.issuerKeyHash, data.serialNumber});
    }
    return list.dump();
}

std::vector<ev_common::OcppHashData> ocpp_of(const std::string& text) {
    std::vector<ev_common::OcppHashData> result;
    const auto list = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!list.is_array()) return result;
    for (const auto& item : list) {
        if (!item.is_array() || item.size() != 4) return {};
        for (const auto& field : item) {
            if (!field.is_string()) return {};
        }
        result.push_back({item[0].get<std::string>(), item[1].get<std::string>(),
                          item[2].get<std::string>(), item[3].get<std::string>()});
    }
    return result;
}

const char* operation_of(ev_common::CertificateEvent event) {
    switch (event) {
        case ev_common::CertificateEvent::added:
            return "add";
        case ev_common::CertificateEvent::replaced:
            return "replace";
        case ev_common::CertificateEvent::distrusted:
            return "distrust";
        case ev_common::CertificateEvent::restored:
            return "restore";
        case ev_common::CertificateEvent::fallback:
            return "fallback";
        default:
            return "remove";
    }
}

void set_caller(journal_record& row, const caller_credentials& caller) {
    if (!caller) return;
    row.uid = caller->uid;
    row.gid = caller->gid;
    row.pid = caller->pid;
}

journal_record row_of(const trust_state::planned& planned, const caller_credentials& caller) {
    journal_record row;
    row.operation = planned.operation;
    if (!planned.domain.empty()) row.domain = planned.domain;
    row.id = planned.id;
    // Refused requests may carry any bytes: the row keeps them escaped, as
    // the log lines do, so that it always reads back as the same text.
    if (!planned.name.empty()) row.name = ev_common::boundedText(planned.name);
    if (!planned.sha256.empty()) row.sha256 = planned.sha256;
    set_caller(row, caller);
    return row;
}

}  // namespace

namespace {

// Runs one statement to its first row or its end.
class statement {
public:
    statement(ev_common::IDatabase& database, const std::string& sql, std::vector<value> values)
        : values_(std::move(values)), query_(database.createQuery(sql)) {
        ok_ = query_ && bind_values(*query_, values_) && query_->execute();
    }
    bool ok() const { return ok_; }
    bool has_row() const { return ok_ && query_->hasRow(); }
    ev_common::IQuery& query() { return *query_; }

private:
    std::vector<value> values_;
    std::unique_ptr<ev_common::IQuery> query_;
    bool ok_ = false;
};

bool run(ev_common::IDatabase& database, const std::string& sql, std::vector<value> values = {}) {
    return statement(database, sql, std::move(values)).ok();
}

std::optional<std::string> pragma(ev_common::IDatabase& database, const std::string& sql) {
    statement query(database, sql, {});
    if (!query.has_row()) return std::nullopt;
    return query.query().getText(0);
}

// Columns as kRowColumns lists them; `entry` is the row's place in the
// table, which a pending row has before it gets its number.
journal_record read_row(ev_common::IQuery& query, std::uint64_t& entry) {
    journal_record row;
    auto optional_text = [&](int column) -> std::optional<std::string> {
        if (query.isNull(column)) return std::nullopt;
        return query.getText(column);
    };
    auto optional_number = [&](int column) -> std::optional<std::int64_t> {
        if (query.isNull(column)) return std::nullopt;
        return query.getInt64(column);
    };
    entry = query.getUInt64(0);
    row.seq = optional_number(1).value_or(0);
    row.generation = query.getUInt64(2);
    row.time = query.getText(3);
    row.operation = query.getText(4);
    row.domain = optional_text(5);
    if (auto id = optional_number(6)) row.id = static_cast<std::uint32_t>(*id);
    row.name = optional_text(7);
    row.sha256 = optional_text(8);
    row.uid = optional_number(9);
    row.gid = optional_number(10);
    row.pid = optional_number(11);
    row.result = query.getText(12);
    if (auto rows = optional_number(13)) row.rows = static_cast<std::uint64_t>(*rows);
    if (auto through = optional_number(14))
        row.through_generation = static_cast<std::uint64_t>(*through);
    row.chain = optional_text(15).value_or("");
    return row;
}

const char* const kRowColumns =
    "entry, seq, generation, time, operation, domain, id, name, sha256, uid, gid, pid, result, "
    "rows, "
    "through, chain";

}  // namespace

bool trust_state::open(const std::string& path) {
    path_ = path;
    namespace fs = std::filesystem;
    const auto fail = [&](const std::string& reason) {
        spdlog::critical("[cybersecurity_service] Unable to use the state database {} : {}",
                         ev_common::bounded(path), ev_common::bounded(reason));
        database_.close();
        return false;
    };
    const fs::path file(path);
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code error;
    if (fs::status(folder, error).type() == fs::file_type::not_found) {
        // Other users pass through to the trust domains' folders, which may
        // lie beside the state, but may not list it.
        fs::create_directories(folder, error);
        if (!error) fs::permissions(folder, fs::perms(0711), error);
        if (error) return fail("cannot create its folder: " + error.message());
    }
    bool fresh = false;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno != ENOENT) return fail(std::strerror(errno));
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return fail(std::strerror(errno));
        ::close(fd);
        fresh = true;
    } else if (!S_ISREG(status.st_mode)) {
        return fail("not a regular file");
    } else {
        fresh = status.st_size == 0;
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0) return fail(std::strerror(errno));
    if (!database_.open(path)) return fail(database_.getLastError());
    const auto check = pragma(database_, "PRAGMA quick_check;");
    if (check != "ok") return fail(check ? *check : database_.getLastError());
    if (pragma(database_, "PRAGMA journal_mode=WAL;") != "wal") {
        return fail("cannot keep a write-ahead log: " + database_.getLastError());
    }
    if (!run(database_, "PRAGMA synchronous=FULL;")) return fail(database_.getLastError());
    for (const char* table : kTables) {
        unsigned int version = 0;
        if (database_.getSchemaVersion(table, version) && version > kSchemaVersion) {
            return fail("table " + std::string(table) + " has schema version " +
                        std::to_string(version) + ", newer than this service knows (" +
                        std::to_string(kSchemaVersion) + ")");
        }
    }
    if (!create_schema(fresh) || !load_meta()) return fail(database_.getLastError());
    open_ = true;
    spdlog::info("[cybersecurity_service] State database {} : store_id = {}, generation = {}",
                 ev_common::bounded(path), store_id_, generation_);
    return true;
}

bool trust_state::create_schema(bool fresh) {
    auto transaction = database_.beginTransaction();
    if (!transaction) return false;
    const bool created =
        run(database_,
            "CREATE TABLE IF NOT EXISTS trust_state (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT "
            "NULL);") &&
        run(database_,
            "CREATE TABLE IF NOT EXISTS journal (entry INTEGER PRIMARY KEY AUTOINCREMENT, seq "
            "INTEGER UNIQUE, "
            "generation INTEGER NOT NULL, time TEXT NOT NULL, operation TEXT NOT NULL, domain "
            "TEXT, id INTEGER, name TEXT, sha256 TEXT, uid INTEGER, gid INTEGER, pid INTEGER, "
            "result TEXT NOT NULL, rows INTEGER, through INTEGER, chain TEXT);") &&
        run(database_,
            "CREATE TABLE IF NOT EXISTS held (domain TEXT NOT NULL, name TEXT NOT NULL, sha256 "
            "TEXT NOT NULL, PRIMARY KEY (domain, name));") &&
        run(database_,
            "CREATE TABLE IF NOT EXISTS identities (sha256 TEXT PRIMARY KEY NOT NULL, ocpp TEXT "
            "NOT NULL);");
    if (!created) return false;
    for (const char* table : kTables) {
        unsigned int version = 0;
        if (!database_.getSchemaVersion(table, version) &&
            !database_.setSchemaVersion(table, kSchemaVersion)) {
            return false;
        }
    }
    if (!meta("store_id")) {
        // A state without an identity is a new one, whatever the file held.
        fresh = true;
        const std::string id = new_store_id();
        if (id.empty() || !set_meta("store_id", id) || !set_meta("generation", "0") ||
            !set_meta("head", "") || !set_meta("base", "") || !set_meta("trimmed_through", "")) {
            return false;
        }
    }
    // Taken as it stands by the first reconcile(), even one of a later start.
    if (fresh && !set_meta("fresh", "1")) return false;
    // Every start writes, so that a file that cannot be written is found now.
    if (!set_meta("started", now_text())) return false;
    return transaction->commit();
}

bool trust_state::load_meta() {
    const auto id = meta("store_id");
    const auto generation = meta("generation");
    const auto head = meta("head");
    const auto base = meta("base");
    const auto trimmed = meta("trimmed_through");
    if (!id || !generation || !head || !base || !trimmed) return false;
    store_id_ = *id;
    try {
        generation_ = std::stoull(*generation);
        trimmed_ = !trimmed->empty();
        trimmed_through_ = trimmed_ ? std::stoull(*trimmed) : 0;
    } catch (const std::exception&) {
        return false;
    }
    head_ = *head;
    base_ = *base;
    statement last(database_, "SELECT max(seq) FROM journal;", {});
    if (!last.has_row()) return false;
    last_seq_ = last.query().isNull(0) ? 0 : last.query().getUInt64(0);
    return true;
}

std::optional<std::string> trust_state::meta(const std::string& key) {
    statement query(database_, "SELECT value FROM trust_state WHERE key = ?;", {key});
    if (!query.has_row()) return std::nullopt;
    return query.query().getText(0);
}

bool trust_state::set_meta(const std::string& key, const std::string& value) {
    return run(database_, "INSERT OR REPLACE INTO trust_state (key, value) VALUES (?, ?);",
               {key, value});
}

bool trust_state::save_generation() {
    return set_meta("generation", std::to_string(generation_)) && set_meta("head", head_);
}

bool trust_state::write_row(journal_record& row, std::uint64_t entry) {
    if (row.time.empty()) row.time = now_text();
    if (entry == 0) {
        if (!run(database_,
                 "INSERT INTO journal (generation, time, operation, result) VALUES (?, ?, ?, ?);",
                 {static_cast<std::int64_t>(row.generation), row.time, row.operation,
                  std::string(kPending)})) {
            return false;
        }
        statement last(database_, "SELECT last_insert_rowid();", {});
        if (!last.has_row()) return false;
        entry = last.query().getUInt64(0);
    }
    // Rows are numbered, and chained, in the order they are settled.
    row.seq = last_seq_ + 1;
    row.chain = journal_chain(head_, row);
    const bool written = run(
        database_,
        "UPDATE journal SET seq = ?, generation = ?, time = ?, operation = ?, domain = ?, id = ?, "
        "name = ?, sha256 = ?, uid = ?, gid = ?, pid = ?, result = ?, rows = ?, through = ?, "
        "chain = ? WHERE entry = ?;",
        {static_cast<std::int64_t>(row.seq), static_cast<std::int64_t>(row.generation), row.time,
         row.operation, text(row.domain), number(row.id), text(row.name), text(row.sha256),
         number(row.uid), number(row.gid), number(row.pid), row.result, number(row.rows),
         number(row.through_generation), row.chain, static_cast<std::int64_t>(entry)});
    if (!written || !set_meta("head", row.chain)) return false;
    head_ = row.chain;
    last_seq_ = row.seq;
    return true;
}

bool trust_state::trim() {
    if (max_entries_ == 0) return true;
    statement count(database_, "SELECT count(*) FROM journal WHERE chain IS NOT NULL;", {});
    if (!count.has_row()) return false;
    const std::uint64_t rows = count.query().getUInt64(0);
    if (rows <= max_entries_) return true;
    // Room for the trim's own row, and for a tenth of the journal more, so
    // that trims stay rare.
    const std::uint64_t keep = max_entries_ - 1 - max_entries_ / 10;
    const std::uint64_t drop = rows - keep;
    statement oldest(
        database_,
        "SELECT seq, generation, chain FROM journal WHERE chain IS NOT NULL ORDER BY seq LIMIT ?;",
        {static_cast<std::int64_t>(drop)});
    if (!oldest.has_row()) return false;
    std::uint64_t last_seq = 0;
    std::uint64_t through = 0;
    std::string last_chain;
    do {
        last_seq = oldest.query().getUInt64(0);
        through = std::max(through, oldest.query().getUInt64(1));
        last_chain = oldest.query().getText(2);
    } while (oldest.query().next());
    if (!run(database_, "DELETE FROM journal WHERE chain IS NOT NULL AND seq <= ?;",
             {static_cast<std::int64_t>(last_seq)})) {
        return false;
    }
    base_ = last_chain;
    trimmed_through_ = trimmed_ ? std::max(trimmed_through_, through) : through;
    trimmed_ = true;
    if (!set_meta("base", base_) || !set_meta("trimmed_through", std::to_string(trimmed_through_)))
        return false;
    journal_record row;
    row.generation = generation_;
    row.operation = "journal_trimmed";
    row.result = "success";
    row.rows = drop;
    row.through_generation = through;
    return write_row(row);
}

bool trust_state::reconcile(const std::vector<held>& current) {
    using key = std::pair<std::string, std::string>;
    std::map<key, const held*> now;
    for (const auto& entry : current) now.emplace(key{entry.domain, entry.name}, &entry);
    std::map<key, std::string> before;
    {
        statement query(database_, "SELECT domain, name, sha256 FROM held;", {});
        if (!query.ok()) return false;
        for (bool row = query.has_row(); row; row = query.query().next()) {
            before[{query.query().getText(0), query.query().getText(1)}] = query.query().getText(2);
        }
    }
    const bool fresh = meta("fresh") == "1";
    const std::string head = head_;
    const std::uint64_t generation = generation_;
    const std::uint64_t last_seq = last_seq_;
    auto transaction = database_.beginTransaction();
    bool ok = transaction != nullptr;
    const auto hold = [&](const key& k, const std::string& sha256) {
        before[k] = sha256;
        return run(database_,
                   "INSERT OR REPLACE INTO held (domain, name, sha256) VALUES (?, ?, ?);",
                   {k.first, k.second, sha256});
    };
    const auto let_go = [&](const key& k) {
        before.erase(k);
        return run(database_, "DELETE FROM held WHERE domain = ? AND name = ?;",
                   {k.first, k.second});
    };

    // A change cut short: made when its files show it, else not made.
    for (auto& [entry, row] : rows_where("chain IS NULL", 0)) {
        if (!ok) break;
        const key k{row.domain.value_or(""), row.name.value_or("")};
        const auto found = now.find(k);
        const bool there = found != now.end() && found->second->sha256 == row.sha256;
        const bool made = row.operation == "remove" ? !there : there;
        row.time = now_text();
        if (made) {
            row.generation = ++generation_;
            row.result = "success";
            if (row.operation != "remove") {
                if (before.count(k) != 0) row.operation = "replace";
                row.id = found->second->id;
                ok = hold(k, found->second->sha256);
            } else {
                ok = let_go(k);
            }
        } else {
            row.generation = generation_;
            row.result = "interrupted";
        }
        ok = ok && write_row(row, entry);
    }

    if (fresh) {
        for (const auto& [k, entry] : now) {
            ok = ok && hold(k, entry->sha256);
        }
        ok = ok && set_meta("fresh", "0");
    } else {
        const auto gone = before;
        for (const auto& [k, sha256] : gone) {
            const auto found = now.find(k);
            if (found != now.end() && found->second->sha256 == sha256) continue;
            journal_record row;
            row.generation = ++generation_;
            row.operation = "vanished";
            row.domain = k.first;
            row.name = k.second;
            row.sha256 = sha256;
            row.result = "success";
            ok = ok && let_go(k) && write_row(row);
        }
        for (const auto& [k, entry] : now) {
            if (before.count(k) != 0) continue;
            journal_record row;
            row.generation = ++generation_;
            row.operation = "found";
            row.domain = k.first;
            row.id = entry->id;
            row.name = k.second;
            row.sha256 = entry->sha256;
            row.result = "success";
            ok = ok && hold(k, entry->sha256) && write_row(row);
        }
    }
    ok = ok && save_generation() && trim() && transaction->commit();
    if (!ok) {
        spdlog::critical("[cybersecurity_service] Unable to use the state database {} : {}",
                         ev_common::bounded(path_), database_.getLastError());
        head_ = head;
        generation_ = generation;
        last_seq_ = last_seq;
        return false;
    }
    remember(current);
    return true;
}

std::vector<ev_common::OcppHashData> trust_state::recall(const std::string& sha256) {
    if (!open_) return {};
    statement query(database_, "SELECT ocpp FROM identities WHERE sha256 = ?;", {sha256});
    if (!query.has_row()) return {};
    const std::string recorded = query.query().getText(0);
    remembered_[sha256] = recorded;
    return ocpp_of(recorded);
}

void trust_state::remember(const std::vector<held>& current) {
    if (!open_) return;
    for (const auto& entry : current) {
        if (entry.ocpp.empty()) continue;
        std::string recorded = ocpp_text(entry.ocpp);
        const auto it = remembered_.find(entry.sha256);
        if (it != remembered_.end() && it->second == recorded) continue;
        if (!run(database_, "INSERT OR REPLACE INTO identities (sha256, ocpp) VALUES (?, ?);",
                 {entry.sha256, recorded})) {
            spdlog::error("[cybersecurity_service] Unable to record the hash data of {} : {}",
                          entry.sha256, database_.getLastError());
            continue;
        }
        remembered_[entry.sha256] = std::move(recorded);
    }
}

bool trust_state::begin(const caller_credentials& caller, const std::vector<planned>& rows) {
    pending_.clear();
    pending_rows_.clear();
    if (!open_) return true;
    std::vector<std::uint64_t> written;
    const bool begun = transact([&] {
        for (const auto& planned : rows) {
            journal_record row = row_of(planned, caller);
            if (!run(database_,
                     "INSERT INTO journal (generation, time, operation, domain, id, name, sha256, "
                     "uid, gid, pid, result) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);",
                     {static_cast<std::int64_t>(generation_), now_text(), row.operation,
                      text(row.domain), number(row.id), text(row.name), text(row.sha256),
                      number(row.uid), number(row.gid), number(row.pid), std::string(kPending)})) {
                return false;
            }
            statement last(database_, "SELECT last_insert_rowid();", {});
            if (!last.has_row()) return false;
            written.push_back(last.query().getUInt64(0));
        }
        return true;
    });
    if (!begun) {
        // The change is refused for it; the refusal is journaled once it can be.
        for (const auto& planned : rows) {
            journal_record row = row_of(planned, caller);
            row.result = "internal_error";
            unsettled_.emplace_back(0, std::move(row));
        }
        return false;
    }
    pending_ = std::move(written);
    pending_rows_ = rows;
    pending_caller_ = caller;
    return true;
}

bool trust_state::commit(const std::vector<ev_common::CertificateChange>& changes) {
    if (!open_) return true;
    const bool committed = transact([&] {
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const auto& change = changes[i];
            journal_record row;
            std::uint64_t entry = 0;
            if (i < pending_.size()) {
                row = row_of(pending_rows_[i], pending_caller_);
                entry = pending_[i];
            } else {
                // What one request changed beyond its rows (a rotation's
                // fallback and removal) was asked for by the same caller.
                set_caller(row, pending_caller_);
            }
            row.generation = change.generation;
            row.operation = operation_of(change.event);
            row.domain = change.domain;
            row.id = change.id;
            row.name = change.name;
            row.sha256 = change.sha256;
            row.result = "success";
            generation_ = std::max(generation_, change.generation);
            if (!write_row(row, entry)) return false;
            const bool held =
                change.event == ev_common::CertificateEvent::removed
                    ? run(database_, "DELETE FROM held WHERE domain = ? AND name = ?;",
                          {change.domain, change.name})
                    : run(database_,
                          "INSERT OR REPLACE INTO held (domain, name, sha256) VALUES (?, ?, ?);",
                          {change.domain, change.name, change.sha256});
            if (!held) return false;
        }
        // Rows planned beyond the changes made (none in practice) are
        // settled here, before the trim's row.
        for (std::size_t i = changes.size(); i < pending_.size(); ++i) {
            journal_record row = row_of(pending_rows_[i], pending_caller_);
            row.generation = generation_;
            row.result = "unchanged";
            if (!write_row(row, pending_[i])) return false;
        }
        return true;
    });
    if (!committed) return false;
    pending_.clear();
    pending_rows_.clear();
    return true;
}

void trust_state::settle(std::string_view result) {
    settle(std::vector<std::string>(pending_.size(), std::string(result)));
}

void trust_state::settle(const std::vector<std::string>& results) {
    if (!open_ || pending_.empty()) return;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        journal_record row = row_of(pending_rows_[i], pending_caller_);
        row.result = i < results.size() ? results[i] : std::string("not_applied");
        unsettled_.emplace_back(pending_[i], std::move(row));
    }
    pending_.clear();
    pending_rows_.clear();
    // When they cannot be written now (a full disk), they are tried again
    // before anything else is journaled, so that rows keep their order.
    transact([] { return true; });
}

bool trust_state::settle_leftovers() {
    for (auto& [entry, row] : unsettled_) {
        row.generation = generation_;
        if (!write_row(row, entry)) return false;
    }
    return true;
}

void trust_state::record_refused(const caller_credentials& caller, const planned& planned,
                                 std::string_view result) {
    if (!open_) return;
    transact([&] {
        journal_record row = row_of(planned, caller);
        row.generation = generation_;
        row.result = std::string(result);
        return write_row(row);
    });
}

bool trust_state::transact(const std::function<bool()>& body) {
    const std::string head = head_;
    const std::uint64_t generation = generation_;
    const std::uint64_t last_seq = last_seq_;
    auto transaction = database_.beginTransaction();
    if (transaction && settle_leftovers() && body() && save_generation() && trim() &&
        transaction->commit()) {
        unsettled_.clear();
        return true;
    }
    spdlog::error("[cybersecurity_service] Unable to journal a change in {} : {}",
                  ev_common::bounded(path_), database_.getLastError());
    head_ = head;
    generation_ = generation;
    last_seq_ = last_seq;
    return false;
}

std::vector<std::pair<std::uint64_t, journal_record>> trust_state::rows_where(
    const std::string& condition, std::uint64_t value) {
    std::vector<std::pair<std::uint64_t, journal_record>> rows;
    const bool bound = condition.find('?') != std::string::npos;
    std::vector<::ev_charging_platform::cybersecurity::value> values;
    if (bound) values.assign(2, static_cast<std::int64_t>(value));
    statement query(database_,
                    std::string("SELECT ") + kRowColumns + " FROM journal WHERE " + condition +
                        " ORDER BY seq, entry;",
                    std::move(values));
    for (bool row = query.has_row(); row; row = query.query().next()) {
        std::uint64_t entry = 0;
        journal_record record = read_row(query.query(), entry);
        rows.emplace_back(entry, std::move(record));
    }
    return rows;
}

// Rows after `since`: every change of a later generation, and what changed
// nothing (a refusal, a trim) at that generation itself, which may have come
// after the caller read it.
std::string trust_state::changes_since(std::uint64_t since) {
    std::vector<std::pair<std::uint64_t, journal_record>> rows;
    if (since <= generation_) {
        rows = rows_where(
            "chain IS NOT NULL AND (generation > ? OR (generation = ? AND (result <> 'success' OR "
            "operation = 'journal_trimmed')))",
            since);
    }
    std::string chain_base = head_;
    if (!rows.empty()) {
        chain_base = base_;
        statement before(database_,
                         "SELECT chain FROM journal WHERE chain IS NOT NULL AND seq < ? ORDER BY "
                         "seq DESC LIMIT 1;",
                         {static_cast<std::int64_t>(rows.front().second.seq)});
        if (before.has_row()) chain_base = before.query().getText(0);
    }
    const bool complete = since <= generation_ && (!trimmed_ || since >= trimmed_through_);
    nlohmann::ordered_json changes = nlohmann::ordered_json::array();
    for (const auto& row : rows) changes.push_back(to_json(row.second));
    nlohmann::ordered_json reply = {{"store_id", store_id_}, {"generation", generation_},
                                    {"complete", complete},  {"chain_base", chain_base},
                                    {"head", head_},         {"changes", std::move(changes)}};
    return reply.dump(-1, ' ', /*ensure_ascii=*/false,
                      nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace ev_charging_platform::cybersecurity
