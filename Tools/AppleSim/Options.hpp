// A small parser for "--name value" and "--flag" options, shared by the control command and
// the tools whose real counterparts take long options.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace AppleSim {

/// An unknown option or a missing value; each caller words it as its tool would.
class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ParsedOptions {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;

    std::optional<std::string> value(const std::string& name) const;
    bool flag(const std::string& name) const { return flags.count(name) > 0; }
};

/// Splits `arguments` into options that take a value (`valued`), flags (`flags`) and positional
/// words; every word after a "--" is positional. Throws OptionError "unknown option X" or
/// "missing value for X".
ParsedOptions parseOptions(const std::vector<std::string>& arguments,
                           const std::set<std::string>& valued, const std::set<std::string>& flags);

/// Joins words with spaces, as a message quotes a command.
std::string joinWords(const std::vector<std::string>& words);

/// A byte count with an optional K, M or G suffix (powers of 1024, an optional "iB" or "B"
/// after it). Returns nothing for anything else.
std::optional<std::uint64_t> parseSize(const std::string& text);

/// A non-negative decimal number of seconds or days. Returns nothing for anything else.
std::optional<double> parseNumber(const std::string& text);

} // namespace AppleSim
