// Who may change the trust store through the endpoint: root, and callers in
// one of the configured admin groups, either by the gid of their connection
// or by the groups the user database gives their user (primary and
// supplementary). A caller the transport could not name may not. Reading
// (ping, list, get) is open to whoever can connect; the socket file's mode
// and group decide that.
#pragma once

#include "i_req_resp_cybersecurity_service_handler.hpp"

#include <sys/types.h>

#include <functional>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class access_policy {
public:
    // The groups of a user (ev_common::groupsOfUser unless a test stands in).
    using group_lookup = std::function<std::vector<gid_t>(uid_t)>;

    // Root only.
    access_policy();
    explicit access_policy(std::vector<gid_t> admin_groups, group_lookup groups_of_user = {});

    bool may_change(const caller_credentials& caller) const;

private:
    bool is_admin_group(gid_t group) const;

    std::vector<gid_t> admin_groups_;
    group_lookup groups_of_user_;
};

}  // namespace ev_charging_platform::cybersecurity
