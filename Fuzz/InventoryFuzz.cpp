// What a Mac's heartbeat makes the relay keep: any inventory is cut to within every limit,
// cutting again changes nothing, and the quick path for reports already within them writes
// the same text as the cut.
#include "FuzzTarget.hpp"
#include "Members.hpp"

namespace {

using namespace ZUQRelay::Members;

// Whether every text, member name and list below `value` (at nesting `depth`) is within the
// limits, `items` being the limit of `value` itself when it is a list.
bool withinLimits(const JSON& value, std::size_t items, std::size_t depth) {
    switch (value.kind()) {
    case JSON::Kind::string:
        return characterCount(value.text()) <= inventoryCharacters;
    case JSON::Kind::array:
        if (depth > inventoryDepth - 1 || value.items().size() > items) {
            return false;
        }
        for (const JSON& item : value.items()) {
            if (!withinLimits(item, inventoryItems, depth + 1)) {
                return false;
            }
        }
        return true;
    case JSON::Kind::object:
        if (depth > inventoryDepth - 1 || value.fields().size() > inventoryItems) {
            return false;
        }
        for (const auto& [name, member] : value.fields()) {
            if (characterCount(name) > inventoryCharacters ||
                !withinLimits(member, inventoryItems, depth + 1)) {
                return false;
            }
        }
        return true;
    default:
        return true;
    }
}

std::size_t listLimit(std::string_view name) {
    return name == "phones" ? inventoryPhones
           : name == "projects" ? inventoryProjects
                                : inventoryItems;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JSON reported;
    try {
        reported = JSON::decode(Fuzz::text(data, size));
    } catch (const JSON::ParseError&) {
        return 0;
    }
    JSON kept = boundedInventory(reported);
    FUZZ_CHECK(kept.kind() == JSON::Kind::object);
    FUZZ_CHECK(kept.fields().size() <= inventoryItems);
    std::string text = kept.data();
    FUZZ_CHECK(text.size() < inventoryBytes);
    for (const auto& [name, member] : kept.fields()) {
        FUZZ_CHECK(characterCount(name) <= inventoryCharacters);
        FUZZ_CHECK(withinLimits(member, listLimit(name), 1));
    }
    // What was within the limits in a report of a sensible size is kept as it came: the
    // phone records a Mac really sends.
    if (reported.kind() == JSON::Kind::object && reported.data().size() < inventoryBytes / 2 &&
        reported.fields().size() <= inventoryItems) {
        for (const auto& [name, member] : reported.fields()) {
            if (name.size() <= inventoryCharacters && withinLimits(member, listLimit(name), 1)) {
                FUZZ_CHECK(kept[name] == member);
            }
        }
    }
    FUZZ_CHECK(boundedInventory(kept) == kept);
    FUZZ_CHECK(boundedInventoryText(reported) == text);
    FUZZ_CHECK(boundedInventoryText(kept) == text);
    return 0;
}
