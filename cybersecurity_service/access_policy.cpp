#include "access_policy.hpp"

#include "ev_common/system/user_database.hpp"

#include <algorithm>

namespace ev_charging_platform::cybersecurity {

access_policy::access_policy() : access_policy(std::vector<gid_t>{}) {}

access_policy::access_policy(std::vector<gid_t> admin_groups, group_lookup groups_of_user)
    : admin_groups_(std::move(admin_groups)),
      groups_of_user_(groups_of_user ? std::move(groups_of_user) : ev_common::groupsOfUser) {}

bool access_policy::may_change(const caller_credentials& caller) const {
    if (!caller) return false;
    if (caller->uid == 0) return true;
    if (admin_groups_.empty()) return false;
    if (is_admin_group(caller->gid)) return true;
    // The connection carries only the caller's primary gid; membership by a
    // supplementary group comes from the user database.
    const auto groups = groups_of_user_(caller->uid);
    return std::any_of(groups.begin(), groups.end(),
                       [this](gid_t group) { return is_admin_group(group); });
}

bool access_policy::is_admin_group(gid_t group) const {
    return std::find(admin_groups_.begin(), admin_groups_.end(), group) != admin_groups_.end();
}

}  // namespace ev_charging_platform::cybersecurity
