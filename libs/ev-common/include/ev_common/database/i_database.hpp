// The interfaces through which services use their SQLite database: a
// connection (IDatabase), one prepared statement (IQuery) and a transaction
// that rolls back unless committed (ITransactionGuard). Implemented by
// Database; the service runtime owns one and hands it to its service.
// Nothing here throws on an SQLite failure: results are booleans, empty
// pointers or SQLite's own error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ev_common {

// One prepared statement. Parameter indexes are 0-based, column indexes too.
// Text and blobs are copied when bound, so the caller's buffer may go away
// right after the bind. A query is used by one thread at a time and must be
// destroyed before the database it came from.
class IQuery {
public:
    virtual ~IQuery() = default;

    // Rewinds the statement; the bindings stay.
    virtual void reset() = 0;

    virtual bool bindNull(int index) = 0;
    virtual bool bindBlob(int index, const std::vector<uint8_t>& value) = 0;
    virtual bool bindBool(int index, bool value) = 0;
    virtual bool bindDouble(int index, double value) = 0;
    virtual bool bindInt(int index, int value) = 0;
    virtual bool bindUInt(int index, unsigned int value) = 0;
    virtual bool bindInt64(int index, int64_t value) = 0;
    virtual bool bindUInt64(int index, uint64_t value) = 0;
    // Text is taken up to its first NUL character.
    virtual bool bindText(int index, const std::string& value) = 0;
    virtual bool bindText(int index, const char* value) = 0;

    // One step. True when the statement finished or produced a row; the row,
    // if any, is readable at once and reported by hasRow().
    virtual bool execute() = 0;
    virtual bool hasRow() = 0;
    // Steps to the following row; true when there is one.
    virtual bool next() = 0;
    // Rewinds and counts rows, stopping as soon as there are more than
    // `count`; the statement stays on the row where counting stopped.
    virtual bool hasMoreRowsThan(std::size_t count) = 0;
    // The statement text with the current bindings filled in.
    virtual std::string getExpandedSql() = 0;
    virtual std::string getLastError() = 0;

    virtual bool isNull(int column) = 0;
    // Empty for NULL and for an empty blob; isNull() tells them apart.
    virtual std::vector<uint8_t> getBlob(int column) = 0;
    virtual bool getBool(int column) = 0;
    virtual double getDouble(int column) = 0;
    virtual int getInt(int column) = 0;
    virtual unsigned int getUInt(int column) = 0;
    virtual int64_t getInt64(int column) = 0;
    virtual uint64_t getUInt64(int column) = 0;
    // Narrows to 32 bits where long is 32 bits wide; prefer getInt64().
    virtual long getLong(int column) = 0;
    // Text up to its first NUL character; empty for NULL.
    virtual std::string getText(int column) = 0;
};

// An open (deferred) transaction; destroyed without commit() it rolls back.
class ITransactionGuard {
public:
    virtual ~ITransactionGuard() = default;

    // True once committed; a failed commit leaves the transaction open, so
    // the guard still rolls it back.
    virtual bool commit() = 0;
};

class IDatabase {
public:
    virtual ~IDatabase() = default;

    // Empty when no connection is held or the statement does not compile.
    virtual std::unique_ptr<IQuery> createQuery(const std::string& sql) = 0;
    // Empty when no connection is held or the transaction cannot begin.
    virtual std::unique_ptr<ITransactionGuard> beginTransaction() = 0;
    // SQLite's message for the last failure on the connection; empty when closed.
    virtual std::string getLastError() = 0;
    // False, with `version` untouched, when no version is recorded for `table`.
    virtual bool getSchemaVersion(const std::string& table, unsigned int& version) = 0;
    virtual bool setSchemaVersion(const std::string& table, unsigned int version) = 0;
    // Writes a compacted copy of the database to `path`, which must not exist.
    virtual bool backup(const std::string& path) = 0;
};

}  // namespace ev_common
