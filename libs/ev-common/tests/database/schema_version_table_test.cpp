#include "database_test_support.hpp"

using ev_common::Database;
using ev_test::DatabaseTest;

TEST_F(DatabaseTest, ANewFileGetsTheSchemaVersionTableWithItsExactDefinition) {
    const std::string expected =
        "CREATE TABLE SchemaVersion ([table]\t  VARCHAR(64),[version]  INTEGER)";
    EXPECT_EQ(value("SELECT sql FROM sqlite_master WHERE name='SchemaVersion';"), expected);
    EXPECT_EQ(value("SELECT count(*) FROM SchemaVersion;"), "0");
}

TEST_F(DatabaseTest, VersionsAreRecordedOncePerTableAndUpdatedInPlace) {
    unsigned int version = 77;
    EXPECT_FALSE(db.getSchemaVersion("users", version));
    EXPECT_EQ(version, 77u);

    ASSERT_TRUE(db.setSchemaVersion("users", 3));
    ASSERT_TRUE(db.getSchemaVersion("users", version));
    EXPECT_EQ(version, 3u);

    ASSERT_TRUE(db.setSchemaVersion("users", 4));
    ASSERT_TRUE(db.setSchemaVersion("events", 0xFFFFFFFFu));
    ASSERT_TRUE(db.getSchemaVersion("users", version));
    EXPECT_EQ(version, 4u);
    ASSERT_TRUE(db.getSchemaVersion("events", version));
    EXPECT_EQ(version, 0xFFFFFFFFu) << "the full unsigned 32-bit range survives";
    EXPECT_EQ(value("SELECT count(*) FROM SchemaVersion WHERE [table]='users';"), "1");
    EXPECT_EQ(value("SELECT count(*) FROM SchemaVersion;"), "2");
}

TEST(SchemaVersionTable, ReopeningAFileKeepsItsRowsAndVersions) {
    ev_test::TempDir dir;
    const std::string path = (dir / "test.db").string();
    {
        Database db;
        ASSERT_TRUE(db.open(path));
        ASSERT_TRUE(db.setSchemaVersion("users", 2));
        auto create = db.createQuery("CREATE TABLE users (name TEXT);");
        ASSERT_TRUE(create && create->execute());
        auto insert = db.createQuery("INSERT INTO users VALUES ('ann');");
        ASSERT_TRUE(insert && insert->execute());
    }
    Database db;
    ASSERT_TRUE(db.open(path));
    unsigned int version = 0;
    EXPECT_TRUE(db.getSchemaVersion("users", version));
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(ev_test::queryValue(db, "SELECT name FROM users;"), "ann");
    EXPECT_EQ(ev_test::queryValue(db, "SELECT count(*) FROM SchemaVersion;"), "1");
}

TEST(SchemaVersionTable, ReportsTheVersionsOfTheCurrentConnectionAfterReopening) {
    ev_test::TempDir dir;
    Database db;
    ASSERT_TRUE(db.open((dir / "a.db").string()));
    ASSERT_TRUE(db.setSchemaVersion("users", 1));
    ASSERT_TRUE(db.close());
    ASSERT_TRUE(db.open((dir / "b.db").string()));
    unsigned int version = 0;
    EXPECT_FALSE(db.getSchemaVersion("users", version));
    ASSERT_TRUE(db.setSchemaVersion("users", 9));
    ASSERT_TRUE(db.getSchemaVersion("users", version));
    EXPECT_EQ(version, 9u);
}
