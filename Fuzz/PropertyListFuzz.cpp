// Property lists from IPAs, profiles and export options, in the XML or the binary form:
// decoding fails with the reader's own error or gives a value whose XML form reads back as it.
#include "FuzzTarget.hpp"
#include "Platform/PropertyList.hpp"

#include <chrono>
#include <cmath>

namespace {

using Platform::PropertyList;

// Equal but for what the XML form keeps less precisely, dates to the second, and taking a NaN
// as equal to a NaN, which the XML form keeps as "nan".
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
    case PropertyList::Kind::real:
        return *lhs.real() == *rhs.real() || (std::isnan(*lhs.real()) && std::isnan(*rhs.real()));
    case PropertyList::Kind::date:
        return std::chrono::floor<std::chrono::seconds>(*lhs.date()) ==
               std::chrono::floor<std::chrono::seconds>(*rhs.date());
    default:
        return lhs == rhs;
    }
}

// Whether any text below `value` holds U+0000, which XML cannot carry at all.
bool holdsNUL(const PropertyList& value) {
    switch (value.kind()) {
    case PropertyList::Kind::dictionary:
        for (const auto& [key, member] : value.fields()) {
            if (key.find('\0') != std::string::npos || holdsNUL(member)) {
                return true;
            }
        }
        return false;
    case PropertyList::Kind::array:
        for (const PropertyList& item : value.items()) {
            if (holdsNUL(item)) {
                return true;
            }
        }
        return false;
    case PropertyList::Kind::string:
        return value.text().find('\0') != std::string::npos;
    default:
        return false;
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
    if (holdsNUL(value)) {
        // A binary list's UTF-16 text may hold it; its XML form cannot.
        return 0;
    }
    PropertyList again = PropertyList::decode(xml);
    FUZZ_CHECK(sameValue(again, value));
    // Once written, the XML form is a fixed point.
    FUZZ_CHECK(again.xml() == xml);
    return 0;
}
