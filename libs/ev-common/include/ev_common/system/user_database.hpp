// Groups by name, user names and group memberships from the system's user
// database (through NSS: /etc/group and /etc/passwd, or whatever the system
// configured), for decisions about local callers and for messages that name
// them. Reentrant lookups only, so any thread may ask.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ev_common {

// The id of the group called `name`; nothing when there is none.
std::optional<gid_t> findGroupId(const std::string& name);
// The name of user `uid`; nothing when the database has none.
std::optional<std::string> findUserName(uid_t uid);
// The groups the database gives user `uid`: its primary group first, then
// every supplementary group that lists its name. Empty for an unknown user.
std::vector<gid_t> groupsOfUser(uid_t uid);

}  // namespace ev_common
