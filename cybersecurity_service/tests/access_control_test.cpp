// Who may change the trust store, and the audit line every change leaves.
#include "access_policy.hpp"
#include "audit_trail.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ev_charging_platform::cybersecurity;

namespace {

ev_common::PeerCredentials caller(uid_t uid, gid_t gid) {
    return {uid, gid, 4242};
}

}  // namespace

TEST(AccessPolicy, AdmitsRootAndMembersOfAnAdminGroupOnly) {
    // The user database as the test sets it: user 1001 is also in group 60,
    // user 1002 in 70 only, user 1003 unknown.
    const auto groups = [](uid_t uid) -> std::vector<gid_t> {
        if (uid == 1001) return {1001, 60};
        if (uid == 1002) return {1002, 70};
        return {};
    };
    const access_policy root_only;
    const access_policy admins({50, 60}, groups);
    const access_policy none_named({}, groups);
    struct Case {
        const char* what;
        const access_policy& policy;
        caller_credentials who;
        bool admitted;
    };
    const std::vector<Case> cases{
        {"root, no admin groups", root_only, caller(0, 0), true},
        {"root in any group", admins, caller(0, 1234), true},
        {"unknown caller", admins, std::nullopt, false},
        {"unknown caller, root-only policy", root_only, std::nullopt, false},
        {"user without admin group", root_only, caller(1000, 1000), false},
        {"connection's gid is an admin group", admins, caller(1000, 50), true},
        {"supplementary group is an admin group", admins, caller(1001, 1001), true},
        {"other groups only", admins, caller(1002, 1002), false},
        {"user the database does not know", admins, caller(1003, 1003), false},
        {"admin gid, but no admin groups configured", none_named, caller(1000, 50), false},
        {"member of 60, but no admin groups configured", none_named, caller(1001, 1001), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.policy.may_change(c.who), c.admitted) << c.what;
    }
}

TEST(AuditTrail, WritesOneFixedGreppableLineWithClientTextQuotedAndBounded) {
    const std::string fingerprint(64, 'a');
    EXPECT_EQ(audit_line({"add", "my_ca", 143, fingerprint, caller(0, 0), "success"}),
              "[audit] operation=add name=my_ca id=143 sha256=" + fingerprint +
                  " uid=0 gid=0 pid=4242 result=success");
    EXPECT_EQ(audit_line({"remove", std::nullopt, 7, "", std::nullopt, "unknown_id"}),
              "[audit] operation=remove name=- id=7 sha256=- uid=unknown gid=unknown "
              "pid=unknown result=unknown_id");
    EXPECT_EQ(audit_line({"replace", "v2.root-ca_1", std::nullopt, "", caller(1000, 100),
                          "not_authorized"}),
              "[audit] operation=replace name=v2.root-ca_1 id=- sha256=- uid=1000 gid=100 "
              "pid=4242 result=not_authorized");

    // A name cannot forge a field or a line, nor pass for "none".
    const auto name_field = [](const std::string& name) {
        const std::string line =
            audit_line({"add", name, std::nullopt, "", std::nullopt, "invalid_name"});
        const auto start = line.find(" name=") + 6;
        return line.substr(start, line.find(" id=- sha256=") - start);
    };
    EXPECT_EQ(name_field("a b"), "\"a b\"");
    EXPECT_EQ(name_field("x\n[audit] operation=remove"), "\"x\\x0a[audit] operation=remove\"");
    EXPECT_EQ(name_field("q\"\\\x7f"), "\"q\\\"\\\\\\x7f\"");
    EXPECT_EQ(name_field("-"), "\"-\"");
    EXPECT_EQ(name_field(""), "\"\"");
    EXPECT_EQ(name_field("é"), "\"é\"");
    EXPECT_EQ(name_field("a\xc2\x85"
                         "b\xff\x1b"),
              "\"a\\xc2\\x85b\\xff\\x1b\"");
    EXPECT_EQ(name_field(std::string(300, 'n')), "\"" + std::string(256, 'n') + "… (300 bytes)\"");
}
