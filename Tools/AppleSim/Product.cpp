#include "Product.hpp"

#include "BuildLog.hpp"
#include "Crypto.hpp"
#include "Files.hpp"
#include "PropertyList.hpp"
#include "Xcode.hpp"
#include "XcodeProject.hpp"

#include <fcntl.h>
#include <sstream>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string toolchain =
    "/Applications/Xcode.app/Contents/Developer/Toolchains/XcodeDefault.xctoolchain/usr/bin/";
const std::string sdkPath =
    "/Applications/Xcode.app/Contents/Developer/Platforms/iPhoneOS.platform/Developer/SDKs/"
    "iPhoneOS.sdk";

// The flags Xcode passes every Swift compile, which make up most of a real build log.
const std::string swiftFlags =
    " -enable-experimental-feature DebugDescriptionMacro -enable-bare-slash-regex "
    "-enable-upcoming-feature StrictConcurrency -empty-abi-descriptor -no-color-diagnostics "
    "-Xcc -fno-color-diagnostics -enable-testing -g -debug-info-format=dwarf "
    "-dwarf-version=4 -module-cache-path /Users/simulated/Library/Developer/Xcode/DerivedData/"
    "ModuleCache.noindex -profile-generate -profile-coverage-mapping -swift-version 5 "
    "-enforce-exclusivity=checked -Onone -D DEBUG -serialize-debugging-options "
    "-const-gather-protocols-file Intermediates.noindex/const_extract_protocols.json "
    "-enable-default-cmo -validate-clang-modules-once -clang-build-session-file "
    "/Users/simulated/Library/Developer/Xcode/DerivedData/ModuleCache.noindex/"
    "Session.modulevalidation -Xcc -working-directory -Xcc /Users/simulated/Projects "
    "-resource-dir /Applications/Xcode.app/Contents/Developer/Toolchains/"
    "XcodeDefault.xctoolchain/usr/lib/swift -enable-anonymous-context-mangled-names "
    "-file-compilation-dir /Users/simulated/Projects -Xcc -ivfsstatcache -Xcc "
    "/Users/simulated/Library/Developer/Xcode/DerivedData/SDKStatCaches.noindex/"
    "iphoneos18.5-22F76-7f4b8a.sdkstatcache -Xcc -I Intermediates.noindex/swift-overrides.hmap "
    "-Xcc -iquote -Xcc Intermediates.noindex/generated-files.hmap -Xcc -I "
    "Intermediates.noindex/own-target-headers.hmap -Xcc -I "
    "Intermediates.noindex/all-target-headers.hmap -Xcc -iquote -Xcc "
    "Intermediates.noindex/project-headers.hmap -Xcc -I Products/Release-iphoneos/include "
    "-Xcc -I Intermediates.noindex/DerivedSources-normal/arm64 -Xcc -I "
    "Intermediates.noindex/DerivedSources/arm64 -Xcc -I Intermediates.noindex/DerivedSources "
    "-Xcc -DDEBUG=1 -no-auto-bridging-header-chaining -module-name-for-index-store "
    "-index-store-path /Users/simulated/Library/Developer/Xcode/DerivedData/Index.noindex/"
    "DataStore -index-system-modules -parse-as-library -enable-objc-interop "
    "-target-sdk-version 18.5 -target-sdk-name iphoneos18.5 -external-plugin-path "
    "/Applications/Xcode.app/Contents/Developer/Platforms/iPhoneOS.platform/Developer/usr/lib/"
    "swift/host/plugins#/Applications/Xcode.app/Contents/Developer/Platforms/iPhoneOS.platform/"
    "Developer/usr/bin/swift-plugin-server -plugin-path /Applications/Xcode.app/Contents/"
    "Developer/Toolchains/XcodeDefault.xctoolchain/usr/lib/swift/host/plugins";

std::string readOrEmpty(const fs::path& path) {
    try {
        return readFile(path);
    } catch (const std::system_error&) {
        return "";
    }
}

// Deterministic bytes standing for what a compiler makes of `input`.
std::string generated(std::string_view input, std::size_t size) {
    std::string out;
    out.reserve(size + 32);
    std::string state = Crypto::sha256(input);
    while (out.size() < size) {
        state = Crypto::sha256(state);
        out += state;
    }
    out.resize(size);
    return out;
}

