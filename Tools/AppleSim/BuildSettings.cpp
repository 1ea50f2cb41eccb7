#include "BuildSettings.hpp"

#include "Files.hpp"
#include "XcodeProject.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>

namespace AppleSim {

namespace fs = std::filesystem;

namespace {

// A conditional setting "NAME[sdk=iphoneos*][arch=*]" applies to a generic iOS device build
// when every condition matches it.
bool conditionsMatch(const std::string& conditions) {
    std::size_t position = 0;
    while ((position = conditions.find('[', position)) != std::string::npos) {
        std::size_t end = conditions.find(']', position);
        if (end == std::string::npos) {
            return false;
        }
        std::string condition = conditions.substr(position + 1, end - position - 1);
        std::size_t equals = condition.find('=');
        std::string key = condition.substr(0, equals);
        std::string pattern = equals == std::string::npos ? "" : condition.substr(equals + 1);
        std::string value = key == "sdk" ? "iphoneos" : key == "arch" ? "arm64" : "";
        if (key == "sdk" || key == "arch") {
            bool wildcard = !pattern.empty() && pattern.back() == '*';
            std::string stem = wildcard ? pattern.substr(0, pattern.size() - 1) : pattern;
            if (wildcard ? value.rfind(stem, 0) != 0 : value != stem) {
                return false;
            }
        } else if (key != "config") {
            return false;
        }
        position = end + 1;
    }
    return true;
}

// Plain settings first, then the matching conditional ones over them.
std::map<std::string, std::string> applicable(const std::map<std::string, std::string>& raw) {
    std::map<std::string, std::string> plain;
    std::map<std::string, std::string> conditional;
    for (const auto& [key, value] : raw) {
        std::size_t bracket = key.find('[');
        if (bracket == std::string::npos) {
            plain[key] = value;
        } else if (conditionsMatch(key.substr(bracket))) {
            conditional[key.substr(0, bracket)] = value;
        }
    }
    for (const auto& [key, value] : conditional) {
        plain[key] = value;
    }
    return plain;
}

std::string trim(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) {
        return "";
    }
    std::size_t end = text.find_last_not_of(" \t\r;");
    return text.substr(start, end - start + 1);
}

void readXcconfigInto(const fs::path& path, std::map<std::string, std::string>& settings,
                      int depth) {
    std::string text;
    try {
        text = readFile(path);
    } catch (const std::system_error&) {
        return;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::size_t comment = line.find("//"); comment != std::string::npos) {
            line.erase(comment);
        }
        line = trim(line);
        if (line.rfind("#include", 0) == 0) {
            std::size_t open = line.find('"');
            std::size_t close = line.rfind('"');
            if (open != std::string::npos && close > open && depth < 16) {
                fs::path included = line.substr(open + 1, close - open - 1);
                readXcconfigInto(included.is_absolute() ? included : path.parent_path() / included,
                                 settings, depth + 1);
            }
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = trim(line.substr(0, equals));
        if (!key.empty()) {
            settings[key] = trim(line.substr(equals + 1));
        }
    }
}

std::string identifier(const std::string& value, bool allowDots) {
    std::string result;
    for (char c : value) {
        bool keep = std::isalnum(static_cast<unsigned char>(c)) || (allowDots && (c == '.' || c == '-'));
        result += keep ? c : (allowDots ? '-' : '_');
    }
    if (!allowDots && !result.empty() && std::isdigit(static_cast<unsigned char>(result[0]))) {
        result.insert(result.begin(), '_');
    }
    return result;
}

std::string applyOperator(const std::string& value, const std::string& operation) {
    if (operation == "rfc1034identifier") {
        return identifier(value, true);
    }
    if (operation == "c99extidentifier" || operation == "identifier") {
        return identifier(value, false);
    }
    if (operation == "lower" || operation == "upper") {
        std::string result = value;
        for (char& c : result) {
            c = static_cast<char>(operation == "lower" ? std::tolower(static_cast<unsigned char>(c))
                                                       : std::toupper(static_cast<unsigned char>(c)));
        }
        return result;
    }
    if (operation == "base") {
        return fs::path(value).stem().string();
    }
    if (operation == "file") {
        return fs::path(value).filename().string();
    }
    if (operation == "dir") {
        return fs::path(value).parent_path().string();
    }
    if (operation == "suffix") {
        return fs::path(value).extension().string();
    }
    if (operation == "standardizepath") {
        return fs::path(value).lexically_normal().string();
    }
    if (operation.rfind("default=", 0) == 0) {
        return value.empty() ? operation.substr(8) : value;
    }
    return value;
}

} // namespace

std::map<std::string, std::string> readXcconfig(const std::string& path) {
    std::map<std::string, std::string> settings;
    readXcconfigInto(path, settings, 0);
    return settings;
}

