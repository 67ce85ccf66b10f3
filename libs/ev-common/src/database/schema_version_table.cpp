#include "ev_common/database/schema_version_table.hpp"

#include <spdlog/spdlog.h>

namespace ev_common {

namespace {

// Existing databases were created with exactly this text; SQLite keeps it
// verbatim in sqlite_master, so it stays as it is, whitespace included.
const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS SchemaVersion ([table]\t  VARCHAR(64),[version]  INTEGER);";
const char* const kSelect = "SELECT [version] FROM SchemaVersion WHERE [table]=?;";
const char* const kInsert = "INSERT INTO SchemaVersion VALUES (?, ?);";
const char* const kUpdate = "UPDATE SchemaVersion SET [version]=? WHERE [table]=?;";

}  // namespace

SchemaVersionTable::SchemaVersionTable(IDatabase* database) : database_(database) {}

SchemaVersionTable::~SchemaVersionTable() {
    release();
}

bool SchemaVersionTable::init() {
    // A statement that cannot even be prepared is not reported here: if the
    // table is missing, preparing the statements below fails and says why.
    if (auto create = database_->createQuery(kCreateTable)) {
        if (!create->execute()) {
            spdlog::critical("Unable to create SchemaVersion table : error = {}",
                             create->getLastError());
            return false;
        }
    }

    selectQuery_ = database_->createQuery(kSelect);
    insertQuery_ = database_->createQuery(kInsert);
    updateQuery_ = database_->createQuery(kUpdate);
    if (selectQuery_ && insertQuery_ && updateQuery_) return true;

    spdlog::critical("Unable to create SchemaVersion table queries : error = {}",
                     database_->getLastError());
    return false;
}

void SchemaVersionTable::release() {
    updateQuery_.reset();
    insertQuery_.reset();
    selectQuery_.reset();
}

bool SchemaVersionTable::getVersion(const std::string& table, unsigned int& version) {
    if (!selectQuery_) return false;

    selectQuery_->bindText(0, table);
    const bool found = selectQuery_->execute() && selectQuery_->hasRow();
    if (found) version = selectQuery_->getUInt(0);
    selectQuery_->reset();
    return found;
}

bool SchemaVersionTable::setVersion(const std::string& table, unsigned int version) {
    if (!selectQuery_ || !insertQuery_ || !updateQuery_) return false;

    selectQuery_->bindText(0, table);
    bool result;
    if (selectQuery_->execute() && selectQuery_->hasRow()) {
        updateQuery_->bindUInt(0, version);
        updateQuery_->bindText(1, table);
        result = updateQuery_->execute();
        updateQuery_->reset();
    } else {
        insertQuery_->bindText(0, table);
        insertQuery_->bindUInt(1, version);
        result = insertQuery_->execute();
        insertQuery_->reset();
    }
    selectQuery_->reset();
    return result;
}

}  // namespace ev_common
