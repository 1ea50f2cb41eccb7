// Property lists over libplist: reading the XML and binary forms into a plain value, and
// writing the XML form. Knows nothing of what the lists mean.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Platform {

/// One property-list value: dictionary, array, string, integer, real, boolean, date or data,
/// or `none`, which stands for a member that is not there. Copies are deep; nothing is shared.
/// Readers are lenient and never fail: a missing member or a value of another kind reads as
/// `none`, nothing, empty text or an empty collection. Safe to read from several threads.
class PropertyList {
public:
    using Dictionary = std::map<std::string, PropertyList, std::less<>>;
    using Array = std::vector<PropertyList>;
    /// A moment in microseconds: wide enough for any year a property list writes (a clock's
    /// nanoseconds end in 2262, before the far-future dates some lists hold).
    using Date = std::chrono::sys_time<std::chrono::microseconds>;
    /// Bytes of a data value, kept apart from text.
    struct Data {
        std::string bytes;
        friend bool operator==(const Data&, const Data&) = default;
    };
    /// The cases, in the order of the variant below.
    enum class Kind { none, dictionary, array, string, integer, real, boolean, date, data };

    /// Bytes that are not a property list in a form this platform reads.
    class ParseError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    PropertyList() noexcept = default;
    PropertyList(bool value) noexcept : value_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) PropertyList(T value)
    noexcept : value_(static_cast<std::int64_t>(value)) {}
    PropertyList(double value) noexcept : value_(value) {}
    PropertyList(std::string value) noexcept : value_(std::move(value)) {}
    PropertyList(std::string_view value) : value_(std::string(value)) {}
    PropertyList(const char* value) : value_(std::string(value)) {}
    PropertyList(Dictionary members) noexcept : value_(std::move(members)) {}
    PropertyList(Array items) noexcept : value_(std::move(items)) {}
    PropertyList(Date value) noexcept : value_(value) {}
    PropertyList(Data value) noexcept : value_(std::move(value)) {}

    /// Containers nested deeper than this are refused, so that hostile input cannot exhaust
    /// the stack of the recursive readers (libplist's and this value's own).
    static constexpr std::size_t maxDepth = 512;
    /// Values a binary list may expand to. Its objects may be shared, so a few hundred bytes
    /// can describe a tree of billions of values, all of which libplist would build.
    static constexpr std::uint64_t maxValues = 1'000'000;

    /// Parses the XML or binary form. Throws ParseError "<origin> is not a property list" for
    /// anything else, including empty input; "<origin> is nested deeper than 512 levels" and
    /// "<origin> expands to more than 1000000 values" before anything is built. Integers are
    /// read as signed 64-bit values (an unsigned value above the signed range wraps);
    /// keyed-archive UIDs read as integers.
    static PropertyList decode(std::string_view bytes, std::string_view origin = "The data");

    /// The whole file at `path`, decoded. File errors are std::system_error naming the path;
    /// a file that is not a property list throws ParseError naming it.
    static PropertyList read(const std::filesystem::path& path);

    /// The XML form, as Apple's tools write it (tab indentation, trailing newline; dates to
    /// the second). Throws std::invalid_argument when the value holds `none` anywhere.
    std::string xml() const;

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool isNone() const noexcept { return kind() == Kind::none; }

    /// The member `key` of a dictionary; `none` for a missing member or any other case.
    const PropertyList& operator[](std::string_view key) const noexcept;
    /// The members of a dictionary, or an empty one.
    const Dictionary& fields() const noexcept;
    /// The elements of an array, or an empty list.
    const Array& items() const noexcept;
    /// The text of a string, or nothing / empty text; never a conversion of another case.
    std::optional<std::string> string() const;
    const std::string& text() const noexcept;
    std::optional<std::int64_t> integer() const noexcept;
    std::optional<double> real() const noexcept;
    std::optional<bool> boolean() const noexcept;
    std::optional<Date> date() const noexcept;
    std::optional<Data> data() const;

    friend bool operator==(const PropertyList& lhs, const PropertyList& rhs) noexcept {
        return lhs.value_ == rhs.value_;
    }

private:
    std::variant<std::monostate, Dictionary, Array, std::string, std::int64_t, double, bool, Date,
                 Data>
        value_;
};

} // namespace Platform
