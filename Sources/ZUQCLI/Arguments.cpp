#include "Arguments.hpp"

#include "JSON.hpp"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<std::string_view, 7> booleanFlags = {
    "--json", "--local", "--wait", "--follow", "--manual", "--help", "--version",
};

constexpr std::array<std::string_view, 18> valueOptions = {
    "--server",      "--name",          "--device-name",     "--bootstrap-file",
    "--invite-file", "--invite",        "--team",            "--export-options",
    "--builder",     "--receiver",      "--device",          "--project",
    "--scheme",      "--configuration", "--mode",            "--timeout",
    "--max-build-bytes", "--max-app-bytes",
};

bool among(const auto& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

} // namespace

Arguments::Arguments(const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (among(booleanFlags, argument)) {
            flags.insert(argument);
        } else if (among(valueOptions, argument)) {
            if (i + 1 == arguments.size() || arguments[i + 1].starts_with("--")) {
                throw ZUQError("Missing value for " + argument);
            }
            values[argument] = arguments[++i];
        } else if (argument.starts_with("-")) {
            throw ZUQError("Unknown option: " + argument);
        } else {
            positional.push_back(argument);
        }
    }
}

const std::string& Arguments::require(std::string_view name) const {
    auto found = values.find(name);
    if (found == values.end() || found->second.empty()) {
        throw ZUQError("Required option: " + std::string(name));
    }
    return found->second;
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    auto found = values.find(name);
    if (found == values.end()) {
        return std::nullopt;
    }
    return found->second;
}