BuildSettings::BuildSettings(const Project& project, const Target& target,
                             const std::string& configuration,
                             const std::map<std::string, std::string>& overrides,
                             const std::string& sdkVersion) {
    std::string wrapper = target.isApplication() ? "app"
                          : target.isExtension() ? "appex"
                          : target.productType.find("framework") != std::string::npos
                              ? "framework"
                              : "";
    std::string directory = project.directory().string();
    levels_.push_back({
        {"TARGET_NAME", target.name},
        {"TARGETNAME", target.name},
        {"PROJECT_NAME", project.name},
        {"PROJECT_DIR", directory},
        {"SRCROOT", directory},
        {"SOURCE_ROOT", directory},
        {"PROJECT_FILE_PATH", project.path.string()},
        {"CONFIGURATION", configuration},
        {"PRODUCT_NAME", "$(TARGET_NAME)"},
        {"EXECUTABLE_NAME", "$(PRODUCT_NAME)"},
        {"WRAPPER_EXTENSION", wrapper},
        {"WRAPPER_NAME", "$(PRODUCT_NAME).$(WRAPPER_EXTENSION)"},
        {"FULL_PRODUCT_NAME", "$(WRAPPER_NAME)"},
        {"SDKROOT", "iphoneos"},
        {"PLATFORM_NAME", "iphoneos"},
        {"EFFECTIVE_PLATFORM_NAME", "-iphoneos"},
        {"SDK_VERSION", sdkVersion},
        {"SDK_NAME", "iphoneos" + sdkVersion},
        {"IPHONEOS_DEPLOYMENT_TARGET", sdkVersion},
        {"TARGETED_DEVICE_FAMILY", "1"},
        {"CODE_SIGN_STYLE", "Automatic"},
        {"CODE_SIGN_IDENTITY", "Apple Development"},
        {"ARCHS", "arm64"},
        {"DEVELOPMENT_LANGUAGE", "en"},
        {"SUPPORTED_PLATFORMS", "iphoneos iphonesimulator"},
    });
    const Configuration* projectConfiguration = project.configuration(configuration);
    const Configuration* targetConfiguration = target.configuration(configuration);
    Level projectFile;
    Level targetFile;
    if (projectConfiguration && !projectConfiguration->baseConfiguration.empty()) {
        projectFile = readXcconfig(projectConfiguration->baseConfiguration.string());
    }
    if (targetConfiguration && !targetConfiguration->baseConfiguration.empty()) {
        targetFile = readXcconfig(targetConfiguration->baseConfiguration.string());
    }
    levels_.push_back(applicable(projectFile));
    levels_.push_back(projectConfiguration ? applicable(projectConfiguration->settings) : Level{});
    levels_.push_back(applicable(targetFile));
    levels_.push_back(targetConfiguration ? applicable(targetConfiguration->settings) : Level{});
    levels_.push_back(overrides);
}

std::string BuildSettings::get(const std::string& name) const {
    return resolve(name, levels_.size(), 0);
}

bool BuildSettings::yes(const std::string& name) const {
    std::string value = get(name);
    return value == "YES" || value == "yes" || value == "1" || value == "true";
}

std::string BuildSettings::expand(const std::string& text) const {
    return expandAt(text, "", levels_.size(), 0);
}

std::vector<std::string> BuildSettings::namesStartingWith(const std::string& prefix) const {
    std::set<std::string> names;
    for (const Level& level : levels_) {
        for (const auto& [key, value] : level) {
            if (key.rfind(prefix, 0) == 0) {
                names.insert(key);
            }
        }
    }
    return {names.begin(), names.end()};
}

// The value of `name` as set below level `below`.
std::string BuildSettings::resolve(const std::string& name, std::size_t below, int depth) const {
    if (depth > 32) {
        return "";
    }
    for (std::size_t level = below; level-- > 0;) {
        auto found = levels_[level].find(name);
        if (found != levels_[level].end()) {
            return expandAt(found->second, name, level, depth + 1);
        }
    }
    return "";
}

std::string BuildSettings::expandAt(const std::string& text, const std::string& name,
                                    std::size_t level, int depth) const {
    std::string result;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '$' || index + 1 >= text.size() ||
            (text[index + 1] != '(' && text[index + 1] != '{')) {
            result += text[index];
            continue;
        }
        char close = text[index + 1] == '(' ? ')' : '}';
        // Find the matching bracket, allowing nested references in operators.
        int open = 0;
        std::size_t end = index + 1;
        for (; end < text.size(); ++end) {
            if (text[end] == '(' || text[end] == '{') {
                ++open;
            } else if (text[end] == ')' || text[end] == '}') {
                if (--open == 0) {
                    break;
                }
            }
        }
        if (end >= text.size() || text[end] != close) {
            result += text.substr(index);
            break;
        }
        std::string reference = expandAt(text.substr(index + 2, end - index - 2), name, level, depth + 1);
        std::string variable = reference.substr(0, reference.find(':'));
        std::string value = variable == "inherited" ? resolve(name, level, depth + 1)
                                                    : resolve(variable, levels_.size(), depth + 1);
        std::size_t colon = reference.find(':');
        while (colon != std::string::npos) {
            std::size_t next = reference.find(',', colon + 1);
            value = applyOperator(value, reference.substr(colon + 1, next == std::string::npos
                                                                         ? std::string::npos
                                                                         : next - colon - 1));
            colon = next;
        }
        result += value;
        index = end;
    }
    return result;
}

} // namespace AppleSim
