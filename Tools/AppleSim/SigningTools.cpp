// codesign, security and ditto: the macOS tools that check and unpack a signed app.
#include "Tools.hpp"

#include "CodeSignature.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "Options.hpp"
#include "Profiles.hpp"
#include "PropertyList.hpp"
#include "World.hpp"
#include "Zip.hpp"

#include <filesystem>
#include <iostream>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

[[noreturn]] void notSimulated(const std::string& tool, const std::vector<std::string>& arguments,
                               const std::string& known, int status = 1) {
    throw ToolFailure("apple-sim: `" + tool + " " + joinWords(arguments) +
                          "` is not simulated; " + tool + " knows " + known,
                      status);
}

// An XML property list as codesign prints entitlements: no line breaks or indentation between
// elements, and Apple's DTD address with https.
std::string oneLine(const std::string& xml) {
    std::string text;
    for (std::size_t at = 0; at < xml.size(); ++at) {
        if (xml[at] == '\n' && at > 0 && xml[at - 1] == '>') {
            std::size_t next = xml.find_first_not_of("\t ", at + 1);
            if (next == std::string::npos || xml[next] == '<') {
                at = (next == std::string::npos ? xml.size() : next) - 1;
                continue;
            }
        }
        text += xml[at];
    }
    const std::string http = "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"";
    if (std::size_t dtd = text.find(http); dtd != std::string::npos) {
        text.replace(dtd, http.size(), "\"https://www.apple.com/DTDs/PropertyList-1.0.dtd\"");
    }
    return text;
}

bool verbose(const ParsedOptions& options) {
    for (const char* flag : {"-v", "--verbose", "-vv", "-vvv", "--verbose=2", "--verbose=4"}) {
        if (options.flag(flag)) {
            return true;
        }
    }
    return false;
}

int verifyBundles(const ParsedOptions& options) {
    if (options.positional.empty()) {
        throw ToolFailure("Usage: codesign --verify [--deep] [--strict] path ...", 2);
    }
    int status = 0;
    for (const std::string& path : options.positional) {
        std::error_code error;
        if (!fs::exists(path, error)) {
            std::cerr << path << ": No such file or directory\n";
            status = 1;
            continue;
        }
        std::string problem;
        if (!CodeSignature::verify(fs::path(path), problem)) {
            std::cerr << problem << "\n";
            status = 1;
        } else if (verbose(options)) {
            std::cerr << path << ": valid on disk\n" << path
                      << ": satisfies its Designated Requirement\n";
        }
    }
    return status;
}

int display(const ParsedOptions& options) {
    if (options.positional.size() != 1) {
        throw ToolFailure("Usage: codesign -d [--entitlements :-] [-v] path", 2);
    }
    fs::path path = options.positional.front();
    std::error_code error;
    if (!fs::exists(path, error)) {
        throw ToolFailure(path.string() + ": No such file or directory");
    }
    std::string problem;
    std::optional<CodeSignature::Info> info = CodeSignature::read(path, problem);
    if (!info) {
        throw ToolFailure(problem);
    }
    std::cerr << "Executable=" << info->executable.string() << "\n";
    if (verbose(options)) {
        std::cerr << "Identifier=" << info->identifier << "\nFormat=app bundle with Mach-O thin (arm64)\n"
                  << "Authority=" << Crypto::commonName(info->signer) << "\n"
                  << "Authority=Simulated Apple Root CA\nTeamIdentifier=" << info->teamID << "\n";
    }
    std::optional<std::string> entitlements = options.value("--entitlements");
    if (entitlements) {
        if (*entitlements != ":-" && *entitlements != "-") {
            notSimulated("codesign", {"--entitlements", *entitlements}, "--entitlements :- and -");
        }
        // Current codesign still honours ":-" (the blob without its header) but warns, and
        // prints the property list on one line.
        if (entitlements->front() == ':') {
            std::cerr << "Warning: Specifying ':' in the path is deprecated and will not work in "
                         "a future release\n";
        }
        std::cout << oneLine(PropertyList::xml(info->entitlements));
    }
    return 0;
}

} // namespace

int codesign(const std::vector<std::string>& arguments) {
    ParsedOptions options;
    try {
        options = parseOptions(arguments, {"--entitlements", "-r", "-R"},
                               {"--verify", "-d", "--display", "--deep", "--strict", "-v",
                                "--verbose", "-vv", "-vvv", "-dv", "-dvv", "-dvvv", "--xml",
                                "--verbose=2", "--verbose=4", "--no-strict"});
    } catch (const OptionError& error) {
        notSimulated("codesign", arguments, "--verify and -d [--entitlements :-]", 2);
    }
    for (const char* combined : {"-dv", "-dvv", "-dvvv"}) {
        if (options.flag(combined)) {
            options.flags.insert("-d");
            options.flags.insert("-v");
        }
    }
    if (options.flag("--verify")) {
        return verifyBundles(options);
    }
    if (options.flag("-d") || options.flag("--display")) {
        return display(options);
    }
    notSimulated("codesign", arguments, "--verify and -d [--entitlements :-]", 2);
}

