#include "database_test_support.hpp"

#include <log_capture.hpp>

#include <filesystem>

namespace fs = std::filesystem;
using ev_common::Database;
using ev_test::DatabaseTest;

TEST(Database, OpenInAMissingFolderFailsWithSqlitesReasonUntilClosed) {
    ev_test::TempDir dir;
    Database db;
    EXPECT_FALSE(db.open((dir / "missing" / "test.db").string()));
    EXPECT_EQ(db.getLastError(), "unable to open database file");
    // The failed handle is still held, so a retry is refused until close().
    EXPECT_FALSE(db.open((dir / "test.db").string()));
    EXPECT_TRUE(db.close());
    EXPECT_FALSE(db.close());
    EXPECT_TRUE(db.open((dir / "test.db").string()));
}

TEST(Database, RefusesAFileThatIsNotADatabaseAndLeavesItAlone) {
    ev_test::TempDir dir;
    const std::string content(4096, 'x');
    ev_test::writeFile(dir / "junk.db", content);
    ev_test::LogCapture capture;
    Database db;
    EXPECT_FALSE(db.open((dir / "junk.db").string()));
    EXPECT_TRUE(capture.has(spdlog::level::critical,
                            "Unable to create SchemaVersion table queries : error = "
                            "file is not a database"))
        << capture.dump();
    EXPECT_EQ(ev_test::readFile(dir / "junk.db"), content);
    EXPECT_FALSE(db.close()) << "a failed set-up closes the connection itself";
}

TEST_F(DatabaseTest, OpenFailsCriticallyWhenTheTableCannotBeCreatedForALock) {
    exec("DROP TABLE SchemaVersion;");
    exec("BEGIN IMMEDIATE;");
    ev_test::LogCapture capture;
    Database other;
    EXPECT_FALSE(other.open(path));
    EXPECT_TRUE(capture.has(spdlog::level::critical,
                            "Unable to create SchemaVersion table : error = database is locked"))
        << capture.dump();

    // Once the table exists, a write lock held elsewhere does not stop an open.
    exec("ROLLBACK;");
    ASSERT_TRUE(db.close());
    ASSERT_TRUE(db.open(path));
    exec("BEGIN IMMEDIATE;");
    EXPECT_TRUE(other.open(path)) << capture.dump();
}

TEST_F(DatabaseTest, RefusesASecondOpenAndKeepsTheFirstConnection) {
    EXPECT_FALSE(db.open((dir / "other.db").string()));
    EXPECT_FALSE(fs::exists(dir / "other.db"));
    exec("CREATE TABLE t (v INTEGER);");
    EXPECT_EQ(value("SELECT count(*) FROM sqlite_master WHERE name='t';"), "1");
}

TEST_F(DatabaseTest, ClosingReleasesTheFileAndEverythingReportsFailureAfterwards) {
    exec("PRAGMA journal_mode = WAL;");
    exec("CREATE TABLE t (v INTEGER);");
    EXPECT_TRUE(fs::exists(path + "-wal"));
    auto guard = db.beginTransaction();
    ASSERT_TRUE(guard);

    ASSERT_TRUE(db.close());
    // The last connection of a WAL database checkpoints and removes the log.
    EXPECT_FALSE(fs::exists(path + "-wal"));
    unsigned int version = 7;
    EXPECT_FALSE(db.getSchemaVersion("t", version));
    EXPECT_FALSE(db.setSchemaVersion("t", 1));
    EXPECT_EQ(version, 7u);
    EXPECT_FALSE(db.createQuery("SELECT 1;"));
    EXPECT_FALSE(db.beginTransaction());
    EXPECT_EQ(db.getLastError(), "");
    EXPECT_FALSE(guard->commit());
    guard.reset();  // finds no connection to roll back
}

TEST_F(DatabaseTest, AGuardRollsBackUnlessCommittedAndCommitsOnce) {
    exec("CREATE TABLE t (v INTEGER);");
    {
        auto guard = db.beginTransaction();
        ASSERT_TRUE(guard);
        exec("INSERT INTO t VALUES (1);");
        EXPECT_FALSE(db.beginTransaction()) << "transactions do not nest";
    }
    EXPECT_EQ(value("SELECT count(*) FROM t;"), "0");

    auto guard = db.beginTransaction();
    ASSERT_TRUE(guard);
    exec("INSERT INTO t VALUES (2);");
    EXPECT_TRUE(guard->commit());
    EXPECT_TRUE(guard->commit());
    guard.reset();
    EXPECT_EQ(value("SELECT group_concat(v) FROM t;"), "2");
}

TEST_F(DatabaseTest, AGuardWhoseCommitFailsRollsBackWhenDestroyed) {
    exec("PRAGMA foreign_keys = ON;");
    exec("CREATE TABLE parent (id INTEGER PRIMARY KEY);");
    exec("CREATE TABLE child (p INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED);");
    {
        auto guard = db.beginTransaction();
        ASSERT_TRUE(guard);
        exec("INSERT INTO child VALUES (42);");
        EXPECT_FALSE(guard->commit());
        EXPECT_EQ(db.getLastError(), "FOREIGN KEY constraint failed");
    }
    EXPECT_EQ(value("SELECT count(*) FROM child;"), "0");
    EXPECT_TRUE(db.beginTransaction()) << "the failed transaction was left open";
}

TEST_F(DatabaseTest, BackupWritesAReadableCopyButNeverOverwrites) {
    exec("CREATE TABLE t (v TEXT);");
    exec("INSERT INTO t VALUES ('kept');");
    ASSERT_TRUE(db.setSchemaVersion("t", 5));

    const std::string copy = (dir / "copy.db").string();
    ASSERT_TRUE(db.backup(copy)) << db.getLastError();
    Database restored;
    ASSERT_TRUE(restored.open(copy));
    EXPECT_EQ(ev_test::queryValue(restored, "SELECT v FROM t;"), "kept");
    unsigned int version = 0;
    EXPECT_TRUE(restored.getSchemaVersion("t", version));
    EXPECT_EQ(version, 5u);
    restored.close();

    const auto sizeBefore = fs::file_size(copy);
    exec("INSERT INTO t VALUES ('later');");
    EXPECT_FALSE(db.backup(copy));
    EXPECT_EQ(db.getLastError(), "output file already exists");
    EXPECT_EQ(fs::file_size(copy), sizeBefore);
    EXPECT_FALSE(db.backup((dir / "missing" / "copy.db").string()));
}
