// What the relay's rules see of a database: one connection that runs statements with bound
// parameters and reads their rows by column, the same for SQLite and PostgreSQL. Statements
// are written once for both, with "?" or "?N" for parameters; the few places where the two
// dialects differ ask `dialect()`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace ZUQRelay::SQL {

enum class Dialect { sqlite, postgreSQL };

/// A parameter's value. Texts are views: they need only outlive the call that binds them.
using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string_view>;

/// The rows of one statement, read in order by a connection's implementation.
class Cursor {
public:
    virtual ~Cursor() = default;
    virtual bool next() = 0;
    virtual bool isNull(int column) const = 0;
    virtual std::int64_t integer(int column) const = 0;
    virtual double real(int column) const = 0;
    virtual std::string text(int column) const = 0;
    /// How many rows the statement changed, once it has run to its end.
    virtual std::int64_t changed() const = 0;
};

/// The rows of one statement: `next` moves to the first row, then to each following one;
/// columns are numbered from 0. Lives only as long as the call that made it.
class Rows {
public:
    explicit Rows(std::unique_ptr<Cursor> cursor) : cursor_(std::move(cursor)) {}

    bool next() { return cursor_->next(); }
    bool isNull(int column) const { return cursor_->isNull(column); }
    std::int64_t integer(int column) const { return cursor_->integer(column); }
    double real(int column) const { return cursor_->real(column); }
    std::string text(int column) const { return cursor_->text(column); }
    /// Nothing for SQL NULL.
    std::optional<std::string> optionalText(int column) const {
        return isNull(column) ? std::nullopt : std::optional(text(column));
    }
    std::int64_t changed() const { return cursor_->changed(); }

private:
    std::unique_ptr<Cursor> cursor_;
};

/// One open connection. Not thread-safe: the store hands each to one thread at a time.
class Connection {
public:
    virtual ~Connection() = default;

    virtual Dialect dialect() const = 0;

    /// Runs one or more statements without parameters or results.
    virtual void execute(std::string_view sql) = 0;

    /// `sql` with `arguments` bound to its parameters 1, 2, ...: null, integers, bools, reals,
    /// texts, or optional texts (nothing as NULL).
    template <class... Arguments>
    Rows query(std::string_view sql, const Arguments&... arguments) {
        const std::array<Value, sizeof...(Arguments)> values{value(arguments)...};
        return rows(sql, values);
    }

    /// `sql` with as many parameters as `values`, known only when it runs.
    Rows queryList(std::string_view sql, std::span<const Value> values) {
        return rows(sql, values);
    }

    /// Runs a statement to its end and returns the number of rows it changed.
    template <class... Arguments>
    std::int64_t run(std::string_view sql, const Arguments&... arguments) {
        Rows statement = query(sql, arguments...);
        while (statement.next()) {
        }
        return statement.changed();
    }

protected:
    virtual Rows rows(std::string_view sql, std::span<const Value> values) = 0;

private:
    static Value value(std::nullptr_t) { return nullptr; }
    static Value value(std::int64_t number) { return number; }
    static Value value(int number) { return std::int64_t(number); }
    static Value value(bool flag) { return std::int64_t(flag); }
    static Value value(double number) { return number; }
    static Value value(std::string_view text) { return text; }
    static Value value(const std::string& text) { return std::string_view(text); }
    static Value value(const char* text) { return std::string_view(text); }
    static Value value(const std::optional<std::string>& text) {
        return text ? Value(std::string_view(*text)) : Value(nullptr);
    }
};

/// The number of bytes of text `column` holds, in `dialect`.
inline std::string byteLength(Dialect dialect, std::string_view column) {
    return dialect == Dialect::sqlite ? "LENGTH(CAST(" + std::string(column) + " AS BLOB))"
                                      : "OCTET_LENGTH(" + std::string(column) + ")";
}
/// The larger of two numbers, in `dialect`.
inline std::string larger(Dialect dialect, std::string_view first, std::string_view second) {
    return std::string(dialect == Dialect::sqlite ? "MAX(" : "GREATEST(") + std::string(first) +
           ", " + std::string(second) + ")";
}

} // namespace ZUQRelay::SQL
