#include "Platform/PropertyList.hpp"

#include "Platform/File.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include <plist/plist.h>

namespace Platform {

namespace {

using Clock = std::chrono::system_clock;

// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr std::chrono::seconds referenceDate{978'307'200};

struct FreeNode {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, FreeNode>;

// libplist hands out malloc'd texts and iterators.
struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeMemory>;

std::string ownedText(char* text) {
    Owned<char> owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

// libplist 2.2 hands dates out as 32-bit seconds, which cut off years after 2069 that its
// parser keeps whole; its XML writer prints them whole, so the date is read back from that.
PropertyList::Date dateOf(plist_t node) {
    int32_t seconds = 0, microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string text(xml ? xml : "", xml ? length : 0);
    plist_to_xml_free(xml);
    std::size_t start = text.find("<date>");
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (start == std::string::npos ||
        std::sscanf(text.c_str() + start, "<date>%d-%u-%uT%u:%u:%uZ", &year, &month, &day, &hour,
                    &minute, &second) != 6) {
        return Clock::time_point(referenceDate + std::chrono::seconds(seconds) +
                                 std::chrono::microseconds(microseconds));
    }
    std::chrono::sys_days days = std::chrono::year_month_day(
        std::chrono::year(year), std::chrono::month(month), std::chrono::day(day));
    return Clock::time_point(days.time_since_epoch() + std::chrono::hours(hour) +
                             std::chrono::minutes(minute) + std::chrono::seconds(second) +
                             std::chrono::microseconds(microseconds));
}

PropertyList valueOf(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        PropertyList::Dictionary members;
        plist_dict_iter raw = nullptr;
        plist_dict_new_iter(node, &raw);
        Owned<void> iterator(raw);
        while (true) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, raw, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            std::string name = ownedText(key);
            members.insert_or_assign(std::move(name), valueOf(value));
        }
        return PropertyList(std::move(members));
    }
    case PLIST_ARRAY: {
        PropertyList::Array items;
        uint32_t count = plist_array_get_size(node);
        items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            items.push_back(valueOf(plist_array_get_item(node, i)));
        }
        return PropertyList(std::move(items));
    }
    case PLIST_STRING: {
        // Read with its length: a binary list's UTF-16 text may hold U+0000, on which
        // plist_get_string_val asserts.
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PropertyList(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_KEY: {
        char* text = nullptr;
        plist_get_key_val(node, &text);
        return PropertyList(ownedText(text));
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PropertyList(static_cast<std::int64_t>(value));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return PropertyList(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyList(value);
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyList(value != 0);
    }
    case PLIST_DATE:
        return PropertyList(dateOf(node));
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        Owned<char> owned(bytes);
        return PropertyList(PropertyList::Data{std::string(bytes ? bytes : "", bytes ? length : 0)});
    }
    default:
        return PropertyList();
    }
}

Node nodeOf(const PropertyList& value) {
    switch (value.kind()) {
    case PropertyList::Kind::dictionary: {
        Node node(plist_new_dict());
        for (const auto& [key, member] : value.fields()) {
            plist_dict_set_item(node.get(), key.c_str(), nodeOf(member).release());
        }
        return node;
    }
    case PropertyList::Kind::array: {
        Node node(plist_new_array());
        for (const auto& item : value.items()) {
            plist_array_append_item(node.get(), nodeOf(item).release());
        }
        return node;
    }
    case PropertyList::Kind::string:
        return Node(plist_new_string(value.text().c_str()));
    case PropertyList::Kind::integer:
        return Node(plist_new_uint(static_cast<uint64_t>(*value.integer())));
    case PropertyList::Kind::real:
        return Node(plist_new_real(*value.real()));
    case PropertyList::Kind::boolean:
        return Node(plist_new_bool(*value.boolean() ? 1 : 0));
    case PropertyList::Kind::date: {
        // plist_new_date takes 32-bit seconds; the XML reader keeps any year, and the XML form
        // holds whole seconds only anyway.
        auto time = std::chrono::floor<std::chrono::seconds>(*value.date());
        auto days = std::chrono::floor<std::chrono::days>(time);
        std::chrono::year_month_day date(days);
        std::chrono::hh_mm_ss clock(time - days);
        char text[96];
        std::snprintf(text, sizeof text, "<plist><date>%04d-%02u-%02uT%02d:%02d:%02dZ</date></plist>",
                      int(date.year()), unsigned(date.month()), unsigned(date.day()),
                      int(clock.hours().count()), int(clock.minutes().count()),
                      int(clock.seconds().count()));
        plist_t node = nullptr;
        plist_from_xml(text, static_cast<uint32_t>(std::strlen(text)), &node);
        if (!node) {
            throw std::invalid_argument(std::string("libplist cannot hold the date ") + text);
        }
        return Node(node);
    }
    case PropertyList::Kind::data: {
        PropertyList::Data data = *value.data();
        return Node(plist_new_data(data.bytes.data(), data.bytes.size()));
    }
    case PropertyList::Kind::none:
        break;
    }
    throw std::invalid_argument("A property list cannot hold an absent value");
}

const PropertyList& none() {
    static const PropertyList value;
    return value;
}

} // namespace

PropertyList PropertyList::decode(std::string_view bytes, std::string_view origin) {
    plist_t raw = nullptr;
    if (!bytes.empty() && bytes.size() <= std::numeric_limits<uint32_t>::max()) {
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    }
    Node node(raw);
    if (!node) {
        throw ParseError(std::string(origin) + " is not a property list");
    }
    return valueOf(node.get());
}

PropertyList PropertyList::read(const std::filesystem::path& path) {
    return decode(readFile(path), path.string());
}

std::string PropertyList::xml() const {
    Node node = nodeOf(*this);
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &text, &length);
    std::string result(text ? text : "", text ? length : 0);
    plist_to_xml_free(text);
    return result;
}

