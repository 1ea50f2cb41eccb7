// xcodebuild -exportArchive: re-signs the archived app for the method ExportOptions.plist
// names (debugging, release-testing, enterprise, app-store-connect, or their older names),
// with that method's profiles and entitlements, and packs it as <App>.ipa.
#include "AppSigning.hpp"
#include "CodeSignature.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "PropertyList.hpp"
#include "World.hpp"
#include "Xcode.hpp"
#include "Xcodebuild.hpp"
#include "Zip.hpp"

#include <chrono>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

[[noreturn]] void refuse(const std::string& message, int status = 70) {
    std::cout << "** EXPORT FAILED **\n" << std::flush;
    throw ToolFailure("error: exportArchive: " + message, status);
}

fs::path archivedApp(const fs::path& archive) {
    std::error_code error;
    fs::path applications = archive / "Products" / "Applications";
    if (fs::is_directory(applications, error)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(applications, error)) {
            if (entry.path().extension() == ".app") {
                return entry.path();
            }
        }
    }
    return {};
}

} // namespace

int exportArchive(const XcodebuildCommand& command) {
    WorldState world = World::read();
    Xcode::require(world, "xcodebuild");
    std::optional<std::string> archiveOption = command.option("-archivePath");
    std::optional<std::string> exportOption = command.option("-exportPath");
    std::optional<std::string> optionsOption = command.option("-exportOptionsPlist");
    if (!archiveOption || !exportOption || !optionsOption) {
        throw ToolFailure("xcodebuild: error: -exportArchive requires -archivePath, -exportPath "
                          "and -exportOptionsPlist.",
                          64);
    }
    fs::path archive = fs::absolute(*archiveOption);
    fs::path exportPath = fs::absolute(*exportOption);
    fs::path app = archivedApp(archive);
    if (app.empty() || !fs::exists(archive / "Info.plist")) {
        throw ToolFailure("xcodebuild: error: archive not found at path '" + archive.string() + "'",
                          65);
    }
    json options;
    try {
        options = PropertyList::read(*optionsOption);
    } catch (const PropertyList::Error& error) {
        throw ToolFailure("xcodebuild: error: The file \u201c" +
                              fs::path(*optionsOption).filename().string() +
                              "\u201d couldn\u2019t be opened because there is no such file or it "
                              "is not a property list.",
                          64);
    }
    if (!options.is_object()) {
        throw ToolFailure("xcodebuild: error: exportOptionsPlist must hold a dictionary", 64);
    }
    std::string method = PropertyList::text(options, "method", "app-store-connect");
    std::optional<Profiles::Kind> kind = Profiles::kindOfMethod(method);
    if (!kind) {
        throw ToolFailure("error: exportArchive: exportOptionsPlist error for key \"method\" "
                          "expected one {app-store-connect, release-testing, enterprise, "
                          "debugging, developer-id, mac-application, validation} but found " +
                              method,
                          70);
    }
    std::string destination = PropertyList::text(options, "destination", "export");
    if (destination != "export") {
        refuse("destination \"" + destination + "\" needs App Store Connect, which this "
               "simulated Mac cannot reach; export with destination \"export\".");
    }
    json archiveInfo = PropertyList::read((archive / "Info.plist").string());
    std::string archivedTeam = PropertyList::text(archiveInfo.value("ApplicationProperties", json::object()), "Team");
    AppSigning::Plan plan;
    plan.kind = *kind;
    plan.teamID = PropertyList::text(options, "teamID", archivedTeam);
    plan.automatic = PropertyList::text(options, "signingStyle", "automatic") != "manual";
    plan.allowProvisioningUpdates = command.flag("-allowProvisioningUpdates");
    if (options.contains("provisioningProfiles") && options["provisioningProfiles"].is_object()) {
        for (const auto& [bundle, profile] : options["provisioningProfiles"].items()) {
            if (profile.is_string()) {
                plan.manualProfiles[bundle] = profile.get<std::string>();
            }
        }
    }
    if (*kind == Profiles::Kind::enterprise && world.team && !world.team->enterprise) {
        refuse("Team \"" + world.team->name + "\" (" + world.team->id +
               ") is not an enterprise team; it cannot export with method \"enterprise\".");
    }

    std::cout << "Exporting " << app.filename().string() << " with method " << method << "\n"
              << std::flush;
    fs::path staging = exportPath;
    staging += ".partial-" + std::to_string(::getpid());
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::path payload = staging / "Payload";
    makeDirectories(payload);
    fs::path copy = payload / app.filename();
    fs::copy(app, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);

    // Xcode keeps what the archive was signed to ask for and re-signs for the method.
    auto requested = [&](const fs::path& bundle) {
        std::string problem;
        std::optional<CodeSignature::Info> signature = CodeSignature::read(bundle, problem);
        json entitlements = signature ? signature->entitlements : json::object();
        for (const char* managed : {"application-identifier", "com.apple.developer.team-identifier",
                                    "get-task-allow"}) {
            entitlements.erase(managed);
        }
        return entitlements;
    };
    std::vector<AppSigning::Signed> signedBundles;
    try {
        World::update([&](WorldState& state) {
            signedBundles = AppSigning::signApp(copy, plan, state, requested);
        });
    } catch (const AppSigning::Error& error) {
        fs::remove_all(staging, ignored);
        refuse(error.what());
    }
    if (world.realistic()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    json info = PropertyList::read((copy / "Info.plist").string());
    std::string name = PropertyList::text(info, "CFBundleName", app.stem().string());
    makeDirectories(exportPath);
    Zip::write(payload, "Payload", staging / (name + ".ipa"));
    fs::remove_all(payload, ignored);
    json summary = json::array();
    for (const AppSigning::Signed& bundle : signedBundles) {
        summary.push_back({{"certificate", {{"SHA1", bundle.identitySHA1}, {"type", bundle.identity}}},
                           {"identifier", bundle.identifier},
                           {"profile", {{"name", bundle.profileName}, {"UUID", bundle.profileUUID}}},
                           {"team", {{"id", plan.teamID}}}});
    }
    writeFile(staging / "DistributionSummary.plist",
              PropertyList::xml({{name + ".ipa", summary}}));
    writeFile(staging / "ExportOptions.plist", PropertyList::xml(options));
    writeFile(staging / "Packaging.log", "Exported " + name + ".ipa with method " + method + "\n");
    for (const fs::directory_entry& entry : fs::directory_iterator(staging)) {
        fs::path target = exportPath / entry.path().filename();
        fs::remove_all(target, ignored);
        fs::rename(entry.path(), target);
    }
    fs::remove_all(staging, ignored);
    std::cout << "Exported " << archive.stem().string() << " to: " << exportPath.string()
              << "\n** EXPORT SUCCEEDED **\n\n"
              << std::flush;
    return 0;
}

} // namespace AppleSim
