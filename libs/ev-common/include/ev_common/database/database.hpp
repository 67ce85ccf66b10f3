// One connection to one SQLite database file, in SQLite's serialized mode so
// that several threads may share it. The service runtime owns one, opens it
// at start-up for services that use a database and applies its settings
// through createQuery(); opening also creates the SchemaVersion table.
// Queries and transaction guards point back to the database and must be
// destroyed before it.
#pragma once

#include "ev_common/database/i_database.hpp"
#include "ev_common/database/schema_version_table.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ev_common {

class Database : public IDatabase {
public:
    class Query;
    class TransactionGuard;

    Database();
    ~Database() override;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens or creates the file. False when a connection is already held,
    // when SQLite refuses the file (the connection is then kept only so that
    // getLastError() can tell why; close() releases it) or when the
    // SchemaVersion table cannot be set up.
    bool open(const std::string& path);
    // False when there was nothing to close.
    bool close();

    std::unique_ptr<IQuery> createQuery(const std::string& sql) override;
    std::unique_ptr<ITransactionGuard> beginTransaction() override;
    std::string getLastError() override;
    bool getSchemaVersion(const std::string& table, unsigned int& version) override;
    bool setSchemaVersion(const std::string& table, unsigned int version) override;
    bool backup(const std::string& path) override;

private:
    sqlite3* handle_ = nullptr;
    SchemaVersionTable schemaVersion_;
};

class Database::Query : public IQuery {
public:
    // Takes ownership of `statement`, which must not be null.
    Query(Database* database, sqlite3_stmt* statement);
    ~Query() override;
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    void reset() override;
    bool bindNull(int index) override;
    bool bindBlob(int index, const std::vector<uint8_t>& value) override;
    bool bindBool(int index, bool value) override;
    bool bindDouble(int index, double value) override;
    bool bindInt(int index, int value) override;
    bool bindUInt(int index, unsigned int value) override;
    bool bindInt64(int index, int64_t value) override;
    bool bindUInt64(int index, uint64_t value) override;
    bool bindText(int index, const std::string& value) override;
    bool bindText(int index, const char* value) override;
    bool execute() override;
    bool hasRow() override;
    bool next() override;
    bool hasMoreRowsThan(std::size_t count) override;
    std::string getExpandedSql() override;
    std::string getLastError() override;
    bool isNull(int column) override;
    std::vector<uint8_t> getBlob(int column) override;
    bool getBool(int column) override;
    double getDouble(int column) override;
    int getInt(int column) override;
    unsigned int getUInt(int column) override;
    int64_t getInt64(int column) override;
    uint64_t getUInt64(int column) override;
    long getLong(int column) override;
    std::string getText(int column) override;

private:
    Database* database_;
    sqlite3_stmt* statement_;
    bool hasRow_ = false;
};

class Database::TransactionGuard : public ITransactionGuard {
public:
    explicit TransactionGuard(Database* database);
    ~TransactionGuard() override;
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

    bool commit() override;

private:
    bool committed_ = false;
    // The connection is looked up at each use: the database may have been
    // closed since the transaction began.
    Database* database_;
};

}  // namespace ev_common