// Random bytes of `size`, written straight to `path`: media that does not compress.
void writeIncompressible(const fs::path& path, std::uint64_t size) {
    std::string initial = Crypto::randomBytes(32);
    std::uint64_t s[4];
    std::memcpy(s, initial.data(), sizeof s);
    auto next = [&s] { // xoshiro256**
        std::uint64_t result = ((s[1] * 5) << 7 | (s[1] * 5) >> 57) * 9;
        std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = s[3] << 45 | s[3] >> 19;
        return result;
    };
    FileDescriptor fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string chunk(1u << 20, '\0');
    while (size > 0) {
        for (std::size_t offset = 0; offset < chunk.size(); offset += 8) {
            std::uint64_t value = next();
            std::memcpy(chunk.data() + offset, &value, 8);
        }
        std::size_t count = size < chunk.size() ? static_cast<std::size_t>(size) : chunk.size();
        writeAll(fd.get(), std::string_view(chunk).substr(0, count), path);
        size -= count;
    }
}

void copyTree(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                           fs::copy_options::overwrite_existing, error);
    if (error) {
        throw std::system_error(error, "Cannot copy " + from.string());
    }
}

json expandStrings(const json& value, const BuildSettings& settings) {
    if (value.is_string()) {
        return settings.expand(value.get<std::string>());
    }
    if (value.is_array() || (value.is_object() && !PropertyList::dateSeconds(value))) {
        json copy = value;
        for (auto& element : copy) {
            element = expandStrings(element, settings);
        }
        return copy;
    }
    return value;
}

void addGeneratedKeys(json& info, const BuildSettings& settings) {
    const std::string prefix = "INFOPLIST_KEY_";
    for (const std::string& name : settings.namesStartingWith(prefix)) {
        std::string key = name.substr(prefix.size());
        std::string value = settings.get(name);
        if (key == "UIApplicationSceneManifest_Generation") {
            if (value == "YES") {
                info["UIApplicationSceneManifest"] = {{"UIApplicationSupportsMultipleScenes", true}};
            }
        } else if (key == "UILaunchScreen_Generation") {
            if (value == "YES") {
                info["UILaunchScreen"] = json::object();
            }
        } else if (key.rfind("UISupportedInterfaceOrientations", 0) == 0) {
            json list = json::array();
            std::istringstream words(value);
            for (std::string word; words >> word;) {
                list.push_back(word);
            }
            info[key == "UISupportedInterfaceOrientations_iPad" ? "UISupportedInterfaceOrientations~ipad"
                                                                 : "UISupportedInterfaceOrientations"] = list;
        } else if (value == "YES" || value == "NO") {
            info[key] = value == "YES";
        } else if (!value.empty() && key.find("_Generation") == std::string::npos) {
            info[key] = value;
        }
    }
}

json infoPlist(const Target& target, const BuildSettings& settings, const BuildRequest& request,
               const std::string& productName, const std::string& bundleID) {
    json info = json::object();
    std::string source = settings.get("INFOPLIST_FILE");
    if (!source.empty()) {
        fs::path path = fs::path(source).is_absolute() ? fs::path(source)
                                                       : request.project->directory() / source;
        json read;
        try {
            read = PropertyList::read(path.string());
        } catch (const PropertyList::Error&) {
            throw BuildError("Build input file cannot be found: '" + path.string() +
                                 "'. Did you forget to declare this file as an output of a script "
                                 "phase or custom build rule which produces it?",
                             target.name);
        }
        if (read.is_object()) {
            info = expandStrings(read, settings);
        }
    }
    if (settings.yes("GENERATE_INFOPLIST_FILE")) {
        addGeneratedKeys(info, settings);
    }
    bool application = target.isApplication();
    auto fill = [&](const char* key, const json& value) {
        if (!info.contains(key)) {
            info[key] = value;
        }
    };
    fill("CFBundleDevelopmentRegion", settings.get("DEVELOPMENT_LANGUAGE"));
    fill("CFBundleInfoDictionaryVersion", "6.0");
    fill("CFBundleName", productName);
    std::string marketing = settings.get("MARKETING_VERSION");
    std::string build = settings.get("CURRENT_PROJECT_VERSION");
    fill("CFBundleShortVersionString", marketing.empty() ? "1.0" : marketing);
    fill("CFBundleVersion", build.empty() ? "1" : build);
    info["CFBundleExecutable"] = productName;
    info["CFBundleIdentifier"] = bundleID;
    info["CFBundlePackageType"] = application ? "APPL" : target.isExtension() ? "XPC!" : "FMWK";
    info["CFBundleSupportedPlatforms"] = {"iPhoneOS"};
    info["MinimumOSVersion"] = settings.get("IPHONEOS_DEPLOYMENT_TARGET");
    json families = json::array();
    std::string familyList = settings.get("TARGETED_DEVICE_FAMILY");
    std::istringstream familyWords(familyList);
    for (std::string word; std::getline(familyWords, word, ',');) {
        if (!word.empty()) {
            families.push_back(std::atoi(word.c_str()));
        }
    }
    info["UIDeviceFamily"] = families;
    info["DTPlatformName"] = "iphoneos";
    info["DTPlatformVersion"] = request.sdkVersion;
    info["DTSDKName"] = "iphoneos" + request.sdkVersion;
    info["DTXcode"] = Xcode::dtXcode(request.xcodeVersion);
    info["DTXcodeBuild"] = Xcode::buildNumber(request.xcodeVersion);
    info["DTCompiler"] = "com.apple.compilers.llvm.clang.1_0";
    info["BuildMachineOSBuild"] = "24F74";
    if (application) {
        info["LSRequiresIPhoneOS"] = true;
        fill("UIRequiredDeviceCapabilities", json::array({"arm64"}));
    }
    return info;
}

} // namespace

