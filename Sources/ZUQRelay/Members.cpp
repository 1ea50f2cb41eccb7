#include "Members.hpp"

#include "Refusal.hpp"

#include <algorithm>
#include <cmath>

namespace ZUQRelay::Members {

namespace {

std::string quoted(std::string_view name) {
    std::string text = "Member \"";
    text += name;
    text += '"';
    return text;
}

bool isContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

const std::string& string(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::string) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be a string");
    }
    return value.text();
}

const std::string& string(const JSON& body, std::string_view name, std::size_t limit) {
    const std::string& text = string(body, name);
    if (text.size() > limit && characterCount(text) > limit) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " is too long (at most " +
                                                    std::to_string(limit) + " characters)");
    }
    if (text.find('\0') != std::string::npos) {
        throw Refusal(Refusal::Reason::invalid,
                      quoted(name) + " must not contain the NUL character");
    }
    return text;
}

std::string withoutNUL(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (char byte : text) {
        if (byte == '\0') {
            kept += "\xEF\xBF\xBD";
        } else {
            kept += byte;
        }
    }
    return kept;
}

const JSON& object(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::object) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be an object");
    }
    return value;
}

const JSON::Array& array(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::array) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be an array");
    }
    return value.items();
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (!isContinuation(text[index]) && characters++ == count) {
            return std::string(text.substr(0, index));
        }
    }
    return std::string(text);
}

std::string firstBytes(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return std::string(text);
    }
    std::size_t end = bytes;
    while (end > 0 && isContinuation(text[end])) {
        --end;
    }
    return std::string(text.substr(0, end));
}

namespace {

// One value of an inventory with its texts cut to `characters` and its lists and nesting
// bounded; `depth` is the value's own level (the inventory's members are at level 1).
JSON cutValue(const JSON& value, std::size_t characters, std::size_t items, std::size_t depth) {
    switch (value.kind()) {
    case JSON::Kind::string:
        if (value.text().size() <= characters) {
            return value;
        }
        return JSON(firstCharacters(value.text(), characters));
    case JSON::Kind::array: {
        if (depth >= inventoryDepth) {
            return JSON();
        }
        JSON::Array kept;
        const JSON::Array& all = value.items();
        for (std::size_t index = 0; index < all.size() && index < items; ++index) {
            kept.push_back(cutValue(all[index], characters, inventoryItems, depth + 1));
        }
        return JSON(std::move(kept));
    }
    case JSON::Kind::object: {
        if (depth >= inventoryDepth) {
            return JSON();
        }
        JSON::Object kept;
        for (const auto& [name, member] : value.fields()) {
            if (kept.size() == inventoryItems) {
                break;
            }
            // A name cut short could meet another; a name that long is no real member.
            if (name.size() <= characters || characterCount(name) <= characters) {
                kept.emplace(name, cutValue(member, characters, inventoryItems, depth + 1));
            }
        }
        return JSON(std::move(kept));
    }
    default:
        return value;
    }
}

std::size_t listLimit(std::string_view name) {
    if (name == "phones") {
        return inventoryPhones;
    }
    return name == "projects" ? inventoryProjects : inventoryItems;
}

JSON::Object cutInventory(const JSON& inventory, std::size_t characters, bool listsOnly) {
    JSON::Object kept;
    // The two lists first, then other members while there is room: an inventory of many
    // thousand members costs no more to cut than one of a few hundred.
    for (const char* name : {"phones", "projects"}) {
        if (auto found = inventory.fields().find(name); found != inventory.fields().end()) {
            kept.emplace(name, cutValue(found->second, characters, listLimit(name), 1));
        }
    }
    if (listsOnly) {
        return kept;
    }
    for (const auto& [name, member] : inventory.fields()) {
        if (kept.size() >= inventoryItems) {
            break;
        }
        if (name != "phones" && name != "projects" &&
            (name.size() <= characters || characterCount(name) <= characters)) {
            kept.emplace(name, cutValue(member, characters, listLimit(name), 1));
        }
    }
    return kept;
}

// Whether cutValue would keep `value` as it is.
bool withinLimits(const JSON& value, std::size_t items, std::size_t depth) {
    switch (value.kind()) {
    case JSON::Kind::string:
        return value.text().size() <= inventoryCharacters ||
               characterCount(value.text()) <= inventoryCharacters;
    case JSON::Kind::array:
        if (depth >= inventoryDepth || value.items().size() > items) {
            return false;
        }
        for (const JSON& item : value.items()) {
            if (!withinLimits(item, inventoryItems, depth + 1)) {
                return false;
            }
        }
        return true;
    case JSON::Kind::object:
        if (depth >= inventoryDepth || value.fields().size() > inventoryItems) {
            return false;
        }
        for (const auto& [name, member] : value.fields()) {
            if (name.size() > inventoryCharacters ||
                !withinLimits(member, inventoryItems, depth + 1)) {
                return false;
            }
        }
        return true;
    default:
        return true;
    }
}

std::size_t encodedSize(const JSON& value) {
    return value.data().size();
}

} // namespace

JSON boundedInventory(const JSON& inventory, std::size_t bytes) {
    if (inventory.kind() != JSON::Kind::object) {
        return JSON::object();
    }
    for (std::size_t characters : {inventoryCharacters, std::size_t(250), std::size_t(64)}) {
        JSON kept(cutInventory(inventory, characters, false));
        if (encodedSize(kept) < bytes) {
            return kept;
        }
    }
    // Only a report made to be large gets here: keep the lists, and as many of their items
    // as fit, phones before projects.
    JSON::Object lists = cutInventory(inventory, 64, true);
    // "phones" or "projects" that is not a list is no report a Mac sends, and an object has no
    // items to drop from its end: it goes whole.
    std::erase_if(lists,
                  [](const auto& member) { return member.second.kind() != JSON::Kind::array; });
    std::size_t size = encodedSize(JSON(lists));
    for (const char* name : {"projects", "phones"}) {
        auto found = lists.find(name);
        if (found == lists.end()) {
            continue;
        }
        JSON::Array items = found->second.items();
        while (size >= bytes && !items.empty()) {
            // The item and the comma before it.
            size -= std::min(size, encodedSize(items.back()) + 1);
            items.pop_back();
        }
        found->second = JSON(std::move(items));
    }
    return JSON(std::move(lists));
}

std::string boundedInventoryText(const JSON& inventory, std::size_t bytes) {
    if (inventory.kind() == JSON::Kind::object) {
        bool within = inventory.fields().size() <= inventoryItems;
        for (const auto& [name, member] : inventory.fields()) {
            if (name.size() > inventoryCharacters || !withinLimits(member, listLimit(name), 1)) {
                within = false;
                break;
            }
        }
        if (within) {
            std::string text = inventory.data();
            if (text.size() < bytes) {
                return text;
            }
        }
    }
    return boundedInventory(inventory, bytes).data();
}

std::size_t characterCount(std::string_view text) {
    std::size_t characters = 0;
    for (char byte : text) {
        characters += isContinuation(byte) ? 0 : 1;
    }
    return characters;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

double timestamp(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

} // namespace ZUQRelay::Members
