#include "Options.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace AppleSim {

std::optional<std::string> ParsedOptions::value(const std::string& name) const {
    auto found = values.find(name);
    if (found == values.end()) {
        return std::nullopt;
    }
    return found->second;
}

ParsedOptions parseOptions(const std::vector<std::string>& arguments,
                           const std::set<std::string>& valued,
                           const std::set<std::string>& flags) {
    ParsedOptions parsed;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (!optionsEnded && word == "--") {
            optionsEnded = true; // everything after "--" is positional, even "-x"
        } else if (!optionsEnded && word.size() > 1 && word[0] == '-') {
            if (valued.count(word)) {
                if (index + 1 >= arguments.size()) {
                    throw OptionError("missing value for " + word);
                }
                parsed.values[word] = arguments[++index];
            } else if (flags.count(word)) {
                parsed.flags.insert(word);
            } else {
                throw OptionError("unknown option " + word);
            }
        } else {
            parsed.positional.push_back(word);
        }
    }
    return parsed;
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

std::optional<std::uint64_t> parseSize(const std::string& text) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 15) {
        return std::nullopt;
    }
    std::uint64_t count = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    std::string suffix = text.substr(digits);
    std::uint64_t unit = 1;
    if (!suffix.empty()) {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(suffix[0])));
        std::string rest = suffix.substr(1);
        if (letter == 'K') {
            unit = 1ull << 10;
        } else if (letter == 'M') {
            unit = 1ull << 20;
        } else if (letter == 'G') {
            unit = 1ull << 30;
        } else if (letter == 'B' && rest.empty()) {
            unit = 1;
        } else {
            return std::nullopt;
        }
        if (!rest.empty() && rest != "B" && rest != "iB") {
            return std::nullopt;
        }
    }
    return count * unit;
}

std::optional<double> parseNumber(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    return value;
}

} // namespace AppleSim
