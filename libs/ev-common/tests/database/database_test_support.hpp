// Shared set-up of the database tests: a fresh database file in a temporary
// folder, opened, with short helpers to run a statement or read one value.
#pragma once

#include "ev_common/database/database.hpp"

#include <gtest/gtest.h>
#include <temp_dir.hpp>

#include <string>

namespace ev_test {

// Column 0 of the first row as text ("<none>" when there is no row).
inline std::string queryValue(ev_common::IDatabase& database, const std::string& sql) {
    auto query = database.createQuery(sql);
    if (!query || !query->execute() || !query->hasRow()) return "<none>";
    return query->getText(0);
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.open(path)) << db.getLastError(); }

    // Runs one statement to its first step; fails the test when it cannot.
    void exec(const std::string& sql) {
        auto query = db.createQuery(sql);
        ASSERT_TRUE(query) << sql << ": " << db.getLastError();
        ASSERT_TRUE(query->execute()) << sql << ": " << db.getLastError();
    }

    std::string value(const std::string& sql) { return queryValue(db, sql); }

    TempDir dir;
    std::string path = (dir / "test.db").string();
    ev_common::Database db;
};

}  // namespace ev_test
