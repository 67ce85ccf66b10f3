// The SchemaVersion table kept in every service database: one row per table
// name with the schema version a service last migrated that table to.
// Owned by Database, which creates the table and prepares the statements on
// open; services reach it through IDatabase::getSchemaVersion/setSchemaVersion.
#pragma once

#include "ev_common/database/i_database.hpp"

#include <memory>
#include <string>

namespace ev_common {

class SchemaVersionTable {
public:
    explicit SchemaVersionTable(IDatabase* database);
    virtual ~SchemaVersionTable();
    SchemaVersionTable(const SchemaVersionTable&) = delete;
    SchemaVersionTable& operator=(const SchemaVersionTable&) = delete;

    // Creates the table when missing and prepares the three statements,
    // replacing any from an earlier connection.
    bool init();
    // Finalises the statements, so that closing the connection really
    // closes it; the table then reports no versions until the next init().
    void release();

    bool getVersion(const std::string& table, unsigned int& version);
    // Updates the row of `table`, or inserts one when there is none yet.
    bool setVersion(const std::string& table, unsigned int version);

private:
    IDatabase* database_;
    std::unique_ptr<IQuery> selectQuery_;
    std::unique_ptr<IQuery> insertQuery_;
    std::unique_ptr<IQuery> updateQuery_;
};

}  // namespace ev_common
