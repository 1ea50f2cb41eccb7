// The command line as three collections: positional words, option values and flags.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

/// The parsed arguments of one invocation (without the program name). The parser knows every
/// option of the program but not which command uses which: commands look up what they need,
/// and an option a command does not use is accepted and ignored.
struct Arguments {
    /// Parses left to right and stops at the first error, throwing ZUQError with
    /// "Unknown option: <arg>" or "Missing value for <option>". A value option takes the next
    /// argument unless that begins with "--"; the last occurrence of an option wins.
    explicit Arguments(const std::vector<std::string>& arguments);

    std::vector<std::string> positional;
    /// Keyed by the option as typed, with its leading "--".
    std::map<std::string, std::string, std::less<>> values;
    std::set<std::string, std::less<>> flags;

    /// The value of `name` when given and not empty; otherwise throws ZUQError
    /// "Required option: <name>".
    const std::string& require(std::string_view name) const;
    /// The value of `name` when given (even if empty).
    std::optional<std::string> value(std::string_view name) const;
    bool flag(std::string_view name) const { return flags.contains(name); }
};
