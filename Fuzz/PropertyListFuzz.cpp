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

// Whether `value` or anything below it, dictionary keys read as texts, is `wanted`.
template <typename Wanted>
bool holds(const PropertyList& value, Wanted wanted) {
    switch (value.kind()) {
    case PropertyList::Kind::dictionary:
        for (const auto& [key, member] : value.fields()) {
            if (wanted(PropertyList(key)) || holds(member, wanted)) {
                return true;
            }
        }
        return false;
    case PropertyList::Kind::array:
        for (const PropertyList& item : value.items()) {
            if (holds(item, wanted)) {
                return true;
            }
        }
        return false;
    default:
        return wanted(value);
    }
}

// A binary list's UTF-16 text may hold U+0000, which its XML form cannot carry.
bool textWithNUL(const PropertyList& value) {
    return value.kind() == PropertyList::Kind::string &&
           value.text().find('\0') != std::string::npos;
}

// A binary list's date is any double; the XML form writes four-digit years.
bool farDate(const PropertyList& value) {
    if (value.kind() != PropertyList::Kind::date) {
        return false;
    }
    int year = int(
        std::chrono::year_month_day(std::chrono::floor<std::chrono::days>(*value.date())).year());
    return year < 0 || year > 9999;
}

template <typename Action>
bool throwsInvalidArgument(Action action) {
    try {
        action();
    } catch (const std::invalid_argument&) {
        return true;
    }
    return false;
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
    if (holds(value, farDate)) {
        FUZZ_CHECK(throwsInvalidArgument([&] { (void)value.xml(); }));
        return 0;
    }
    std::string xml = value.xml();
    if (holds(value, textWithNUL)) {
        return 0;
    }
    PropertyList again = PropertyList::decode(xml);
    FUZZ_CHECK(sameValue(again, value));
    // Once written, the XML form is a fixed point.
    FUZZ_CHECK(again.xml() == xml);
    return 0;
}
