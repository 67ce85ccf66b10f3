#include "cybersecurity/protocol.hpp"

#include <map>

namespace ev_charging_platform::cybersecurity {

namespace {

const std::string kInvalid = "INVALID_ENUM_VALUE";

// Built before main runs, in the order of the protocol's tables.
const std::map<std::int32_t, std::string> kAddStatusNames = {
    {-1, "ipc_error"},     {0, "success"},        {1, "invalid_cert"},   {2, "invalid_name"},
    {3, "already_exists"}, {4, "internal_error"}, {5, "not_authorized"}, {6, "store_full"},
};
const std::map<std::int32_t, std::string> kRemoveStatusNames = {
    {-1, "ipc_error"},     {0, "success"},        {1, "unknown_id"}, {2, "built_in"},
    {3, "internal_error"}, {4, "not_authorized"}, {5, "last_root"},
};
const std::map<std::int32_t, std::string> kDistrustStatusNames = {
    {-1, "ipc_error"},         {0, "success"},        {1, "unknown_id"},     {2, "not_built_in"},
    {3, "already_distrusted"}, {4, "not_distrusted"}, {5, "internal_error"}, {6, "not_authorized"},
    {7, "config_unusable"},
};
const std::map<std::int32_t, std::string> kOperationNames = {
    {0, "add_ca_certificate"},
    {1, "remove_ca_certificate"},
    {2, "get_ca_certificates"},
    {3, "get_ca_certificate_by_id"},
    {4, "get_ca_certificate_by_name"},
    {5, "get_ca_certificate_details"},
    {6, "remove_ca_certificate_by_hash"},
    {7, "add_ca_certificate_to_domain"},
    {8, "get_changes_since"},
    {9, "confirm_csms_root"},
    {10, "verify_certificate_chain"},
    {11, "apply_changes"},
    {12, "distrust_builtin"},
    {13, "restore_builtin"},
};

const std::string& lookup(const std::map<std::int32_t, std::string>& table, std::int32_t value) {
    auto it = table.find(value);
    return it == table.end() ? kInvalid : it->second;
}

}  // namespace

const std::string& to_string(AddCertificateStatus status) {
    return lookup(kAddStatusNames, static_cast<std::int32_t>(status));
}

const std::string& to_string(RemoveCertificateStatus status) {
    return lookup(kRemoveStatusNames, static_cast<std::int32_t>(status));
}

const std::string& to_string(DistrustStatus status) {
    return lookup(kDistrustStatusNames, static_cast<std::int32_t>(status));
}

const std::string& to_string(operation_id operation) {
    return lookup(kOperationNames, static_cast<std::int32_t>(operation));
}

}  // namespace ev_charging_platform::cybersecurity
