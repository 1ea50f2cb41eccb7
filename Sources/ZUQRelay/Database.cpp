#include "Database.hpp"

#include <sqlite3.h>

namespace ZUQRelay {

Query::Query(Database& database, sqlite3_stmt* statement)
    : database_(&database), statement_(statement) {}

Query::Query(Query&& other) noexcept : database_(other.database_), statement_(other.statement_) {
    other.statement_ = nullptr;
}

Query::~Query() {
    if (statement_) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
}

bool Query::next() {
    int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    database_->fail(result, sqlite3_sql(statement_));
}

bool Query::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Query::integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

double Query::real(int column) const {
    return sqlite3_column_double(statement_, column);
}

std::string Query::text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size))
                 : std::string();
}

std::optional<std::string> Query::optionalText(int column) const {
    if (isNull(column)) {
        return std::nullopt;
    }
    return text(column);
}

void Query::bindValue(int index, std::nullptr_t) {
    if (int result = sqlite3_bind_null(statement_, index); result != SQLITE_OK) {
        database_->fail(result, "bind");
    }
}

void Query::bindValue(int index, std::int64_t value) {
    if (int result = sqlite3_bind_int64(statement_, index, value); result != SQLITE_OK) {
        database_->fail(result, "bind");
    }
}

void Query::bindValue(int index, double value) {
    if (int result = sqlite3_bind_double(statement_, index, value); result != SQLITE_OK) {
        database_->fail(result, "bind");
    }
}

void Query::bindValue(int index, std::string_view value) {
    // Copied: a Query outlives the temporaries its arguments were made from.
    int result = sqlite3_bind_text64(statement_, index, value.data(), value.size(),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
    if (result != SQLITE_OK) {
        database_->fail(result, "bind");
    }
}

void Query::bindValue(int index, const std::optional<std::string>& value) {
    if (value) {
        bindValue(index, std::string_view(*value));
    } else {
        bindValue(index, nullptr);
    }
}

void Database::Close::operator()(sqlite3* handle) const {
    sqlite3_close_v2(handle);
}

void Database::Finalize::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

Database::Database(const std::filesystem::path& path) : path_(path) {
    sqlite3* handle = nullptr;
    int result = sqlite3_open_v2(path.c_str(), &handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                                     SQLITE_OPEN_EXRESCODE,
                                 nullptr);
    handle_.reset(handle);
    if (result != SQLITE_OK) {
        std::string message = "Cannot open database " + path.string() + ": " +
                              (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(result));
        throw DatabaseError(result, message);
    }
    sqlite3_busy_timeout(handle, 5000);
}

Database::~Database() {
    // Statements first: a connection with live statements does not close.
    statements_.clear();
}

void Database::execute(std::string_view sql) {
    std::string text(sql);
    char* message = nullptr;
    int result = sqlite3_exec(handle_.get(), text.c_str(), nullptr, nullptr, &message);
    if (result != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errstr(result);
        sqlite3_free(message);
        throw DatabaseError(result, "Database " + path_.string() + ": " + reason);
    }
}

std::int64_t Database::changes() const {
    return sqlite3_changes64(handle_.get());
}

std::int64_t Database::lastInsertRowID() const {
    return sqlite3_last_insert_rowid(handle_.get());
}

std::int64_t Database::pragma(std::string_view name) {
    Query query = this->query("PRAGMA " + std::string(name));
    return query.next() ? query.integer(0) : 0;
}

void Database::fail(int code, std::string_view what) const {
    std::string message = "Database " + path_.string() + ": " + sqlite3_errmsg(handle_.get());
    if (!what.empty()) {
        message += " (";
        message += what;
        message += ")";
    }
    throw DatabaseError(code, message);
}

sqlite3_stmt* Database::statement(std::string_view sql) {
    if (auto found = statements_.find(sql); found != statements_.end()) {
        return found->second.get();
    }
    std::string key(sql);
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v3(handle_.get(), key.data(), static_cast<int>(key.size()),
                                    SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (result != SQLITE_OK) {
        fail(result, key);
    }
    auto& slot = statements_[key];
    slot.reset(statement);
    return statement;
}

} // namespace ZUQRelay