Product buildProduct(const Target& target, const fs::path& directory, const BuildRequest& request,
                     BuildLog& log) {
    const Project& project = *request.project;
    BuildSettings settings(project, target, request.configuration, request.overrides,
                           request.sdkVersion);
    std::string extension = target.isApplication() ? "app"
                            : target.isExtension() ? "appex"
                            : target.productType == "com.apple.product-type.framework"
                                ? "framework"
                                : "";
    if (extension.empty()) {
        throw BuildError("Target '" + target.name + "' of type " + target.productType +
                             " cannot be part of an iOS app archive.",
                         target.name);
    }
    Product product;
    product.target = &target;
    product.productName = settings.get("PRODUCT_NAME");
    if (product.productName.empty()) {
        product.productName = target.name;
    }
    product.bundleID = settings.get("PRODUCT_BUNDLE_IDENTIFIER");
    if (product.bundleID.empty()) {
        throw BuildError("Bundle identifier is missing. " + product.productName +
                             " doesn't have a bundle identifier. Add a value for "
                             "PRODUCT_BUNDLE_IDENTIFIER in the build settings editor.",
                         target.name);
    }
    product.teamID = settings.get("DEVELOPMENT_TEAM");
    product.signingStyle = settings.get("CODE_SIGN_STYLE");
    product.provisioningProfile = settings.get("PROVISIONING_PROFILE_SPECIFIER");
    product.bundle = directory / (product.productName + "." + extension);
    std::string root = project.directory().string();
    std::error_code ignored;
    fs::remove_all(product.bundle, ignored);
    makeDirectories(product.bundle);

    for (const Embed& embed : target.embeds) {
        const Target* embedded = project.targetByID(embed.targetID);
        if (!embedded) {
            continue;
        }
        BuildRequest nested = request;
        nested.payload = 0;
        Product child = buildProduct(*embedded, product.bundle / embed.destination, nested, log);
        if ((child.target->isExtension() || child.target->isApplication()) &&
            child.bundleID.rfind(product.bundleID + ".", 0) != 0) {
            throw BuildError("Embedded binary's bundle identifier is not prefixed with the parent "
                             "app's bundle identifier.\n\n\tEmbedded Binary Bundle Identifier:\t" +
                                 child.bundleID + "\n\tParent App Bundle Identifier:\t" +
                                 product.bundleID,
                             target.name);
        }
        product.embedded.push_back(std::move(child));
    }

    std::string deployment = settings.get("IPHONEOS_DEPLOYMENT_TARGET");
    std::string objects = (request.intermediates / (target.name + ".build") / "Objects-normal" /
                           "arm64").string();
    std::string code = "__TEXT" + product.bundleID;
    for (const fs::path& source : target.sources) {
        std::string text = readOrEmpty(source);
        std::string object = generated(source.filename().string() + text,
                                       std::max<std::size_t>(4096, text.size() * 3));
        writeFile(fs::path(objects) / (source.stem().string() + ".o"), object);
        code += object;
        log.step("SwiftCompile normal arm64 " + source.string(), target.name, project.name, root,
                 {"builtin-swiftTaskExecution -- " + toolchain + "swift-frontend -frontend -c " +
                  source.string() + " -emit-module-path " + objects + "/" +
                  source.stem().string() + "~partial.swiftmodule -target arm64-apple-ios" +
                  deployment + " -Xllvm -aarch64-use-tbi -enable-objc-interop -sdk " + sdkPath +
                  " -module-name " + target.name + swiftFlags + " -o " + objects + "/" +
                  source.stem().string() + ".o"},
                 0.25);
    }
    fs::path executable = product.bundle / product.productName;
    writeFile(executable, code, 0755);
    log.step("Ld " + executable.string() + " normal", target.name, project.name, root,
             {toolchain + "clang -Xlinker -reproducible -target arm64-apple-ios" + deployment +
              " -isysroot " + sdkPath + " -Os -L" + objects + " -dead_strip -Xlinker "
              "-object_path_lto -fobjc-link-runtime -o " + executable.string()},
             0.4);

    std::vector<fs::path> catalogs;
    for (const Resource& resource : target.resources) {
        std::string ext = resource.source.extension().string();
        std::error_code error;
        if (!fs::exists(resource.source, error)) {
            throw BuildError("Build input file cannot be found: '" + resource.source.string() +
                                 "'. Did you forget to declare this file as an output of a script "
                                 "phase or custom build rule which produces it?",
                             target.name);
        }
        if (ext == ".xcassets") {
            catalogs.push_back(resource.source);
        } else if (ext == ".storyboard" || ext == ".xib") {
            fs::path compiled = product.bundle / resource.destination;
            compiled.replace_extension(ext == ".xib" ? ".nib" : ".storyboardc");
            std::string nib = generated(readOrEmpty(resource.source), 2048);
            if (ext == ".xib") {
                writeFile(compiled, nib);
            } else {
                writeFile(compiled / "Info.plist",
                          PropertyList::binary({{"UIStoryboardDesignatedEntryPointIdentifier",
                                                 "UIViewController-1"},
                                                {"UIStoryboardVersion", 1}}));
                writeFile(compiled / "UIViewController-1.nib", nib);
            }
        } else if (fs::is_directory(resource.source)) {
            copyTree(resource.source, product.bundle / resource.destination);
        } else {
            writeFile(product.bundle / resource.destination, readFile(resource.source));
        }
    }
    if (request.payload > 0) {
        writeIncompressible(product.bundle / "Assets.car", request.payload);
    } else if (!catalogs.empty()) {
        std::string inputs;
        for (const fs::path& catalog : catalogs) {
            for (const fs::directory_entry& entry : fs::recursive_directory_iterator(catalog)) {
                inputs += entry.path().string() + readOrEmpty(entry.path());
            }
        }
        writeFile(product.bundle / "Assets.car", "BOMStore" + generated(inputs, 24 * 1024));
    }
    if (!catalogs.empty() || request.payload > 0) {
        log.step("CompileAssetCatalog " + product.bundle.string() + " " +
                     (catalogs.empty() ? std::string("Assets.xcassets") : catalogs.front().string()),
                 target.name, project.name, root,
                 {"/Applications/Xcode.app/Contents/Developer/usr/bin/actool --output-format "
                  "human-readable-text --notices --warnings --compile " + product.bundle.string() +
                  " --platform iphoneos --minimum-deployment-target " + deployment},
                 0.5);
    }

    json info = infoPlist(target, settings, request, product.productName, product.bundleID);
    writeFile(product.bundle / "Info.plist", PropertyList::binary(info));
    if (target.isApplication()) {
        writeFile(product.bundle / "PkgInfo", "APPL????");
    }
    log.step("ProcessInfoPlistFile " + (product.bundle / "Info.plist").string(), target.name,
             project.name, root, {"builtin-infoPlistUtility -genpkginfo -expandbuildsettings "
                                  "-format binary -platform iphoneos -o " +
                                  (product.bundle / "Info.plist").string()},
             0.1);

    std::string entitlements = settings.get("CODE_SIGN_ENTITLEMENTS");
    if (!entitlements.empty()) {
        fs::path path = fs::path(entitlements).is_absolute() ? fs::path(entitlements)
                                                             : project.directory() / entitlements;
        try {
            product.entitlements = PropertyList::read(path.string());
        } catch (const PropertyList::Error&) {
            throw BuildError("The file \u201c" + path.filename().string() +
                                 "\u201d could not be opened. Verify the value of the "
                                 "CODE_SIGN_ENTITLEMENTS build setting for target \u201c" +
                                 target.name + "\u201d is correct and that the file exists on disk.",
                             target.name);
        }
    }
    return product;
}

} // namespace AppleSim
