#include "JSON.hpp"

#include "Platform/Text.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace {

const JSON nullValue;
const std::string emptyText;
const JSON::Object emptyObject;
const JSON::Array emptyArray;

} // namespace

// Builds a JSON value from the parser's events without an intermediate document, refusing
// nesting past JSON::maxDepth so that hostile input cannot exhaust the stack of the recursive
// printer, comparison or destructor.
class JSONBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    JSON result;
    std::string error;

    bool null() override { return put(JSON()); }
    bool boolean(bool value) override { return put(JSON(value)); }
    bool number_integer(number_integer_t value) override { return put(JSON(value)); }
    bool number_unsigned(number_unsigned_t value) override { return put(JSON(value)); }
    bool number_float(number_float_t value, const string_t&) override { return put(JSON(value)); }
    bool string(string_t& value) override { return put(JSON(std::move(value))); }
    bool binary(binary_t&) override { return fail("binary values are not JSON"); }
    bool start_object(std::size_t) override { return open(JSON::Object()); }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JSON::Array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& exception) override {
        return fail(exception.what());
    }

private:
    bool fail(std::string message) {
        error = std::move(message);
        return false;
    }

    JSON* put(JSON value) {
        if (open_.empty()) {
            result = std::move(value);
            return &result;
        }
        auto& parent = open_.back()->value_;
        if (auto* members = std::get_if<JSON::Object>(&parent)) {
            // A repeated key keeps its last value, as the parser's own documents do.
            auto& slot = (*members)[std::move(key_)];
            slot = std::move(value);
            return &slot;
        }
        auto& items = std::get<JSON::Array>(parent);
        items.push_back(std::move(value));
        return &items.back();
    }

    bool open(JSON container) {
        if (open_.size() >= JSON::maxDepth) {
            return fail("JSON nesting is deeper than " + std::to_string(JSON::maxDepth) +
                        " levels");
        }
        // The container is reached through its parent's storage, which does not move while
        // the container is open: nothing else is added to the parent until it closes.
        open_.push_back(put(std::move(container)));
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    std::vector<JSON*> open_;
    std::string key_;
};

