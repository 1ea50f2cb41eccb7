// xcodebuild archive: builds the scheme's app with everything it embeds, signs it for
// development as Xcode does, and writes the .xcarchive. What `apple-sim next-build` asked for
// happens here: a failure, a hang, a flood of log, a large payload or a slow build.
#include "AppSigning.hpp"
#include "BuildLog.hpp"
#include "CodeSignature.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "Options.hpp"
#include "Processes.hpp"
#include "Product.hpp"
#include "PropertyList.hpp"
#include "World.hpp"
#include "Workspace.hpp"
#include "Xcode.hpp"
#include "XcodeProject.hpp"
#include "Xcodebuild.hpp"

#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <spawn.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& projectPath, const std::string& message,
                       const std::string& target, const std::string& projectName,
                       const std::string& scheme) {
    std::cout << projectPath << ": error: " << message << " (in target '" << target
              << "' from project '" << projectName << "')\n\n** ARCHIVE FAILED **\n\n"
              << std::flush;
    throw ToolFailure("\nThe following build commands failed:\n\tArchiving project " +
                          projectName + " with scheme " + scheme + "\n(1 failure)",
                      65);
}

std::string quoted(const std::string& word) {
    return word.find(' ') == std::string::npos ? word : "\"" + word + "\"";
}

// Compiler helpers of a hung build: they write into the same log, and one whose build is
// killed without them keeps compiling for a while, as an orphaned compiler would.
void startHelpers(const std::string& mode, const std::vector<fs::path>& sources) {
    for (int index = 0; index < 2; ++index) {
        std::string source = sources.empty() ? "main.swift" : sources[index % sources.size()].string();
        std::vector<std::string> words = {"swift-frontend", "-frontend", "-c", source,
                                          "--apple-sim-helper", mode};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        ::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
    }
}

[[noreturn]] void hang(bool ignoreTerm, const std::vector<fs::path>& sources) {
    if (ignoreTerm) {
        std::signal(SIGTERM, SIG_IGN);
    }
    Processes::remember("xcodebuild");
    startHelpers(ignoreTerm ? "ignore-term" : "term", sources);
    for (;;) {
        ::pause();
    }
}

std::string defaultArchivePath(const std::string& scheme) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    char day[16];
    char stamp[32];
    std::strftime(day, sizeof day, "%Y-%m-%d", &parts);
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y, %H.%M", &parts);
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/Library/Developer/Xcode/Archives/" + day + "/" +
           scheme + " " + stamp + ".xcarchive";
}

void collectEntitlements(const Product& product, std::map<fs::path, json>& entitlements) {
    entitlements[product.bundle] = product.entitlements;
    for (const Product& child : product.embedded) {
        collectEntitlements(child, entitlements);
    }
}

void collectProfiles(const Product& product, std::map<std::string, std::string>& profiles) {
    profiles[product.bundleID] = product.provisioningProfile;
    for (const Product& child : product.embedded) {
        collectProfiles(child, profiles);
    }
}

} // namespace

