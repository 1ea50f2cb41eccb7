#include "Database.hpp"

#include <type_traits>
#include <variant>

#include <sqlite3.h>

namespace ZUQRelay {

namespace {

// Steps one cached statement; resets it and clears its parameters when done with.
class Statement final : public SQL::Cursor {
public:
    Statement(Database& database, sqlite3_stmt* statement)
        : database_(database), statement_(statement) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() override {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    void bind(int index, const SQL::Value& value) {
        int result = std::visit(
            [&](const auto& item) {
                using Item = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<Item, std::nullptr_t>) {
                    return sqlite3_bind_null(statement_, index);
                } else if constexpr (std::is_same_v<Item, std::int64_t>) {
                    return sqlite3_bind_int64(statement_, index, item);
                } else if constexpr (std::is_same_v<Item, double>) {
                    return sqlite3_bind_double(statement_, index, item);
                } else {
                    // Copied: the rows outlive the temporaries their arguments were made from.
                    return sqlite3_bind_text64(statement_, index, item.data(), item.size(),
                                               SQLITE_TRANSIENT, SQLITE_UTF8);
                }
            },
            value);
        if (result != SQLITE_OK) {
            database_.fail(result, "bind");
        }
    }

    bool next() override {
        int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result == SQLITE_DONE) {
            return false;
        }
        database_.fail(result, sqlite3_sql(statement_));
    }
    bool isNull(int column) const override {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    std::int64_t integer(int column) const override {
        return sqlite3_column_int64(statement_, column);
    }
    double real(int column) const override { return sqlite3_column_double(statement_, column); }
    std::string text(int column) const override {
        const auto* bytes = sqlite3_column_text(statement_, column);
        auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
        return bytes ? std::string(reinterpret_cast<const char*>(bytes), size) : std::string();
    }
    std::int64_t changed() const override { return sqlite3_changes64(database_.handle()); }

private:
    Database& database_;
    sqlite3_stmt* statement_;
};

} // namespace

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

std::int64_t Database::pragma(std::string_view name) {
    SQL::Rows query = this->query("PRAGMA " + std::string(name));
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

SQL::Rows Database::rows(std::string_view sql, std::span<const SQL::Value> values) {
    auto cursor = std::make_unique<Statement>(*this, statement(sql));
    int index = 0;
    for (const SQL::Value& value : values) {
        cursor->bind(++index, value);
    }
    return SQL::Rows(std::move(cursor));
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
