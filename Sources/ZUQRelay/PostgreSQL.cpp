#include "PostgreSQL.hpp"

#include <charconv>
#include <libpq-fe.h>
#include <type_traits>
#include <variant>
#include <vector>

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

namespace {

using Result = std::unique_ptr<pg_result, void (*)(pg_result*)>;

// The rows of one result, all of them already received.
class ResultRows final : public SQL::Cursor {
public:
    explicit ResultRows(Result result)
        : result_(std::move(result)), rows_(PQntuples(result_.get())) {}

    bool next() override {
        if (row_ < rows_) {
            ++row_;
        }
        return row_ < rows_;
    }
    bool isNull(int column) const override { return PQgetisnull(result_.get(), row_, column) != 0; }
    std::int64_t integer(int column) const override {
        const char* text = value(column);
        // A boolean column reads as the number SQLite would give.
        if (text[0] == 't' || text[0] == 'f') {
            return text[0] == 't' ? 1 : 0;
        }
        return number<std::int64_t>(text);
    }
    double real(int column) const override { return number<double>(value(column)); }
    std::string text(int column) const override {
        return std::string(value(column),
                           static_cast<std::size_t>(PQgetlength(result_.get(), row_, column)));
    }
    std::int64_t changed() const override {
        return number<std::int64_t>(PQcmdTuples(result_.get()));
    }

private:
    const char* value(int column) const { return PQgetvalue(result_.get(), row_, column); }

    Result result_;
    int row_ = -1;
    int rows_ = 0;
};

std::string parameterText(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

} // namespace

std::string numberedParameters(std::string_view sql) {
    std::string text;
    text.reserve(sql.size() + 16);
    int next = 0;
    char quote = 0;
    for (std::size_t index = 0; index < sql.size(); ++index) {
        char character = sql[index];
        if (quote) {
            quote = character == quote ? 0 : quote;
        } else if (character == '\'' || character == '"') {
            quote = character;
        } else if (character == '?') {
            std::size_t digits = index + 1;
            while (digits < sql.size() && sql[digits] >= '0' && sql[digits] <= '9') {
                ++digits;
            }
            text += '$';
            if (digits > index + 1) {
                text.append(sql.substr(index + 1, digits - index - 1));
                index = digits - 1;
            } else {
                text += std::to_string(++next);
            }
            continue;
        }
        text += character;
    }
    return text;
}

void Connection::Finish::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

Connection::Connection(const std::string& url) : url_(url), shown_(redacted(url)) {
    reconnect();
}

Connection::~Connection() = default;

bool Connection::connected() const {
    return handle_ && PQstatus(handle_.get()) == CONNECTION_OK;
}

void Connection::reconnect() {
    statements_.clear();
    handle_.reset(PQconnectdb(url_.c_str()));
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

void Connection::execute(std::string_view sql) {
    std::string statements(sql);
    checked(PQexec(handle_.get(), statements.c_str()), sql);
}

const std::string& Connection::prepared(std::string_view sql, int parameters) {
    if (auto found = statements_.find(sql); found != statements_.end()) {
        return found->second;
    }
    std::string name = "zuq" + std::to_string(statements_.size() + 1);
    std::string text = numberedParameters(sql);
    checked(PQprepare(handle_.get(), name.c_str(), text.c_str(), parameters, nullptr), sql);
    return statements_.emplace(std::string(sql), std::move(name)).first->second;
}

SQL::Rows Connection::rows(std::string_view sql, std::span<const SQL::Value> values) {
    // Every value as text, NULL as no text at all.
    std::vector<std::string> texts(values.size());
    std::vector<const char*> parameters(values.size());
    for (std::size_t index = 0; index < values.size(); ++index) {
        std::visit(
            [&](const auto& item) {
                using Item = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<Item, std::nullptr_t>) {
                    return;
                } else if constexpr (std::is_same_v<Item, std::int64_t>) {
                    texts[index] = std::to_string(item);
                } else if constexpr (std::is_same_v<Item, double>) {
                    texts[index] = parameterText(item);
                } else {
                    // Sent as C strings: a NUL would silently cut the text short.
                    if (item.find('\0') != std::string_view::npos) {
                        std::string message =
                            "A text holds the NUL character, which PostgreSQL cannot store (";
                        throw Error(message + std::string(sql) + ")", "22021");
                    }
                    texts[index] = std::string(item);
                }
                parameters[index] = texts[index].c_str();
            },
            values[index]);
    }
    const std::string& name = prepared(sql, static_cast<int>(values.size()));
    Result result =
        checked(PQexecPrepared(handle_.get(), name.c_str(), static_cast<int>(parameters.size()),
                               parameters.data(), nullptr, nullptr, 0),
                sql);
    return SQL::Rows(std::make_unique<ResultRows>(std::move(result)));
}

Result Connection::checked(pg_result* outcome, std::string_view sql) {
    Result result(outcome, PQclear);
    if (!result) {
        throw Error(firstLine(PQerrorMessage(handle_.get())) + " (" + std::string(sql) + ")", "");
    }
    auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        throw Error(firstLine(PQresultErrorMessage(result.get())) + " (" + std::string(sql) + ")",
                    state ? state : "");
    }
    return result;
}

} // namespace ZUQRelay::PostgreSQL
