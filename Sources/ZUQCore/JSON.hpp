// The one dynamic value of the program, its one error type and the product constants.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

/// A failure the program detected itself. Its message is the complete sentence the user reads,
/// printed verbatim by the entry point: no prefix, no type name, no code.
class ZUQError : public std::runtime_error {
public:
    explicit ZUQError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

/// Work stopped because its job was cancelled: a tool run refused, a transfer or a wait cut
/// short. Callers that cancelled know why; the sentence is only for logs.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

/// A JSON document as a plain value: object, array, string, number (always a double), bool or
/// null. Copies are deep; nothing is shared. Readers are lenient and never fail: a missing
/// member or a value of another kind reads as null, empty text, 0, false or an empty list, and
/// the caller decides whether that is an error. Safe to read from several threads at once.
class JSON {
public:
    using Object = std::map<std::string, JSON, std::less<>>;
    using Array = std::vector<JSON>;
    /// The cases, in the order that is also their hash index.
    enum class Kind { object, array, string, number, boolean, null };

    /// Raised by `decode` for text that is not JSON, with the parser's own description.
    class ParseError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    JSON() noexcept = default;
    JSON(std::nullptr_t) noexcept {}
    JSON(bool value) noexcept : value_(value) {}
    JSON(double value) noexcept : value_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) JSON(T value)
    noexcept : value_(static_cast<double>(value)) {}
    JSON(std::string value) noexcept : value_(std::move(value)) {}
    JSON(std::string_view value) : value_(std::string(value)) {}
    JSON(const char* value) : value_(std::string(value)) {}
    JSON(Object members) noexcept : value_(std::move(members)) {}
    JSON(Array items) noexcept : value_(std::move(items)) {}

    /// Builds an object or an array in place: JSON::object({{"ok", true}}).
    static JSON object(Object members = {}) { return JSON(std::move(members)); }
    static JSON array(Array items = {}) { return JSON(std::move(items)); }
    /// An array of strings, in order.
    static JSON strings(const std::vector<std::string>& texts);

    /// Parses UTF-8 JSON text. Throws ParseError with the parser's message for malformed text,
    /// invalid UTF-8 or nesting deeper than `maxDepth`; nothing is returned partially.
    static JSON decode(std::string_view data);
    static constexpr std::size_t maxDepth = 512;

    /// Compact serialisation for request bodies. Throws ZUQError for a non-finite number.
    std::string data() const;

    /// Whether text is written byte for byte, or with the controls a terminal would act on
    /// beyond those JSON escapes anyway (DEL and U+0080 to U+009F) escaped as \u00XX too. Both
    /// forms decode to the same value.
    enum class Controls { kept, escaped };

    /// The output form of every command: two-space indentation, "key" : value, keys sorted at
    /// every depth, solidus unescaped, UTF-8 written as itself, whole numbers without a
    /// fraction. No trailing newline. Returns "null" when a number anywhere is not finite.
    std::string pretty(Controls controls = Controls::kept) const noexcept;

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool isNull() const noexcept { return kind() == Kind::null; }

    /// The member `key` of an object; null for a missing member or any other case.
    const JSON& operator[](std::string_view key) const noexcept;
    /// The text of a string, or nothing.
    std::optional<std::string> string() const;
    /// The text of a string, or empty text; never a conversion of another case.
    const std::string& text() const noexcept;
    /// The members of an object, or an empty mapping.
    const Object& fields() const noexcept;
    /// The elements of an array, or an empty list.
    const Array& items() const noexcept;
    /// The value of a bool, or false.
    bool flag() const noexcept;
    /// The value of a number, or 0.
    double number() const noexcept;
    /// A number truncated toward zero, clamped to the 64-bit range (NaN reads as 0); 0 for
    /// any other case.
    std::int64_t integer() const noexcept;

    /// Structural equality: objects regardless of member order, numbers by ==, so 0 == -0.
    friend bool operator==(const JSON& lhs, const JSON& rhs) noexcept {
        return lhs.value_ == rhs.value_;
    }
    /// Structural hash consistent with ==.
    std::size_t hash() const noexcept;

private:
    friend class JSONBuilder;
    std::variant<Object, Array, std::string, double, bool, std::nullptr_t> value_{nullptr};
};

template <>
struct std::hash<JSON> {
    std::size_t operator()(const JSON& value) const noexcept { return value.hash(); }
};

/// Product-wide constants.
namespace ZUQ {
inline constexpr std::string_view version = "0.1.0";
/// The relay used by `group create` when no --server is given.
inline constexpr std::string_view server = "https://relay.zuq.dev";
/// Job states after which a job never changes; only the first is success.
inline constexpr std::array<std::string_view, 3> terminal = {"succeeded", "failed", "cancelled"};
bool isTerminal(std::string_view state) noexcept;
} // namespace ZUQ