namespace {

int decodeProfile(const std::vector<std::string>& arguments) {
    ParsedOptions options;
    try {
        options = parseOptions(arguments, {"-i", "-o"}, {"-D", "-n"});
    } catch (const OptionError&) {
        notSimulated("security cms", arguments, "cms -D -i FILE [-o FILE]");
    }
    std::optional<std::string> input = options.value("-i");
    if (!options.flag("-D") || !input || !options.positional.empty()) {
        notSimulated("security cms", arguments, "cms -D -i FILE [-o FILE]");
    }
    std::string bytes;
    try {
        bytes = readFile(*input);
    } catch (const std::system_error& error) {
        throw ToolFailure("security: " + *input + ": " + error.code().message());
    }
    std::string problem;
    std::optional<json> content = Profiles::decode(bytes, problem);
    if (!content) {
        throw ToolFailure(problem == "not a CMS message"
                              ? "security: failed to decode message"
                              : "security: CMS signature verification failed: " + problem);
    }
    std::string xml = PropertyList::xml(*content);
    if (std::optional<std::string> output = options.value("-o")) {
        writeFile(*output, xml);
    } else {
        std::cout << xml;
    }
    return 0;
}

int findIdentity(const std::vector<std::string>& arguments) {
    ParsedOptions options;
    try {
        options = parseOptions(arguments, {"-p"}, {"-v"});
    } catch (const OptionError&) {
        notSimulated("security find-identity", arguments, "find-identity [-v] [-p codesigning]");
    }
    std::string policy = options.value("-p").value_or("codesigning");
    if (policy != "codesigning" || !options.positional.empty()) {
        notSimulated("security find-identity", arguments, "find-identity [-v] [-p codesigning]");
    }
    WorldState world = World::read();
    double now = world.now();
    std::vector<Identity> identities = world.team ? world.team->identities : std::vector<Identity>{};
    auto valid = [&](const Identity& identity) {
        return identity.notBefore <= now && now < identity.notAfter;
    };
    auto list = [&](bool onlyValid) {
        std::string text;
        int number = 0;
        for (const Identity& identity : identities) {
            if (onlyValid && !valid(identity)) {
                continue;
            }
            text += "  " + std::to_string(++number) + ") " + identity.sha1 + " \"" + identity.name +
                    "\"" + (valid(identity) ? "" : " (CSSMERR_TP_CERT_EXPIRED)") + "\n";
        }
        return std::make_pair(text, number);
    };
    if (options.flag("-v")) {
        auto [text, count] = list(true);
        std::cout << text << "     " << count << " valid identities found\n";
        return 0;
    }
    auto [all, total] = list(false);
    auto [validText, validCount] = list(true);
    std::cout << "\nPolicy: Code Signing\n  Matching identities\n" << all << "     " << total
              << " identities found\n\n  Valid identities only\n" << validText << "     "
              << validCount << " valid identities found\n";
    return 0;
}

} // namespace

int security(const std::vector<std::string>& arguments) {
    if (!arguments.empty() && arguments[0] == "cms") {
        return decodeProfile({arguments.begin() + 1, arguments.end()});
    }
    if (!arguments.empty() && arguments[0] == "find-identity") {
        return findIdentity({arguments.begin() + 1, arguments.end()});
    }
    notSimulated("security", arguments, "cms -D -i FILE and find-identity -v -p codesigning");
}

int ditto(const std::vector<std::string>& arguments) {
    bool extract = false;
    bool zip = false;
    std::vector<std::string> paths;
    for (const std::string& word : arguments) {
        if (word == "-x" || word == "-k" || word == "-xk" || word == "-kx") {
            extract = extract || word.find('x') != std::string::npos;
            zip = zip || word.find('k') != std::string::npos;
        } else if (word == "--sequesterRsrc" || word == "--rsrc" || word == "--noqtn" ||
                   word == "--norsrc" || word == "--noextattr") {
            continue; // resource forks and quarantine do not exist here
        } else if (!word.empty() && word[0] == '-') {
            notSimulated("ditto", arguments, "-x -k ARCHIVE DESTINATION");
        } else {
            paths.push_back(word);
        }
    }
    if (!extract || !zip || paths.size() != 2) {
        notSimulated("ditto", arguments, "-x -k ARCHIVE DESTINATION");
    }
    try {
        Zip::extract(paths[0], paths[1]);
    } catch (const Zip::Error& error) {
        throw ToolFailure(error.what());
    }
    return 0;
}

} // namespace AppleSim
