#include "Platform/PropertyList.hpp"

#include "Platform/File.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <plist/plist.h>

namespace Platform {

namespace {

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
// A text that names no real moment (a binary list's date may be any double) keeps the 32-bit
// seconds, which always fit.
PropertyList::Date dateOf(plist_t node) {
    using namespace std::chrono;
    int32_t seconds = 0, microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    const PropertyList::Date truncated =
        PropertyList::Date(referenceDate + std::chrono::seconds(seconds) +
                           std::chrono::microseconds(microseconds));
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
        return truncated;
    }
    year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (year < int(year::min()) || year > int(year::max()) || !date.ok() || hour > 23 ||
        minute > 59 || second > 60) {
        return truncated;
    }
    return PropertyList::Date(sys_days(date).time_since_epoch() + hours(hour) + minutes(minute) +
                              std::chrono::seconds(second) +
                              std::chrono::microseconds(microseconds));
}

// A value that is not a container.
PropertyList leafOf(plist_t node) {
    switch (plist_get_node_type(node)) {
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

// The whole tree, built without recursion: a list nested as deep as the shape check allows
// still costs the stack one frame.
PropertyList valueOf(plist_t root) {
    struct Level {
        plist_t node;
        bool dictionary;
        Owned<void> iterator;     // a dictionary's, from libplist
        std::uint32_t next = 0;   // an array's next index
        std::string key = {};     // the member being built, in a dictionary
        PropertyList::Dictionary members = {};
        PropertyList::Array items = {};
    };
    auto isContainer = [](plist_t node) {
        plist_type type = plist_get_node_type(node);
        return type == PLIST_DICT || type == PLIST_ARRAY;
    };
    if (!isContainer(root)) {
        return leafOf(root);
    }
    std::vector<Level> path;
    auto enter = [&](plist_t node) {
        Level level{node, plist_get_node_type(node) == PLIST_DICT, nullptr};
        if (level.dictionary) {
            plist_dict_iter raw = nullptr;
            plist_dict_new_iter(node, &raw);
            level.iterator.reset(raw);
        } else {
            level.items.reserve(plist_array_get_size(node));
        }
        path.push_back(std::move(level));
    };
    // Puts a finished value into the level that holds it.
    auto place = [](Level& level, PropertyList value) {
        if (level.dictionary) {
            level.members.insert_or_assign(std::move(level.key), std::move(value));
        } else {
            level.items.push_back(std::move(value));
        }
    };
    enter(root);
    for (;;) {
        Level& level = path.back();
        plist_t child = nullptr;
        if (level.dictionary) {
            char* key = nullptr;
            plist_dict_next_item(level.node, level.iterator.get(), &key, &child);
            level.key = ownedText(key);
        } else if (level.next < plist_array_get_size(level.node)) {
            child = plist_array_get_item(level.node, level.next++);
        }
        if (child == nullptr) {
            PropertyList done = level.dictionary ? PropertyList(std::move(level.members))
                                                 : PropertyList(std::move(level.items));
            path.pop_back();
            if (path.empty()) {
                return done;
            }
            place(path.back(), std::move(done));
        } else if (isContainer(child)) {
            enter(child);
        } else {
            place(level, leafOf(child));
        }
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
        // The XML form writes four-digit years; libplist reads no others back.
        if (!date.ok() || int(date.year()) < 0 || int(date.year()) > 9999) {
            throw std::invalid_argument("An XML property list holds only dates of the years 0 "
                                        "to 9999");
        }
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

// MARK: Shape
//
// libplist builds its tree, converts it and frees it by recursion, and expands every shared
// object of a binary list once per reference. So before libplist sees a document, its depth
// (and for the binary form its expanded size) is measured here without recursion.

enum class Shape { fits, tooDeep, tooLarge, malformed };

// The XML form, scanned without being parsed. The count errs on the high side: every
// "<dict" or "<array" that is not self-closing opens a level wherever it stands, while a
// closing tag counts only outside comments, processing instructions, declarations and CDATA
// sections, where a parser would not see it either. So libplist never builds a deeper tree
// than the one measured here.
Shape xmlShape(std::string_view text) {
    auto nameEnds = [&](std::size_t at) {
        return at >= text.size() || std::string_view(" \t\r\n/>").find(text[at]) != std::string_view::npos;
    };
    auto skipSpace = [&](std::size_t at) {
        while (at < text.size() && std::string_view(" \t\r\n").find(text[at]) != std::string_view::npos) {
            ++at;
        }
        return at;
    };
    // Counts the opening tags inside a skipped region [from, to).
    auto opensWithin = [&](std::size_t from, std::size_t to) {
        std::size_t opens = 0;
        for (std::size_t at = text.find('<', from); at < to; at = text.find('<', at + 1)) {
            std::string_view rest = text.substr(at + 1);
            std::size_t length = rest.starts_with("dict") ? 4 : rest.starts_with("array") ? 5 : 0;
            if (length != 0 && nameEnds(at + 1 + length)) {
                ++opens;
            }
        }
        return opens;
    };
    std::size_t depth = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        std::string_view rest = text.substr(at);
        std::string_view close;
        if (rest.starts_with("<!--")) {
            close = "-->";
        } else if (rest.starts_with("<![CDATA[")) {
            close = "]]>";
        } else if (rest.starts_with("<?")) {
            close = "?>";
        } else if (rest.starts_with("<!")) {
            // A declaration may hold an internal subset in brackets.
            close = rest.find('[') < rest.find('>') ? "]>" : ">";
        }
        if (!close.empty()) {
            std::size_t end = text.find(close, at + 2);
            end = end == std::string_view::npos ? text.size() : end + close.size();
            depth += opensWithin(at + 1, end);
            if (depth > PropertyList::maxDepth) {
                return Shape::tooDeep;
            }
            at = end;
            continue;
        }
        bool closing = rest.starts_with("</");
        std::size_t name = at + (closing ? 2 : 1);
        std::string_view named = text.substr(name);
        std::size_t length = named.starts_with("dict") ? 4 : named.starts_with("array") ? 5 : 0;
        at = name;
        if (length == 0 || !nameEnds(name + length)) {
            continue;
        }
        if (closing) {
            std::size_t end = skipSpace(name + length);
            if (end < text.size() && text[end] == '>' && depth > 0) {
                --depth;
            }
            continue;
        }
        std::size_t end = skipSpace(name + length);
        if (text.substr(end).starts_with("/>")) {
            continue;
        }
        if (++depth > PropertyList::maxDepth) {
            return Shape::tooDeep;
        }
    }
    return Shape::fits;
}

// The binary form: its object table walked from the top object, each object once, with the
// height and the expanded size of every container remembered. A reference cycle, or anything
// libplist would have to guess at, is malformed.
class BinaryShape {
public:
    explicit BinaryShape(std::string_view bytes) : bytes_(bytes) {}

    Shape measure() {
        constexpr std::size_t header = 8, trailer = 32;
        if (bytes_.size() < header + trailer + 1) {
            return Shape::malformed;
        }
        std::size_t end = bytes_.size() - trailer;
        offsetSize_ = static_cast<unsigned char>(bytes_[end + 6]);
        referenceSize_ = static_cast<unsigned char>(bytes_[end + 7]);
        std::uint64_t count = number(end + 8, 8), top = number(end + 16, 8);
        table_ = number(end + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8 ||
            count == 0 || top >= count || table_ < header || table_ > end ||
            count > (end - table_) / offsetSize_) {
            return Shape::malformed;
        }
        count_ = count;
        heights_.assign(count, unvisited);
        sizes_.assign(count, 0);
        keys_.assign(count, 0);
        return walk(top);
    }

private:
    static constexpr std::uint32_t unvisited = 0xFFFFFFFF, visiting = 0xFFFFFFFE;

    std::uint64_t number(std::size_t at, std::size_t size) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[at + i]);
        }
        return value;
    }

    // Where the references of container `object` start and how many there are; nothing for
    // an object that is not a container. Sets `malformed_` for one that cannot be read.
    // An object's kind (its marker's high half), its count, and where its contents start.
    struct Object {
        unsigned kind = 0;
        std::uint64_t count = 0;
        std::size_t at = 0;
    };
    std::optional<Object> object(std::uint64_t index) const {
        std::uint64_t offset = number(table_ + index * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_) {
            return std::nullopt;
        }
        auto marker = static_cast<unsigned char>(bytes_[offset]);
        Object found{static_cast<unsigned>(marker >> 4), marker & 0xFu, offset + 1};
        if (found.count == 0xF && found.kind >= 0x4 && found.kind != 0x8) { // a UID keeps its size there
            auto length = found.at < table_ ? static_cast<unsigned char>(bytes_[found.at]) : 0;
            if ((length >> 4) != 0x1 || (length & 0xF) > 3) {
                return std::nullopt;
            }
            std::size_t size = std::size_t(1) << (length & 0xF);
            if (found.at + 1 + size > table_) {
                return std::nullopt;
            }
            found.count = number(found.at + 1, size);
            found.at += 1 + size;
        }
        return found;
    }

    // Where the references of container `index` start and how many there are; nothing for
    // an object that is not a container. Sets `malformed_` for one that cannot be read.
    struct Children {
        std::size_t first = 0;
        std::uint64_t count = 0;
        std::uint64_t keys = 0; // a dictionary's references start with its keys
    };
    std::optional<Children> children(std::uint64_t index) {
        std::optional<Object> found = object(index);
        if (!found) {
            malformed_ = true;
            return std::nullopt;
        }
        if (found->kind != 0xA && found->kind != 0xC && found->kind != 0xD) {
            return std::nullopt;
        }
        Children children{found->at, found->count, 0};
        if (found->kind == 0xD) {
            children.keys = found->count;
            children.count *= 2;
        }
        if (children.count > (table_ - found->at) / referenceSize_) {
            malformed_ = true;
            return std::nullopt;
        }
        return children;
    }

    // Whether object `index` can be a dictionary's key: text without U+0000, which libplist
    // cannot hold in a key (it aborts on reading one back). Each key is looked at once.
    bool usableKey(std::uint64_t index) {
        if (keys_[index] != 0) {
            return keys_[index] == 1;
        }
        std::optional<Object> found = object(index);
        bool usable = false;
        if (found && (found->kind == 0x5 || found->kind == 0x6)) {
            std::uint64_t unit = found->kind == 0x5 ? 1 : 2;
            if (found->count <= (table_ - found->at) / unit) {
                std::string_view text = bytes_.substr(found->at, found->count * unit);
                usable = true;
                for (std::size_t at = 0; at < text.size() && usable; at += unit) {
                    usable = unit == 1 ? text[at] != '\0' : (text[at] | text[at + 1]) != 0;
                }
            }
        }
        keys_[index] = usable ? 1 : 2;
        return usable;
    }

    Shape walk(std::uint64_t top) {
        struct Frame {
            std::uint64_t object;
            Children children;
            std::uint64_t next = 0;
            std::uint32_t height = 0;
            std::uint64_t size = 1;
        };
        std::vector<Frame> path;
        auto enter = [&](std::uint64_t object) {
            std::optional<Children> found = children(object);
            if (!found) {
                heights_[object] = 0;
                sizes_[object] = 1;
                return;
            }
            heights_[object] = visiting;
            path.push_back({object, *found});
        };
        enter(top);
        while (!path.empty() && !malformed_) {
            Frame& frame = path.back();
            if (frame.next == frame.children.count) {
                std::uint32_t height = frame.height + 1;
                std::uint64_t size = frame.size;
                heights_[frame.object] = height;
                sizes_[frame.object] = size;
                path.pop_back();
                if (height > PropertyList::maxDepth) {
                    return Shape::tooDeep;
                }
                if (!path.empty()) {
                    path.back().height = std::max(path.back().height, height);
                    path.back().size += size;
                    if (path.back().size > PropertyList::maxValues) {
                        return Shape::tooLarge;
                    }
                }
                continue;
            }
            std::uint64_t child =
                number(frame.children.first + frame.next * referenceSize_, referenceSize_);
            bool key = frame.next < frame.children.keys;
            ++frame.next;
            if (child >= count_ || heights_[child] == visiting || (key && !usableKey(child))) {
                return Shape::malformed;
            }
            if (heights_[child] == unvisited) {
                enter(child);
                if (path.size() > PropertyList::maxDepth) {
                    return Shape::tooDeep;
                }
                continue;
            }
            frame.height = std::max(frame.height, heights_[child]);
            frame.size += sizes_[child];
            if (frame.size > PropertyList::maxValues) {
                return Shape::tooLarge;
            }
        }
        if (malformed_) {
            return Shape::malformed;
        }
        return sizes_[top] > PropertyList::maxValues ? Shape::tooLarge : Shape::fits;
    }

    std::string_view bytes_;
    std::size_t offsetSize_ = 0, referenceSize_ = 0;
    std::uint64_t table_ = 0, count_ = 0;
    bool malformed_ = false;
    std::vector<std::uint32_t> heights_; // per object: its height once walked
    std::vector<std::uint64_t> sizes_;   // per object: the values it expands to once walked
    std::vector<unsigned char> keys_;    // per object: 1 a usable key, 2 not, 0 not looked at
};

Shape shapeOf(std::string_view bytes) {
    if (bytes.starts_with("bplist00")) {
        return BinaryShape(bytes).measure();
    }
    return xmlShape(bytes);
}

const PropertyList& none() {
    static const PropertyList value;
    return value;
}

} // namespace

PropertyList PropertyList::decode(std::string_view bytes, std::string_view origin) {
    switch (shapeOf(bytes)) {
    case Shape::fits:
        break;
    case Shape::tooDeep:
        throw ParseError(std::string(origin) + " is nested deeper than " +
                         std::to_string(maxDepth) + " levels");
    case Shape::tooLarge:
        throw ParseError(std::string(origin) + " expands to more than " +
                         std::to_string(maxValues) + " values");
    case Shape::malformed:
        throw ParseError(std::string(origin) + " is not a property list");
    }
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
