// The old-style (OpenStep) text property list that Xcode writes project.pbxproj in:
// { key = value; }, ( a, b, ), "quoted" or bare strings, <hex data>, and C comments.
#pragma once

#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace AppleSim {

/// A syntax error, with the line it was found on.
class PlistSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Parses the whole text into JSON: dictionaries become objects, arrays arrays, and strings
/// and data (as hex text) strings. Throws PlistSyntaxError for anything malformed, including
/// text after the top-level value.
nlohmann::json parseOldStylePlist(std::string_view text);

} // namespace AppleSim
