// One row of the trust service's change journal as operation 8
// (get_changes_since) carries it, and the hash chain over the rows: each
// row's `chain` is the SHA-256 of the chain before it and of the row's own
// fields, so that a row edited or deleted by hand no longer matches. The
// service writes the rows; `cybersecurity_ctl journal --verify` checks them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace ev_charging_platform::cybersecurity {

struct journal_record {
    std::uint64_t seq = 0;
    // The generation once the row's change was made; the generation it
    // found for a row that changed nothing.
    std::uint64_t generation = 0;
    std::string time;       // UTC, "2026-12-09T08:00:00Z"
    std::string operation;  // add, replace, remove, found, vanished, journal_trimmed
    std::optional<std::string> domain;
    std::optional<std::uint32_t> id;
    std::optional<std::string> name;
    std::optional<std::string> sha256;
    // The caller's credentials; none for the service's own rows.
    std::optional<std::int64_t> uid;
    std::optional<std::int64_t> gid;
    std::optional<std::int64_t> pid;
    std::string result;  // the status name, "success" for a change made
    // Of a journal_trimmed row: how many rows went, and the highest
    // generation among them.
    std::optional<std::uint64_t> rows;
    std::optional<std::uint64_t> through_generation;
    std::string chain;
};

// Lower-case hex SHA-256 over `previous` and every field of `row` but its
// chain, each field length-prefixed so that no two rows share a text.
std::string journal_chain(const std::string& previous, const journal_record& row);

// The JSON object of a row, absent values as null; the keys of a
// journal_trimmed row's counts only on such a row.
nlohmann::ordered_json to_json(const journal_record& row);
// Throws nlohmann::json::exception when a key is missing or mistyped.
journal_record journal_record_from_json(const nlohmann::json& value);

}  // namespace ev_charging_platform::cybersecurity
