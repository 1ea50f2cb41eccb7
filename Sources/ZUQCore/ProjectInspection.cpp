// Turning a path typed by the user into a Project record by asking Xcode what it holds.
#include "Platform/Host.hpp"
#include "Platform/Random.hpp"
#include "Platform/Text.hpp"
#include "ProcessRunner.hpp"
#include "Storage.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr double listingTimeout = 600;
constexpr double nestedListingTimeout = 180;

// "~" expanded, made absolute against the current directory, "." and ".." removed as text,
// then symbolic links resolved. The text is resolved before the links on purpose: "x/.." is
// the folder the user typed, not the parent of wherever x leads.
fs::path resolve(const std::string& typed) {
    fs::path expanded = Platform::expandingTilde(typed);
    fs::path path =
        (expanded.empty() ? fs::current_path() : fs::absolute(expanded)).lexically_normal();
    // A trailing slash (a completed folder name) leaves an empty last component.
    if (path.filename().empty() && path.has_relative_path()) {
        path = path.parent_path();
    }
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

// The string elements of `list`, in order; other elements are skipped.
std::vector<std::string> texts(const JSON& list) {
    std::vector<std::string> result;
    for (const JSON& item : list.items()) {
        if (auto text = item.string()) {
            result.push_back(std::move(*text));
        }
    }
    return result;
}

// Where the JSON text that starts with the '{' at `start` ends (one past its matching '}'),
// braces inside strings not counted; nothing when it does not end.
std::optional<std::size_t> objectEnd(std::string_view text, std::size_t start) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t at = start; at < text.size(); ++at) {
        char c = text[at];
        if (inString) {
            if (c == '\\') {
                ++at;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return at + 1;
        }
    }
    return std::nullopt;
}

// The one JSON object in what xcodebuild printed. Its build service writes status lines on
// standard output too ("build session not created after 15 seconds - still waiting"), before
// or after the document, so the object is found from a '{' to its matching '}': the first one
// that describes a project or a workspace, else the first that decodes. Without one the whole
// output is decoded, for the decoder's own account of what is wrong.
JSON listedObject(const std::string& output) {
    std::optional<JSON> first;
    for (std::size_t start = output.find('{'); start != std::string::npos;
         start = output.find('{', start + 1)) {
        std::optional<std::size_t> end = objectEnd(output, start);
        if (!end) {
            continue;
        }
        try {
            JSON object = JSON::decode(std::string_view(output).substr(start, *end - start));
            if (!object["project"].isNull() || !object["workspace"].isNull()) {
                return object;
            }
            if (!first) {
                first = std::move(object);
            }
        } catch (const JSON::ParseError&) {
            // Braces of a status line, not the document.
        }
        start = *end - 1; // nothing inside an object is the document: look past it
    }
    return first ? std::move(*first) : JSON::decode(output);
}

JSON listing(const std::vector<std::string>& selection, double timeout, std::stop_token stop) {
    std::vector<std::string> arguments{"xcodebuild", "-list", "-json"};
    arguments.insert(arguments.end(), selection.begin(), selection.end());
    ProcessResult result =
        ProcessRunner::run("/usr/bin/xcrun", arguments, std::nullopt, std::nullopt, timeout,
                           std::nullopt, ProcessRunner::Failure::raised, stop);
    return listedObject(result.output);
}

// The configurations of the projects beside a workspace that lists none itself. A sibling
// that cannot be listed is passed over.
std::vector<std::string> siblingConfigurations(const fs::path& bundle, std::stop_token stop) {
    std::vector<std::string> configurations;
    std::error_code error;
    fs::directory_iterator entries(bundle.parent_path(), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::path& sibling = entries->path();
        if (sibling.extension() != ".xcodeproj") {
            continue;
        }
        try {
            JSON nested = listing({"-project", sibling.string()}, nestedListingTimeout, stop);
            auto found = texts(nested["project"]["configurations"]);
            configurations.insert(configurations.end(), found.begin(), found.end());
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception&) {
            continue;
        }
    }
    return configurations;
}

std::string newProjectID() {
    std::string id = Platform::newUUID();
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return id;
}

} // namespace

Project ProjectStore::inspect(const std::string& path, const std::optional<std::string>& name,
                              const std::optional<std::string>& team,
                              const std::optional<std::string>& exportOptions, Signing signing,
                              std::stop_token stop) {
    fs::path bundle = resolve(path);
    std::string extension = bundle.extension().string();
    std::error_code error;
    if ((extension != ".xcodeproj" && extension != ".xcworkspace") || !fs::exists(bundle, error)) {
        throw ZUQError("Select an existing .xcodeproj or .xcworkspace.");
    }
    // The registry is JSON text; a path it cannot hold byte for byte would be stored changed.
    if (!Platform::isValidUTF8(bundle.string())) {
        throw ZUQError("The project's path is not valid UTF-8: rename it and try again.");
    }
    bool workspace = extension == ".xcworkspace";

    JSON listed =
        listing({workspace ? "-workspace" : "-project", bundle.string()}, listingTimeout, stop);
    const JSON& description =
        !listed["workspace"].isNull() ? listed["workspace"] : listed["project"];
    std::vector<std::string> schemes = texts(description["schemes"]);
    if (schemes.empty()) {
        throw ZUQError("No schemes found. Share your app scheme in Xcode and try again.");
    }
    std::vector<std::string> configurations = texts(description["configurations"]);
    if (configurations.empty()) {
        configurations = siblingConfigurations(bundle, stop);
    }
    if (configurations.empty()) {
        configurations = {"Debug", "Release"};
    }
    std::sort(configurations.begin(), configurations.end());
    configurations.erase(std::unique(configurations.begin(), configurations.end()),
                         configurations.end());

    std::string id;
    for (const Project& registered : load()) {
        if (registered.path == bundle.string()) {
            id = registered.id;
            break;
        }
    }
    if (id.empty()) {
        id = newProjectID();
    }

    // The agent that builds the project runs elsewhere than the shell that registered it, so
    // a relative export-options path is pinned to the folder it was typed in.
    std::optional<std::string> exportOptionsPath = exportOptions;
    if (exportOptions && !exportOptions->empty()) {
        exportOptionsPath =
            fs::absolute(Platform::expandingTilde(*exportOptions)).lexically_normal().string();
    }
    return Project{
        std::move(id),
        name.value_or(bundle.stem().string()),
        bundle.string(),
        std::move(schemes),
        std::move(configurations),
        team,
        std::move(exportOptionsPath),
        signing == Signing::automatic,
    };
}
