#include "Import.hpp"

#include "JSON.hpp"
#include "Members.hpp"

#include <string_view>

namespace ZUQRelay {

namespace {

enum class Kind { text, integer, real };

struct Column {
    std::string name;
    Kind kind;
};

struct Table {
    std::string_view name;
    // A column PostgreSQL numbers itself (an identity), whose values are copied as they are.
    std::string_view identity;
};

// In the order their references need. Their columns are the SQLite file's own, which the
// current schema gives PostgreSQL too.
constexpr Table tables[] = {{"groups", ""},  {"devices", ""}, {"invites", ""},
                            {"jobs", "seq"}, {"leases", ""},  {"events", "id"}};

std::vector<Column> columnsOf(Database& database, std::string_view table) {
    std::vector<Column> columns;
    SQL::Rows row = database.query("SELECT name, type FROM pragma_table_info(?)", table);
    while (row.next()) {
        std::string type = row.text(1);
        columns.push_back({row.text(0), type == "REAL"      ? Kind::real
                                        : type == "INTEGER" ? Kind::integer
                                                            : Kind::text});
    }
    return columns;
}

std::int64_t copyTable(Database& from, PostgreSQL::Connection& to, const Table& table) {
    std::vector<Column> columns = columnsOf(from, table.name);
    std::string names, marks;
    for (const Column& column : columns) {
        names += names.empty() ? "" : ", ";
        names += column.name;
        marks += marks.empty() ? "?" : ", ?";
    }
    std::string insert = "INSERT INTO " + std::string(table.name) + " (" + names + ") " +
                         (table.identity.empty() ? "" : "OVERRIDING SYSTEM VALUE ") + "VALUES (" +
                         marks + ")";
    std::string select = "SELECT " + names + " FROM " + std::string(table.name);
    if (!table.identity.empty()) {
        select += " ORDER BY " + std::string(table.identity);
    }
    std::int64_t copied = 0;
    SQL::Rows row = from.query(select);
    std::vector<std::string> texts(columns.size());
    std::vector<SQL::Value> values(columns.size());
    while (row.next()) {
        for (std::size_t index = 0; index < columns.size(); ++index) {
            int column = static_cast<int>(index);
            if (row.isNull(column)) {
                values[index] = nullptr;
                continue;
            }
            switch (columns[index].kind) {
            case Kind::text:
                texts[index] = Members::withoutNUL(row.text(column));
                values[index] = std::string_view(texts[index]);
                break;
            case Kind::integer:
                values[index] = row.integer(column);
                break;
            case Kind::real:
                values[index] = row.real(column);
                break;
            }
        }
        to.queryList(insert, values).next();
        ++copied;
    }
    if (!table.identity.empty()) {
        // The next number PostgreSQL gives follows the last one copied.
        to.query("SELECT setval(pg_get_serial_sequence('" + std::string(table.name) + "', '" +
                 std::string(table.identity) + "'), MAX(" + std::string(table.identity) +
                 ")) FROM " + std::string(table.name))
            .next();
    }
    return copied;
}

} // namespace

std::vector<std::pair<std::string, std::int64_t>> importRows(Database& from,
                                                             PostgreSQL::Connection& to) {
    std::vector<std::pair<std::string, std::int64_t>> copied;
    // One snapshot of the SQLite file, one transaction on PostgreSQL: all or nothing.
    from.execute("BEGIN");
    to.execute("BEGIN");
    try {
        if (to.query("SELECT 1 FROM groups LIMIT 1").next()) {
            throw ZUQError("The database " + to.shown() +
                           " already holds groups. Import only into a new, empty database.");
        }
        for (const Table& table : tables) {
            copied.emplace_back(table.name, copyTable(from, to, table));
        }
        to.execute("COMMIT");
    } catch (...) {
        try {
            to.execute("ROLLBACK");
        } catch (...) {
            // The first failure is the one worth reporting.
        }
        from.execute("ROLLBACK");
        throw;
    }
    from.execute("COMMIT");
    return copied;
}

} // namespace ZUQRelay
