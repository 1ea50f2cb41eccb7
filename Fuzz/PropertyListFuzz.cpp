// Property lists from IPAs, profiles and export options, in the XML or the binary form:
// decoding fails with the reader's own error or gives a value whose XML form reads back as it.
#include "FuzzTarget.hpp"
#include "Platform/PropertyList.hpp"

#include <chrono>

namespace {

using Platform::PropertyList;

// Equal but for what the XML form keeps less precisely: dates to the second.
bool sameValue(const PropertyList& lhs, const PropertyList& rhs) {
    if (lhs.kind() != rhs.kind()) {
        return false;
    }
    switch (lhs.kind()) {
    case PropertyList::Kind::dictionary: {
        if (lhs.fields().size() != rhs.fields().size()) {
            return false;
        }
        for (const auto& [key, member] : lhs.fields()) {
            auto other = rhs.fields().find(key);
            if (other == rhs.fields().end() || !sameValue(member, other->second)) {
                return false;
            }
        }
        return true;
    }
    case PropertyList::Kind::array: {
        if (lhs.items().size() != rhs.items().size()) {
            return false;
        }
        for (std::size_t index = 0; index < lhs.items().size(); ++index) {
            if (!sameValue(lhs.items()[index], rhs.items()[index])) {
                return false;
            }
        }
        return true;
    }
    case PropertyList::Kind::date:
        return std::chrono::floor<std::chrono::seconds>(*lhs.date()) ==
               std::chrono::floor<std::chrono::seconds>(*rhs.date());
    default:
        return lhs == rhs;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PropertyList value;
    try {
        value = PropertyList::decode(Fuzz::text(data, size));
    } catch (const PropertyList::ParseError&) {
        return 0;
    }
    FUZZ_CHECK(!value.isNone());
    std::string xml = value.xml();
    PropertyList again = PropertyList::decode(xml);
    FUZZ_CHECK(sameValue(again, value));
    // Once written, the XML form is a fixed point.
    FUZZ_CHECK(again.xml() == xml);
    return 0;
}
