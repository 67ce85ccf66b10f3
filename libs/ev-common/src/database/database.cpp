#include "ev_common/database/database.hpp"

#include <sqlite3.h>

namespace ev_common {

// ---------------------------------------------------------------------------
// Database

Database::Database() : schemaVersion_(this) {}

Database::~Database() {
    close();
}

bool Database::open(const std::string& path) {
    if (handle_ != nullptr) return false;

    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &handle_, flags, nullptr) != SQLITE_OK) return false;

    if (!schemaVersion_.init()) {
        close();
        return false;
    }
    return true;
}

bool Database::close() {
    if (handle_ == nullptr) return false;

    // sqlite3_close_v2 only defers the close while statements are alive; the
    // schema-version statements would keep the file open (and its WAL
    // uncheckpointed) until this object died.
    schemaVersion_.release();
    sqlite3_close_v2(handle_);
    handle_ = nullptr;
    return true;
}

std::unique_ptr<IQuery> Database::createQuery(const std::string& sql) {
    if (handle_ == nullptr) return nullptr;

    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(handle_, sql.c_str(), static_cast<int>(sql.size() + 1),
                                      &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    // Text holding only white space or comments compiles to no statement.
    if (statement == nullptr) return nullptr;
    return std::make_unique<Query>(this, statement);
}

std::unique_ptr<ITransactionGuard> Database::beginTransaction() {
    if (handle_ == nullptr) return nullptr;
    if (sqlite3_exec(handle_, "BEGIN TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    return std::make_unique<TransactionGuard>(this);
}

std::string Database::getLastError() {
    if (handle_ == nullptr) return {};
    return sqlite3_errmsg(handle_);
}

bool Database::getSchemaVersion(const std::string& table, unsigned int& version) {
    return schemaVersion_.getVersion(table, version);
}

bool Database::setSchemaVersion(const std::string& table, unsigned int version) {
    return schemaVersion_.setVersion(table, version);
}

bool Database::backup(const std::string& path) {
    auto query = createQuery("VACUUM INTO ?;");
    if (!query) return false;
    query->bindText(0, path);
    return query->execute();
}

// ---------------------------------------------------------------------------
// Database::Query

Database::Query::Query(Database* database, sqlite3_stmt* statement)
    : database_(database), statement_(statement) {}

Database::Query::~Query() {
    sqlite3_finalize(statement_);
}

void Database::Query::reset() {
    sqlite3_reset(statement_);
}

// Callers count parameters from 0, SQLite from 1.
bool Database::Query::bindNull(int index) {
    return sqlite3_bind_null(statement_, index + 1) == SQLITE_OK;
}

bool Database::Query::bindBlob(int index, const std::vector<uint8_t>& value) {
    // An empty vector may have no data pointer, and SQLite binds a null
    // pointer as NULL: the empty blob has to be asked for explicitly.
    if (value.empty()) return sqlite3_bind_zeroblob(statement_, index + 1, 0) == SQLITE_OK;
    return sqlite3_bind_blob64(statement_, index + 1, value.data(), value.size(),
                               SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Database::Query::bindBool(int index, bool value) {
    return bindInt(index, value ? 1 : 0);
}

bool Database::Query::bindDouble(int index, double value) {
    return sqlite3_bind_double(statement_, index + 1, value) == SQLITE_OK;
}

bool Database::Query::bindInt(int index, int value) {
    return sqlite3_bind_int(statement_, index + 1, value) == SQLITE_OK;
}

bool Database::Query::bindUInt(int index, unsigned int value) {
    return bindInt(index, static_cast<int>(value));
}

bool Database::Query::bindInt64(int index, int64_t value) {
    return sqlite3_bind_int64(statement_, index + 1, value) == SQLITE_OK;
}

bool Database::Query::bindUInt64(int index, uint64_t value) {
    return bindInt64(index, static_cast<int64_t>(value));
}

bool Database::Query::bindText(int index, const std::string& value) {
    return bindText(index, value.c_str());
}

bool Database::Query::bindText(int index, const char* value) {
    // Copied: a binding that outlives a temporary string must not read freed memory.
    return sqlite3_bind_text(statement_, index + 1, value, -1, SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Database::Query::execute() {
    hasRow_ = false;
    switch (sqlite3_step(statement_)) {
        case SQLITE_DONE:
            return true;
        case SQLITE_ROW:
            hasRow_ = true;
            return true;
        default:
            return false;
    }
}

bool Database::Query::hasRow() {
    return hasRow_;
}

bool Database::Query::next() {
    return sqlite3_step(statement_) == SQLITE_ROW;
}

bool Database::Query::hasMoreRowsThan(std::size_t count) {
    sqlite3_reset(statement_);
    std::size_t rows = 0;
    while (sqlite3_step(statement_) == SQLITE_ROW) {
        if (++rows > count) return true;
    }
    return false;
}

std::string Database::Query::getExpandedSql() {
    char* expanded = sqlite3_expanded_sql(statement_);
    if (expanded == nullptr) return {};
    std::string result(expanded);
    sqlite3_free(expanded);
    return result;
}

std::string Database::Query::getLastError() {
    return database_->getLastError();
}

bool Database::Query::isNull(int column) {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::vector<uint8_t> Database::Query::getBlob(int column) {
    // The pointer first, then the size: SQLite's documented order.
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
    if (data == nullptr) return {};
    const int size = sqlite3_column_bytes(statement_, column);
    return std::vector<uint8_t>(data, data + size);
}

bool Database::Query::getBool(int column) {
    return getInt(column) != 0;
}

double Database::Query::getDouble(int column) {
    return sqlite3_column_double(statement_, column);
}

int Database::Query::getInt(int column) {
    return sqlite3_column_int(statement_, column);
}

unsigned int Database::Query::getUInt(int column) {
    return static_cast<unsigned int>(getInt(column));
}

int64_t Database::Query::getInt64(int column) {
    return sqlite3_column_int64(statement_, column);
}

uint64_t Database::Query::getUInt64(int column) {
    return static_cast<uint64_t>(getInt64(column));
}

long Database::Query::getLong(int column) {
    return static_cast<long>(getInt64(column));
}

std::string Database::Query::getText(int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    if (text == nullptr) return {};
    return std::string(text);
}

// ---------------------------------------------------------------------------
// Database::TransactionGuard

Database::TransactionGuard::TransactionGuard(Database* database) : database_(database) {}

Database::TransactionGuard::~TransactionGuard() {
    if (committed_ || database_->handle_ == nullptr) return;
    sqlite3_exec(database_->handle_, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
}

bool Database::TransactionGuard::commit() {
    if (committed_) return true;
    if (database_->handle_ == nullptr) return false;
    if (sqlite3_exec(database_->handle_, "COMMIT TRANSACTION", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace ev_common
