#include "journal_record.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace ev_charging_platform::cybersecurity {

namespace {

void field(std::string& text, const std::optional<std::string>& value) {
    if (!value) {
        text += "~\n";
        return;
    }
    text += std::to_string(value->size());
    text += ':';
    text += *value;
    text += '\n';
}

template <typename Number>
std::optional<std::string> number(const std::optional<Number>& value) {
    if (!value) return std::nullopt;
    return std::to_string(*value);
}

template <typename Value>
void put(nlohmann::ordered_json& object, const char* key, const std::optional<Value>& value) {
    if (value) {
        object[key] = *value;
    } else {
        object[key] = nullptr;
    }
}

template <typename Value>
std::optional<Value> optional_of(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return it->get<Value>();
}

}  // namespace

std::string journal_chain(const std::string& previous, const journal_record& row) {
    std::string text = previous + '\n';
    field(text, std::to_string(row.seq));
    field(text, std::to_string(row.generation));
    field(text, row.time);
    field(text, row.operation);
    field(text, row.domain);
    field(text, number(row.id));
    field(text, row.name);
    field(text, row.sha256);
    field(text, number(row.uid));
    field(text, number(row.gid));
    field(text, number(row.pid));
    field(text, row.result);
    field(text, number(row.rows));
    field(text, number(row.through_generation));
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    std::string hex;
    hex.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", digest[i]);
        hex += pair.data();
    }
    return hex;
}

nlohmann::ordered_json to_json(const journal_record& row) {
    nlohmann::ordered_json object;
    object["seq"] = row.seq;
    object["generation"] = row.generation;
    object["time"] = row.time;
    object["operation"] = row.operation;
    put(object, "domain", row.domain);
    put(object, "id", row.id);
    put(object, "name", row.name);
    put(object, "sha256", row.sha256);
    put(object, "uid", row.uid);
    put(object, "gid", row.gid);
    put(object, "pid", row.pid);
    object["result"] = row.result;
    if (row.rows || row.through_generation) {
        put(object, "rows", row.rows);
        put(object, "through_generation", row.through_generation);
    }
    object["chain"] = row.chain;
    return object;
}

journal_record journal_record_from_json(const nlohmann::json& value) {
    journal_record row;
    row.seq = value.at("seq").get<std::uint64_t>();
    row.generation = value.at("generation").get<std::uint64_t>();
    row.time = value.at("time").get<std::string>();
    row.operation = value.at("operation").get<std::string>();
    row.domain = optional_of<std::string>(value, "domain");
    row.id = optional_of<std::uint32_t>(value, "id");
    row.name = optional_of<std::string>(value, "name");
    row.sha256 = optional_of<std::string>(value, "sha256");
    row.uid = optional_of<std::int64_t>(value, "uid");
    row.gid = optional_of<std::int64_t>(value, "gid");
    row.pid = optional_of<std::int64_t>(value, "pid");
    row.result = value.at("result").get<std::string>();
    row.rows = optional_of<std::uint64_t>(value, "rows");
    row.through_generation = optional_of<std::uint64_t>(value, "through_generation");
    row.chain = value.at("chain").get<std::string>();
    return row;
}

}  // namespace ev_charging_platform::cybersecurity
