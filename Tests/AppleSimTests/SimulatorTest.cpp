#include "SimulatorTest.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <thread>

extern char** environ;

#include <plist/plist.h>

namespace fs = std::filesystem;

TestSupport::Output SimulatorTest::tool(const std::string& name,
                                        const std::vector<std::string>& arguments,
                                        const std::map<std::string, std::string>& environment) {
    return TestSupport::run(TestSupport::binaryDirectory() / "apple-tools" / name, arguments,
                            environment);
}

nlohmann::json SimulatorTest::control(const std::vector<std::string>& arguments) {
    TestSupport::Output output = TestSupport::run(TestSupport::binaryDirectory() / "apple-sim",
                                                  arguments);
    EXPECT_EQ(output.status, 0) << output.err;
    nlohmann::json result = nlohmann::json::parse(output.out, nullptr, false);
    EXPECT_FALSE(result.is_discarded()) << output.out;
    return result;
}

fs::path SimulatorTest::sample() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tools" / "AppleSim" / "SampleApp";
}

fs::path SimulatorTest::inputs() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tests" / "AppleSimTests" / "Projects";
}

TestSupport::Output SimulatorTest::archive(const fs::path& work, std::vector<std::string> signing) {
    std::vector<std::string> arguments = {
        "xcodebuild", "archive", "-workspace", (sample() / "SampleApp.xcworkspace").string(),
        "-scheme", "SampleApp", "-configuration", "Release", "-destination",
        "generic/platform=iOS", "-archivePath", (work / "App.xcarchive").string(),
        "-derivedDataPath", (work / "DerivedData").string()};
    arguments.insert(arguments.end(), signing.begin(), signing.end());
    return tool("xcrun", arguments);
}

TestSupport::Output SimulatorTest::exportArchive(const fs::path& work, const std::string& method,
                                                 const std::string& extraKeys,
                                                 bool allowProvisioningUpdates) {
    TestSupport::writeFile(
        work / "ExportOptions.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "<key>method</key><string>" + method + "</string>\n"
        "<key>destination</key><string>export</string>\n"
        "<key>signingStyle</key><string>automatic</string>\n"
        "<key>thinning</key><string>&lt;none&gt;</string>\n"
        "<key>manageAppVersionAndBuildNumber</key><false/>\n" + extraKeys + "</dict>\n</plist>\n");
    std::vector<std::string> arguments = {"xcodebuild", "-exportArchive", "-archivePath",
                                          (work / "App.xcarchive").string(), "-exportPath",
                                          (work / "Export").string(), "-exportOptionsPlist",
                                          (work / "ExportOptions.plist").string()};
    if (allowProvisioningUpdates) {
        arguments.push_back("-allowProvisioningUpdates");
    }
    return tool("xcrun", arguments);
}

fs::path SimulatorTest::extract(const fs::path& ipa, const fs::path& destination) {
    TestSupport::Output expanded = tool("ditto", {"-x", "-k", ipa.string(), destination.string()});
    EXPECT_EQ(expanded.status, 0) << expanded.err;
    return destination / "Payload" / "SampleApp.app";
}

fs::path SimulatorTest::buildApp(const std::string& name, const std::string& method) {
    fs::path work = directory / name;
    TestSupport::Output archived = archive(work);
    EXPECT_EQ(archived.status, 0) << archived.out.substr(archived.out.size() > 2000 ? archived.out.size() - 2000 : 0) << archived.err;
    TestSupport::Output exported = exportArchive(work, method);
    EXPECT_EQ(exported.status, 0) << exported.out << exported.err;
    return extract(work / "Export" / "SampleApp.ipa", work / "Validation");
}

std::string SimulatorTest::plistXML(const std::string& bytes) {
    plist_t node = nullptr;
    if (bytes.rfind("bplist", 0) == 0) {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    } else {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    }
    if (!node) {
        return "";
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string text(xml, length);
    std::free(xml);
    plist_free(node);
    return text;
}

std::string SimulatorTest::plistValue(const std::string& xml, const std::string& key) {
    std::size_t found = xml.find("<key>" + key + "</key>");
    if (found == std::string::npos) {
        return "";
    }
    std::size_t start = xml.find('<', found + key.size() + 11);
    std::size_t end = xml.find('>', start);
    std::string tag = xml.substr(start, end - start + 1);
    if (tag.size() > 2 && tag[tag.size() - 2] == '/') {
        return tag;
    }
    std::string name = tag.substr(1, tag.find_first_of(" >") - 1);
    std::size_t close = xml.find("</" + name + ">", end);
    return xml.substr(start, close + name.size() + 3 - start);
}

pid_t SimulatorTest::start(const std::vector<std::string>& command, const fs::path& log) {
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

bool SimulatorTest::eventually(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool SimulatorTest::gone(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || text.substr(close + 2, 1) == "Z";
}