const PropertyList& PropertyList::operator[](std::string_view key) const noexcept {
    const Dictionary& members = fields();
    auto member = members.find(key);
    return member == members.end() ? none() : member->second;
}

const PropertyList::Dictionary& PropertyList::fields() const noexcept {
    static const Dictionary empty;
    const Dictionary* members = std::get_if<Dictionary>(&value_);
    return members ? *members : empty;
}

const PropertyList::Array& PropertyList::items() const noexcept {
    static const Array empty;
    const Array* elements = std::get_if<Array>(&value_);
    return elements ? *elements : empty;
}

std::optional<std::string> PropertyList::string() const {
    const std::string* text = std::get_if<std::string>(&value_);
    return text ? std::optional(*text) : std::nullopt;
}

const std::string& PropertyList::text() const noexcept {
    static const std::string empty;
    const std::string* value = std::get_if<std::string>(&value_);
    return value ? *value : empty;
}

std::optional<std::int64_t> PropertyList::integer() const noexcept {
    const std::int64_t* value = std::get_if<std::int64_t>(&value_);
    return value ? std::optional(*value) : std::nullopt;
}

std::optional<double> PropertyList::real() const noexcept {
    const double* value = std::get_if<double>(&value_);
    return value ? std::optional(*value) : std::nullopt;
}

std::optional<bool> PropertyList::boolean() const noexcept {
    const bool* value = std::get_if<bool>(&value_);
    return value ? std::optional(*value) : std::nullopt;
}

std::optional<PropertyList::Date> PropertyList::date() const noexcept {
    const Date* value = std::get_if<Date>(&value_);
    return value ? std::optional(*value) : std::nullopt;
}

std::optional<PropertyList::Data> PropertyList::data() const {
    const Data* value = std::get_if<Data>(&value_);
    return value ? std::optional(*value) : std::nullopt;
}

} // namespace Platform
