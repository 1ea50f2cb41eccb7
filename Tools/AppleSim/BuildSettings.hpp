// Build settings of one target in one configuration, resolved as Xcode resolves them: its
// defaults, then the project's configuration (with its .xcconfig), the target's configuration
// (with its .xcconfig) and the command line, each level able to refer to the one below with
// $(inherited). Values expand $(NAME), ${NAME} and operators such as $(NAME:rfc1034identifier).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace AppleSim {

struct Project;
struct Target;

class BuildSettings {
public:
    /// `overrides` are the NAME=value words of the command line.
    BuildSettings(const Project& project, const Target& target, const std::string& configuration,
                  const std::map<std::string, std::string>& overrides,
                  const std::string& sdkVersion);

    /// The expanded value of `name`; empty when unset.
    std::string get(const std::string& name) const;
    /// Whether `name` is YES.
    bool yes(const std::string& name) const;
    /// `text` with every $(NAME) expanded.
    std::string expand(const std::string& text) const;
    /// The names set at any level that start with `prefix`, sorted.
    std::vector<std::string> namesStartingWith(const std::string& prefix) const;

private:
    using Level = std::map<std::string, std::string>;
    std::string resolve(const std::string& name, std::size_t below, int depth) const;
    std::string expandAt(const std::string& text, const std::string& name, std::size_t level,
                         int depth) const;

    std::vector<Level> levels_; // lowest first
};

/// The settings in an .xcconfig file (following #include lines); empty when unreadable.
std::map<std::string, std::string> readXcconfig(const std::string& path);

} // namespace AppleSim
