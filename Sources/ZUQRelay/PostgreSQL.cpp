#include "PostgreSQL.hpp"

#include <charconv>
#include <libpq-fe.h>

namespace ZUQRelay::PostgreSQL {

namespace {

// libpq's messages end with a newline, sometimes with several lines; the first is the sentence.
std::string firstLine(const char* message) {
    std::string text = message ? message : "";
    text = text.substr(0, text.find('\n'));
    return text.empty() ? "unknown error" : text;
}

template <class Number>
Number number(const char* text) {
    Number value{};
    std::string_view view(text);
    std::from_chars(view.data(), view.data() + view.size(), value);
    return value;
}

} // namespace

std::string redacted(std::string_view url) {
    std::string text(url);
    auto scheme = text.find("://");
    std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    std::size_t end = text.find_first_of("/?", start);
    std::size_t authorityEnd = end == std::string::npos ? text.size() : end;
    // user:password@host: the last "@" ends the user part, the first ":" in it its name.
    auto at = text.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at != std::string::npos && at >= start) {
        auto colon = text.find(':', start);
        if (colon < at) {
            text.replace(colon + 1, at - colon - 1, "***");
        }
    }
    auto query = text.find('?');
    for (auto begin = query; begin != std::string::npos; begin = text.find('&', begin + 1)) {
        std::string_view key = "password=";
        if (text.compare(begin + 1, key.size(), key) == 0) {
            std::size_t value = begin + 1 + key.size();
            std::size_t valueEnd = text.find('&', value);
            text.replace(value, (valueEnd == std::string::npos ? text.size() : valueEnd) - value,
                         "***");
        }
    }
    return text;
}

void Rows::Clear::operator()(pg_result* result) const {
    PQclear(result);
}

Rows::Rows(std::unique_ptr<pg_result, Clear> result)
    : result_(std::move(result)), rows_(PQntuples(result_.get())) {}

bool Rows::next() {
    if (row_ < rows_) {
        ++row_;
    }
    return row_ < rows_;
}

const char* Rows::value(int column) const {
    return PQgetvalue(result_.get(), row_, column);
}

bool Rows::isNull(int column) const {
    return PQgetisnull(result_.get(), row_, column) != 0;
}

std::int64_t Rows::integer(int column) const {
    return number<std::int64_t>(value(column));
}

double Rows::real(int column) const {
    return number<double>(value(column));
}

std::string Rows::text(int column) const {
    return std::string(value(column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row_, column)));
}

std::optional<std::string> Rows::optionalText(int column) const {
    if (isNull(column)) {
        return std::nullopt;
    }
    return text(column);
}

std::int64_t Rows::changed() const {
    return number<std::int64_t>(PQcmdTuples(result_.get()));
}

void Connection::Finish::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

Connection::Connection(const std::string& url)
    : shown_(redacted(url)), handle_(PQconnectdb(url.c_str())) {
    if (!handle_) {
        throw Error("Cannot connect to the database at " + shown_ + ": out of memory", "");
    }
    if (PQstatus(handle_.get()) != CONNECTION_OK) {
        throw Error("Cannot connect to the database at " + shown_ + ": " +
                        firstLine(PQerrorMessage(handle_.get())),
                    "");
    }
    // Notices ("already exists, skipping") are the server's remarks, not failures: the relay's
    // log keeps only what went wrong.
    PQsetNoticeProcessor(handle_.get(), [](void*, const char*) {}, nullptr);
}

Connection::~Connection() = default;

void Connection::execute(std::string_view sql) {
    std::string statements(sql);
    checked(PQexec(handle_.get(), statements.c_str()), statements);
}

Rows Connection::send(std::string_view sql, const std::vector<Parameter>& parameters) {
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const Parameter& parameter : parameters) {
        values.push_back(parameter ? parameter->c_str() : nullptr);
    }
    std::string statement(sql);
    return checked(PQexecParams(handle_.get(), statement.c_str(), static_cast<int>(values.size()),
                                nullptr, values.data(), nullptr, nullptr, 0),
                   statement);
}

Rows Connection::checked(pg_result* outcome, const std::string& sql) {
    std::unique_ptr<pg_result, Rows::Clear> result(outcome);
    if (!result) {
        throw Error(firstLine(PQerrorMessage(handle_.get())) + " (" + sql + ")", "");
    }
    auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        throw Error(firstLine(PQresultErrorMessage(result.get())) + " (" + sql + ")",
                    state ? state : "");
    }
    return Rows(std::move(result));
}

Connection::Parameter Connection::parameter(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

} // namespace ZUQRelay::PostgreSQL
