// The trust service's durable state, in an SQLite file of its own (not the
// frame's database): the identity of the state (`store_id`), the generation,
// which goes on from its last value after a restart, the journal of every
// change and refused change with its hash chain, what the stores held when
// last seen (so that a certificate put in or taken out by hand shows at the
// next start), and the OCPP hash data of every certificate that entered a
// store (so that it keeps them once its issuer has gone).
//
// A change is journaled in two steps: its rows are written as pending before
// any file is touched (begin), and become the change in the store's change
// gate, once its files have taken effect and before anyone is told (commit).
// A change cut short by a crash is settled at the next start by what the
// files show. Used on the IPC server's thread only, like the stores.
#pragma once

#include "i_req_resp_cybersecurity_service_handler.hpp"
#include "journal_record.hpp"

#include "ev_common/cyber/certificate_change.hpp"
#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/database/database.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class trust_state {
public:
    // A row about to be written: what a caller asked for.
    struct planned {
        std::string operation;  // add, replace or remove
        std::string domain;
        std::optional<std::uint32_t> id;
        std::string name;
        std::string sha256;
    };
    // A certificate a store holds, as the state compares it.
    struct held {
        std::string domain;
        std::uint32_t id = 0;
        std::string name;
        std::string sha256;
        std::vector<ev_common::OcppHashData> ocpp;
    };

    static constexpr unsigned int default_max_entries = 10000;

    trust_state() = default;
    trust_state(const trust_state&) = delete;
    trust_state& operator=(const trust_state&) = delete;

    // Opens the file, creating it (0600) and its folder when missing. False,
    // after a critical line naming the file, when it is not an SQLite
    // database of this service, is corrupt, of a newer schema or cannot be
    // written; nothing is overwritten then.
    bool open(const std::string& path);
    bool is_open() const { return open_; }
    void set_max_entries(unsigned int max_entries) { max_entries_ = max_entries; }

    const std::string& store_id() const { return store_id_; }
    std::uint64_t generation() const { return generation_; }

    // At start-up, once the stores are loaded: settles the rows of a change
    // cut short, then journals every certificate found without a row and
    // every row whose certificate has gone. A state just created takes what
    // the stores hold as they are. False when the state cannot be written.
    bool reconcile(const std::vector<held>& current);

    // Hash data recorded for a certificate; empty when none were.
    std::vector<ev_common::OcppHashData> recall(const std::string& sha256);
    // Records the hash data of every certificate that has some and whose
    // record differs.
    void remember(const std::vector<held>& current);

    // Before a change touches a file. False (after an error line) when the
    // rows cannot be written: the change must not be made.
    bool begin(const caller_credentials& caller, const std::vector<planned>& rows);
    // The store's change gate: the pending rows become these changes, in
    // order, with the generation, the held certificates and the trim, as one
    // transaction. False leaves them pending.
    bool commit(const std::vector<ev_common::CertificateChange>& changes);
    // The pending rows of a change that was not made get `result`, or
    // each its own (`results` in the order of begin()'s rows).
    void settle(std::string_view result);
    void settle(const std::vector<std::string>& results);
    // A change refused before it began.
    void record_refused(const caller_credentials& caller, const planned& row,
                        std::string_view result);

    // Operation 8's text: {"store_id", "generation", "complete", "chain_base",
    // "head", "changes": [...]} with every row after generation `since`.
    std::string changes_since(std::uint64_t since);

private:
    bool create_schema(bool fresh);
    bool load_meta();
    bool set_meta(const std::string& key, const std::string& value);
    std::optional<std::string> meta(const std::string& key);
    // Numbers and chains the row and writes it; false on an SQLite error.
    // With `entry` set, the pending row at that place is settled, else a new
    // row is inserted.
    bool write_row(journal_record& row, std::uint64_t entry = 0);
    // Runs `body` in a transaction with the rows left unsettled before it,
    // then stores the generation and trims; on failure the transaction is
    // rolled back, the values kept in memory go back, and a line says so.
    bool transact(const std::function<bool()>& body);
    bool settle_leftovers();
    bool trim();
    bool save_generation();
    // Rows with their place in the table, in the order of their numbers.
    std::vector<std::pair<std::uint64_t, journal_record>> rows_where(const std::string& condition,
                                                                     std::uint64_t value);

    ev_common::Database database_;
    bool open_ = false;
    std::string path_;
    std::string store_id_;
    std::uint64_t generation_ = 0;
    std::string head_;
    std::string base_;
    std::uint64_t last_seq_ = 0;
    std::uint64_t trimmed_through_ = 0;
    bool trimmed_ = false;
    unsigned int max_entries_ = default_max_entries;
    caller_credentials pending_caller_;
    std::vector<std::uint64_t> pending_;
    std::vector<planned> pending_rows_;
    // Rows of changes not made whose result could not be written yet.
    std::vector<std::pair<std::uint64_t, journal_record>> unsettled_;
    // The hash data as last recorded, by SHA-256 (JSON text).
    std::map<std::string, std::string> remembered_;
};

}  // namespace ev_charging_platform::cybersecurity