int archive(const XcodebuildCommand& command) {
    WorldState world = World::read();
    std::string xcodeVersion = Xcode::require(world, "xcodebuild");
    std::optional<std::string> schemeName = command.option("-scheme");
    if (!schemeName) {
        throw ToolFailure("xcodebuild: error: If you specify \"archive\" you must also specify a "
                          "scheme with -scheme.",
                          64);
    }
    Container container = containerOf(command);
    std::vector<fs::path> containers = {container.path};
    if (container.workspace) {
        try {
            for (const fs::path& project : loadWorkspace(container.path).projects) {
                containers.push_back(project);
            }
        } catch (const WorkspaceError& error) {
            throw ToolFailure("xcodebuild: error: Unable to read workspace '" +
                                  container.path.filename().string() + "'.\n\tReason: " + error.what(),
                              74);
        }
    }
    std::optional<SchemeFile> schemeFile;
    for (const fs::path& candidate : containers) {
        for (const SchemeFile& file : schemesIn(candidate)) {
            if (!schemeFile && file.name == *schemeName) {
                schemeFile = file;
            }
        }
    }
    std::string kind = container.workspace ? "workspace" : "project";
    if (!schemeFile) {
        throw ToolFailure("xcodebuild: error: The " + kind + " named \"" +
                              container.path.stem().string() +
                              "\" does not contain a scheme named \"" + *schemeName +
                              "\". The \"-list\" option can be used to find the names of the "
                              "schemes in the " + kind + ".",
                          65);
    }
    std::string destination = command.option("-destination").value_or("generic/platform=iOS");
    if (destination != "generic/platform=iOS" && destination.rfind("platform=iOS,", 0) != 0) {
        throw ToolFailure("xcodebuild: error: Unable to find a destination matching the provided "
                          "destination specifier:\n\t\t{ " + destination + " }",
                          70);
    }
    Scheme scheme;
    try {
        scheme = loadScheme(*schemeFile);
    } catch (const WorkspaceError& error) {
        throw ToolFailure(std::string("xcodebuild: error: ") + error.what(), 74);
    }

    // Find the app the scheme archives.
    std::vector<std::unique_ptr<Project>> projects;
    const Project* project = nullptr;
    const Target* app = nullptr;
    for (const BuildableReference& entry : scheme.archiveEntries) {
        auto owned = std::make_unique<Project>(openProject(entry.project, xcodeVersion));
        const Target* target = owned->targetByID(entry.blueprintID);
        if (!target) {
            target = owned->targetByName(entry.blueprintName);
        }
        if (target && target->isApplication() && !app) {
            app = target;
            project = owned.get();
        }
        projects.push_back(std::move(owned));
    }
    if (!app) {
        throw ToolFailure("xcodebuild: error: The scheme \"" + *schemeName +
                              "\" does not archive an iOS application; add the app target to the "
                              "scheme's Archive build action.",
                          65);
    }
    std::string configuration = command.option("-configuration")
                                    .value_or(scheme.archiveConfiguration.empty()
                                                  ? project->defaultConfiguration
                                                  : scheme.archiveConfiguration);
    if (!project->configuration(configuration)) {
        throw ToolFailure("xcodebuild: error: The project \"" + project->name +
                              "\" does not contain a build configuration named \"" +
                              configuration + "\".",
                          65);
    }
    BuildSettings appSettings(*project, *app, configuration, command.settings,
                              Xcode::sdkVersion(xcodeVersion));
    std::string sdk = appSettings.get("SDKROOT");
    if (sdk != "iphoneos" && appSettings.get("SUPPORTED_PLATFORMS").find("iphoneos") == std::string::npos) {
        throw ToolFailure("xcodebuild: error: Unable to find a destination matching the provided "
                          "destination specifier:\n\t\t{ generic:1, platform:iOS }\n\n\tThe "
                          "scheme \"" + *schemeName + "\" builds for " + sdk + ", not iOS.",
                          70);
    }

    fs::path archivePath =
        fs::absolute(command.option("-archivePath").value_or(defaultArchivePath(*schemeName)));
    if (archivePath.extension() != ".xcarchive") {
        archivePath += ".xcarchive";
    }
    fs::path derivedData = fs::absolute(command.option("-derivedDataPath")
                                            .value_or(std::string(std::getenv("HOME")) +
                                                      "/Library/Developer/Xcode/DerivedData/" +
                                                      project->name));

    NextBuild next;
    world = World::update([&](WorldState& state) {
        next = state.nextBuild;
        state.nextBuild = NextBuild{};
    });

    std::string header = "Command line invocation:\n    " + std::string(Xcode::developerDirectory) +
                         "/usr/bin/xcodebuild";
    for (const std::string& word : command.arguments) {
        header += " " + quoted(word);
    }
    header += "\n\nUser defaults from command line:\n    IDEArchivePathOverride = " +
              archivePath.string() + "\n    IDEPackageSupportUseBuiltinSCM = YES\n";
    if (!command.settingOrder.empty()) {
        header += "\nBuild settings from command line:\n";
        for (const std::string& name : command.settingOrder) {
            header += "    " + name + " = " + command.settings.at(name) + "\n";
        }
    }
    std::cout << header << "\nPrepare packages\n\nComputeTargetDependencyGraph\n"
              << "note: Building targets in dependency order\n"
              << "note: Target dependency graph (" << app->embeds.size() + 1 << " targets)\n"
              << "    Target '" << app->name << "' in project '" << project->name << "'\n";
    for (const Embed& embed : app->embeds) {
        if (const Target* embedded = project->targetByID(embed.targetID)) {
            std::cout << "        \u279c Explicit dependency on target '" << embedded->name
                      << "' in project '" << project->name << "'\n";
        }
    }
    for (const Embed& embed : app->embeds) {
        if (const Target* embedded = project->targetByID(embed.targetID)) {
            std::cout << "    Target '" << embedded->name << "' in project '" << project->name
                      << "' (no dependencies)\n";
        }
    }
    std::cout << "\nGatherProvisioningInputs\n\nCreateBuildDescription\n\n" << std::flush;

    BuildLog log(world.realistic());
    if (next.flood > 0) {
        log.flood(next.flood, derivedData.string());
    }
    if (next.slow > 0) {
        std::cout << "note: Waiting for the build service (" << next.slow << " s)\n\n" << std::flush;
        std::this_thread::sleep_for(std::chrono::duration<double>(next.slow));
    }
    if (next.outcome == "hang" || next.outcome == "hang-ignoring-term") {
        hang(next.outcome == "hang-ignoring-term", app->sources);
    }
    if (next.outcome == "fail") {
        std::string source = app->sources.empty() ? (project->directory() / "main.swift").string()
                                                  : app->sources.front().string();
        std::cout << "SwiftCompile normal arm64 " << source << " (in target '" << app->name
                  << "' from project '" << project->name << "')\n    cd "
                  << project->directory().string() << "\n\n"
                  << source << ":12:9: error: cannot find 'undefinedSymbol' in scope\n"
                  << "        undefinedSymbol()\n        ^~~~~~~~~~~~~~~\n\n** ARCHIVE FAILED **\n\n"
                  << std::flush;
        throw ToolFailure("\nThe following build commands failed:\n\tSwiftCompile normal arm64 " +
                              source + " (in target '" + app->name + "' from project '" +
                              project->name + "')\n\tArchiving project " + project->name +
                              " with scheme " + *schemeName + "\n(2 failures)",
                          65);
    }

    fs::path staging = archivePath;
    staging += ".partial-" + std::to_string(::getpid());
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    BuildRequest request;
    request.project = project;
    request.configuration = configuration;
    request.overrides = command.settings;
    request.sdkVersion = Xcode::sdkVersion(xcodeVersion);
    request.xcodeVersion = xcodeVersion;
    request.payload = next.payload;
    request.intermediates = derivedData / "Build" / "Intermediates.noindex" /
                            "ArchiveIntermediates" / *schemeName / "IntermediateBuildFilesPath" /
                            (project->name + ".build") / (configuration + "-iphoneos");
    Product product;
    try {
        product = buildProduct(*app, staging / "Products" / "Applications", request, log);
    } catch (const BuildError& error) {
        fs::remove_all(staging, ignored);
        fail(project->path.string(), error.what(), error.target(), project->name, *schemeName);
    }

    // Signing.
    AppSigning::Plan plan;
    plan.kind = Profiles::Kind::development;
    plan.automatic = product.signingStyle != "Manual";
    plan.allowProvisioningUpdates = command.flag("-allowProvisioningUpdates");
    plan.teamID = product.teamID;
    collectProfiles(product, plan.manualProfiles);
    std::map<fs::path, json> entitlements;
    collectEntitlements(product, entitlements);
    if (plan.teamID.empty()) {
        fs::remove_all(staging, ignored);
        fail(project->path.string(),
             "Signing for \"" + app->name + "\" requires a development team. Select a "
             "development team in the Signing & Capabilities editor.",
             app->name, project->name, *schemeName);
    }
    std::vector<AppSigning::Signed> signedBundles;
    try {
        World::update([&](WorldState& state) {
            signedBundles = AppSigning::signApp(product.bundle, plan, state, [&](const fs::path& bundle) {
                auto found = entitlements.find(bundle);
                return found == entitlements.end() ? json::object() : found->second;
            });
        });
    } catch (const AppSigning::Error& error) {
        fs::remove_all(staging, ignored);
        fail(project->path.string(), error.what(), app->name, project->name, *schemeName);
    }
    for (const AppSigning::Signed& bundle : signedBundles) {
        log.step("CodeSign " + bundle.bundle.string(), app->name, project->name,
                 project->directory().string(),
                 {"", "Signing Identity:     \"" + bundle.identity + "\"",
                  "Provisioning Profile: \"" + bundle.profileName + "\"",
                  "                      (" + bundle.profileUUID + ")", "",
                  "/usr/bin/codesign --force --sign " + bundle.identitySHA1 +
                      " --entitlements " + (request.intermediates / (bundle.identifier + ".xcent")).string() +
                      " --timestamp=none --generate-entitlement-der " + bundle.bundle.string()},
                 0.3);
    }

    // The archive around the app.
    json info = PropertyList::read((product.bundle / "Info.plist").string());
    if (appSettings.get("DEBUG_INFORMATION_FORMAT") == "dwarf-with-dsym") {
        fs::path dsym = staging / "dSYMs" / (product.bundle.filename().string() + ".dSYM") / "Contents";
        writeFile(dsym / "Info.plist",
                  PropertyList::xml({{"CFBundleIdentifier", "com.apple.xcode.dsym." + product.bundleID},
                                     {"CFBundlePackageType", "dSYM"},
                                     {"CFBundleShortVersionString", info.value("CFBundleShortVersionString", "")},
                                     {"CFBundleVersion", info.value("CFBundleVersion", "")}}));
        writeFile(dsym / "Resources" / "DWARF" / product.productName,
                  readFile(product.bundle / product.productName));
    }
    writeFile(staging / "Info.plist",
              PropertyList::xml({{"ApplicationProperties",
                                  {{"ApplicationPath", "Applications/" + product.bundle.filename().string()},
                                   {"Architectures", {"arm64"}},
                                   {"CFBundleIdentifier", product.bundleID},
                                   {"CFBundleShortVersionString", info.value("CFBundleShortVersionString", "")},
                                   {"CFBundleVersion", info.value("CFBundleVersion", "")},
                                   {"SigningIdentity", signedBundles.back().identity},
                                   {"Team", plan.teamID}}},
                                 {"ArchiveVersion", 2},
                                 {"CreationDate", PropertyList::date(world.now())},
                                 {"Name", *schemeName},
                                 {"SchemeName", *schemeName}}));
    fs::remove_all(archivePath, ignored);
    makeDirectories(archivePath.parent_path());
    fs::rename(staging, archivePath);
    log.step("Touch " + product.bundle.filename().string(), app->name, project->name,
             project->directory().string(), {"/usr/bin/touch -c " + (archivePath / "Products" /
                                              "Applications" / product.bundle.filename()).string()},
             0.1);
    std::cout << "** ARCHIVE SUCCEEDED **\n\n" << std::flush;
    return 0;
}

} // namespace AppleSim
