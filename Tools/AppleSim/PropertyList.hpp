// Property lists (XML and binary) through libplist, held as JSON values while the simulator
// works on them: dictionaries, arrays, strings, booleans and numbers map directly, data
// becomes a JSON binary value and a date the object {"$date": seconds since 1970}.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace AppleSim::PropertyList {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Parses XML or binary property-list bytes. Throws Error for anything else.
nlohmann::json parse(std::string_view bytes);

/// Parses a file; throws Error (unreadable or malformed), naming the file.
nlohmann::json read(const std::string& path);

std::string xml(const nlohmann::json& value);
std::string binary(const nlohmann::json& value);

/// A date value for `seconds` since 1970, and the seconds of a date value.
nlohmann::json date(double seconds);
std::optional<double> dateSeconds(const nlohmann::json& value);

/// A data value holding `bytes`, and the bytes of a data value.
nlohmann::json data(std::string_view bytes);
std::optional<std::string> dataBytes(const nlohmann::json& value);

/// The string at `key` of a dictionary, or `fallback` when missing or not a string.
std::string text(const nlohmann::json& dictionary, const std::string& key,
                 const std::string& fallback = "");

} // namespace AppleSim::PropertyList
