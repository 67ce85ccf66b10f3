#include "database_test_support.hpp"

#include <cstdint>
#include <limits>
#include <vector>

using ev_test::DatabaseTest;

TEST_F(DatabaseTest, StatementsThatDoNotCompileGiveNoQuery) {
    EXPECT_FALSE(db.createQuery("SELEKT 1;"));
    EXPECT_EQ(db.getLastError(), "near \"SELEKT\": syntax error");
    EXPECT_FALSE(db.createQuery("SELECT * FROM nowhere;"));
    EXPECT_FALSE(db.createQuery(""));
    EXPECT_FALSE(db.createQuery("  -- only a comment"));
}

TEST_F(DatabaseTest, ExecuteReportsRowsOnlyForStatementsThatProduceThem) {
    exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT);");
    auto insert = db.createQuery("INSERT INTO t VALUES (?, ?);");
    ASSERT_TRUE(insert);
    EXPECT_TRUE(insert->bindInt(0, 1));
    EXPECT_TRUE(insert->bindText(1, "one"));
    EXPECT_FALSE(insert->bindInt(2, 0)) << "only two parameters, counted from 0";
    EXPECT_TRUE(insert->execute());
    EXPECT_FALSE(insert->hasRow());
    insert->reset();
    EXPECT_FALSE(insert->execute()) << "the bindings stay across reset";
    EXPECT_EQ(insert->getLastError(), "UNIQUE constraint failed: t.id");
    insert->reset();
    insert->bindInt(0, 2);
    EXPECT_TRUE(insert->execute());

    auto select = db.createQuery("SELECT id, name FROM t ORDER BY id;");
    ASSERT_TRUE(select);
    ASSERT_TRUE(select->execute());
    EXPECT_TRUE(select->hasRow());
    EXPECT_EQ(select->getInt(0), 1);
    EXPECT_EQ(select->getText(1), "one");
    EXPECT_TRUE(select->next());
    EXPECT_EQ(select->getInt(0), 2);
    EXPECT_FALSE(select->next());

    auto empty = db.createQuery("SELECT id FROM t WHERE id > 5;");
    ASSERT_TRUE(empty && empty->execute());
    EXPECT_FALSE(empty->hasRow());
}

TEST_F(DatabaseTest, HasMoreRowsThanCountsFromTheFirstRowAndStopsEarly) {
    exec("CREATE TABLE t (v INTEGER);");
    auto none = db.createQuery("SELECT v FROM t;");
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->hasMoreRowsThan(0));

    exec("INSERT INTO t VALUES (10);");
    auto one = db.createQuery("SELECT v FROM t;");
    ASSERT_TRUE(one && one->execute());
    EXPECT_TRUE(one->hasMoreRowsThan(0)) << "rewinds after execute";
    EXPECT_EQ(one->getInt(0), 10) << "left on the row where counting stopped";
    EXPECT_FALSE(one->hasMoreRowsThan(1));

    exec("INSERT INTO t VALUES (20), (30);");
    auto three = db.createQuery("SELECT v FROM t ORDER BY v;");
    ASSERT_TRUE(three);
    EXPECT_TRUE(three->hasMoreRowsThan(2));
    EXPECT_FALSE(three->hasMoreRowsThan(3));
    EXPECT_TRUE(three->hasMoreRowsThan(1));
    EXPECT_EQ(three->getInt(0), 20);
}

TEST_F(DatabaseTest, ValuesRoundTripThroughEveryBindAndGetter) {
    exec("CREATE TABLE t (b, d, i, u, i64, u64, txt);");
    auto insert = db.createQuery("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?);");
    ASSERT_TRUE(insert);
    EXPECT_TRUE(insert->bindBool(0, true));
    EXPECT_TRUE(insert->bindDouble(1, -2.5));
    EXPECT_TRUE(insert->bindInt(2, std::numeric_limits<int>::min()));
    EXPECT_TRUE(insert->bindUInt(3, 0xFFFFFFFFu));
    EXPECT_TRUE(insert->bindInt64(4, std::numeric_limits<int64_t>::max()));
    EXPECT_TRUE(insert->bindUInt64(5, std::numeric_limits<uint64_t>::max()));
    // The text is copied at bind time: the temporary is gone when the step runs.
    EXPECT_TRUE(insert->bindText(6, std::string(100, 'a') + "-temporary"));
    const std::string reuse(110, 'z');  // likely to take over the freed block
    EXPECT_EQ(insert->getExpandedSql().substr(0, 43),
              "INSERT INTO t VALUES (1, -2.5, -2147483648,");
    ASSERT_TRUE(insert->execute());

    auto select = db.createQuery("SELECT * FROM t;");
    ASSERT_TRUE(select && select->execute() && select->hasRow());
    EXPECT_TRUE(select->getBool(0));
    EXPECT_EQ(select->getDouble(1), -2.5);
    EXPECT_EQ(select->getInt(2), std::numeric_limits<int>::min());
    EXPECT_EQ(select->getUInt(3), 0xFFFFFFFFu);
    EXPECT_EQ(select->getInt64(4), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(select->getUInt64(5), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(select->getText(6), std::string(100, 'a') + "-temporary");
}

TEST_F(DatabaseTest, NullIsToldFromAnEmptyBlobAndReadsAsEmpty) {
    exec("CREATE TABLE t (v BLOB);");
    auto insert = db.createQuery("INSERT INTO t VALUES (?);");
    ASSERT_TRUE(insert);
    const std::vector<uint8_t> bytes{0x00, 0xFF, 0x00, 0x7F};
    for (const auto& blob : {bytes, std::vector<uint8_t>{}}) {
        insert->reset();
        ASSERT_TRUE(insert->bindBlob(0, blob));
        ASSERT_TRUE(insert->execute());
    }
    insert->reset();
    ASSERT_TRUE(insert->bindNull(0));
    ASSERT_TRUE(insert->execute());

    auto select = db.createQuery("SELECT v, typeof(v) FROM t ORDER BY rowid;");
    ASSERT_TRUE(select && select->execute() && select->hasRow());
    EXPECT_EQ(select->getBlob(0), bytes) << "embedded zero bytes are kept";
    ASSERT_TRUE(select->next());
    EXPECT_EQ(select->getText(1), "blob") << "an empty vector is stored as an empty blob";
    EXPECT_FALSE(select->isNull(0));
    EXPECT_TRUE(select->getBlob(0).empty());
    ASSERT_TRUE(select->next());
    EXPECT_TRUE(select->isNull(0));
    EXPECT_TRUE(select->getBlob(0).empty());
    EXPECT_EQ(select->getText(0), "");
    EXPECT_EQ(select->getInt(0), 0);
}
