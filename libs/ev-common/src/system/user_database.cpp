#include "ev_common/system/user_database.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace ev_common {

namespace {

// A database entry larger than this is not believed.
constexpr std::size_t kMaxEntryBuffer = 1024 * 1024;
// Nor a user in more groups than this.
constexpr int kMaxGroups = 65536;

std::size_t initialBuffer(int name) {
    const long suggested = ::sysconf(name);
    return suggested > 0 ? static_cast<std::size_t>(suggested) : 4096;
}

// Calls a getXXX_r lookup with a buffer that grows while it is too small.
// True when an entry was found.
template <typename Entry, typename Lookup>
bool lookUp(int sizeName, Entry& entry, std::vector<char>& buffer, Lookup lookup) {
    buffer.resize(initialBuffer(sizeName));
    for (;;) {
        Entry* found = nullptr;
        const int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < kMaxEntryBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == EINTR) continue;
        return rc == 0 && found != nullptr;
    }
}

}  // namespace

std::optional<gid_t> findGroupId(const std::string& name) {
    struct group entry {};
    std::vector<char> buffer;
    if (!lookUp(_SC_GETGR_R_SIZE_MAX, entry, buffer,
                [&](struct group* e, char* b, std::size_t n, struct group** found) {
                    return ::getgrnam_r(name.c_str(), e, b, n, found);
                })) {
        return std::nullopt;
    }
    return entry.gr_gid;
}

std::optional<std::string> findUserName(uid_t uid) {
    struct passwd entry {};
    std::vector<char> buffer;
    if (!lookUp(_SC_GETPW_R_SIZE_MAX, entry, buffer,
                [&](struct passwd* e, char* b, std::size_t n, struct passwd** found) {
                    return ::getpwuid_r(uid, e, b, n, found);
                })) {
        return std::nullopt;
    }
    return std::string(entry.pw_name);
}

std::vector<gid_t> groupsOfUser(uid_t uid) {
    struct passwd entry {};
    std::vector<char> buffer;
    if (!lookUp(_SC_GETPW_R_SIZE_MAX, entry, buffer,
                [&](struct passwd* e, char* b, std::size_t n, struct passwd** found) {
                    return ::getpwuid_r(uid, e, b, n, found);
                })) {
        return {};
    }
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        // Too small: count now says how many there are.
        if (count <= static_cast<int>(groups.size()) || count > kMaxGroups) {
            return {entry.pw_gid};
        }
        groups.resize(static_cast<std::size_t>(count));
    }
}

}  // namespace ev_common