namespace {

// Appends one JSON number. Whole numbers of moderate size print as integers; everything else
// in the shortest form that reads back to the same double.
void writeNumber(double value, std::string& out) {
    if (!std::isfinite(value)) {
        throw ZUQError("JSON cannot represent a number that is not finite");
    }
    char buffer[64];
    std::to_chars_result end;
    if (value == std::trunc(value) && std::fabs(value) < 1e17) {
        end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    } else {
        end = std::to_chars(buffer, buffer + sizeof buffer, value);
    }
    out.append(buffer, end.ptr);
}

// How a value is written: indented or compact, and whether DEL and C1 controls are escaped.
struct Form {
    bool pretty;
    JSON::Controls controls;
};

void writeString(std::string_view text, std::string& out, JSON::Controls controls) {
    static constexpr char hex[] = "0123456789abcdef";
    // Invalid byte sequences become U+FFFD so the output is always valid UTF-8.
    std::string repaired;
    if (!Platform::isValidUTF8(text)) {
        repaired = Platform::replacingInvalidUTF8(text);
        text = repaired;
    }
    bool terminal = controls == JSON::Controls::escaped;
    auto escape = [&](unsigned char code) {
        out += "\\u00";
        out += hex[code >> 4];
        out += hex[code & 0xF];
    };
    out += '"';
    for (std::size_t index = 0; index < text.size(); ++index) {
        char c = text[index];
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || (terminal && byte == 0x7F)) {
                escape(byte);
            } else if (terminal && byte == 0xC2 && index + 1 < text.size() &&
                       static_cast<unsigned char>(text[index + 1]) <= 0x9F) {
                // U+0080 to U+009F, whose second UTF-8 byte is the code point itself.
                escape(static_cast<unsigned char>(text[++index]));
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void indent(std::string& out, int depth) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

// One writer for both forms; `depth` only matters when pretty.
void write(const JSON& value, std::string& out, int depth, Form form) {
    switch (value.kind()) {
    case JSON::Kind::object: {
        const auto& members = value.fields();
        if (members.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (const auto& [key, member] : members) { // std::map keeps keys sorted
            if (!first) {
                out += ',';
            }
            first = false;
            if (form.pretty) {
                out += '\n';
                indent(out, depth + 1);
            }
            writeString(key, out, form.controls);
            out += form.pretty ? " : " : ":";
            write(member, out, depth + 1, form);
        }
        if (form.pretty) {
            out += '\n';
            indent(out, depth);
        }
        out += '}';
        return;
    }
    case JSON::Kind::array: {
        const auto& items = value.items();
        if (items.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        bool first = true;
        for (const auto& item : items) {
            if (!first) {
                out += ',';
            }
            first = false;
            if (form.pretty) {
                out += '\n';
                indent(out, depth + 1);
            }
            write(item, out, depth + 1, form);
        }
        if (form.pretty) {
            out += '\n';
            indent(out, depth);
        }
        out += ']';
        return;
    }
    case JSON::Kind::string:
        writeString(value.text(), out, form.controls);
        return;
    case JSON::Kind::number:
        writeNumber(value.number(), out);
        return;
    case JSON::Kind::boolean:
        out += value.flag() ? "true" : "false";
        return;
    case JSON::Kind::null:
        out += "null";
        return;
    }
}

void combine(std::size_t& mixed, std::size_t value) {
    mixed ^= value + 0x9e3779b97f4a7c15ULL + (mixed << 6) + (mixed >> 2);
}

} // namespace

JSON JSON::strings(const std::vector<std::string>& texts) {
    Array items;
    items.reserve(texts.size());
    for (const auto& text : texts) {
        items.emplace_back(text);
    }
    return JSON(std::move(items));
}

JSON JSON::decode(std::string_view data) {
    JSONBuilder builder;
    if (!nlohmann::json::sax_parse(data, &builder)) {
        throw ParseError(builder.error);
    }
    return std::move(builder.result);
}

std::string JSON::data() const {
    std::string out;
    write(*this, out, 0, {false, Controls::kept});
    return out;
}

std::string JSON::pretty(Controls controls) const noexcept {
    try {
        std::string out;
        write(*this, out, 0, {true, controls});
        return out;
    } catch (...) {
        return "null";
    }
}

const JSON& JSON::operator[](std::string_view key) const noexcept {
    if (const auto* members = std::get_if<Object>(&value_)) {
        if (auto found = members->find(key); found != members->end()) {
            return found->second;
        }
    }
    return nullValue;
}

std::optional<std::string> JSON::string() const {
    if (const auto* text = std::get_if<std::string>(&value_)) {
        return *text;
    }
    return std::nullopt;
}

const std::string& JSON::text() const noexcept {
    const auto* text = std::get_if<std::string>(&value_);
    return text ? *text : emptyText;
}

const JSON::Object& JSON::fields() const noexcept {
    const auto* members = std::get_if<Object>(&value_);
    return members ? *members : emptyObject;
}

const JSON::Array& JSON::items() const noexcept {
    const auto* items = std::get_if<Array>(&value_);
    return items ? *items : emptyArray;
}

bool JSON::flag() const noexcept {
    const auto* value = std::get_if<bool>(&value_);
    return value && *value;
}

double JSON::number() const noexcept {
    const auto* value = std::get_if<double>(&value_);
    return value ? *value : 0;
}

std::int64_t JSON::integer() const noexcept {
    double value = std::trunc(number());
    using Limits = std::numeric_limits<std::int64_t>;
    if (std::isnan(value)) {
        return 0;
    }
    // 2^63 is exactly representable; anything at or past it does not fit.
    if (value >= 9223372036854775808.0) {
        return Limits::max();
    }
    if (value <= static_cast<double>(Limits::min())) {
        return Limits::min();
    }
    return static_cast<std::int64_t>(value);
}

std::size_t JSON::hash() const noexcept {
    std::size_t mixed = value_.index();
    switch (kind()) {
    case Kind::object: {
        // Order-independent: the sum of the members' own hashes.
        std::size_t sum = 0;
        for (const auto& [key, member] : fields()) {
            std::size_t one = std::hash<std::string>{}(key);
            combine(one, member.hash());
            sum += one;
        }
        combine(mixed, sum);
        break;
    }
    case Kind::array:
        for (const auto& item : items()) {
            combine(mixed, item.hash());
        }
        break;
    case Kind::string:
        combine(mixed, std::hash<std::string>{}(text()));
        break;
    case Kind::number: {
        double value = number();
        combine(mixed, std::hash<double>{}(value == 0 ? 0.0 : value));
        break;
    }
    case Kind::boolean:
        combine(mixed, flag() ? 1 : 0);
        break;
    case Kind::null:
        break;
    }
    return mixed;
}

bool ZUQ::isTerminal(std::string_view state) noexcept {
    for (auto terminalState : terminal) {
        if (state == terminalState) {
            return true;
        }
    }
    return false;
}
