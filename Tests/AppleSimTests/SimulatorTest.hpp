// A test with its own simulated Mac (a fresh HOME), and ways to run the simulator's tools in it.
#pragma once

#include "Support.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <nlohmann/json.hpp>

class SimulatorTest : public TestSupport::TemporaryDirectoryTest {
protected:
    /// Runs a tool from build/bin/apple-tools (xcrun, codesign, ...) in this test's HOME.
    TestSupport::Output tool(const std::string& name, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment = {});

    /// Runs `apple-sim` with `arguments`, expects success and returns the JSON it printed.
    nlohmann::json control(const std::vector<std::string>& arguments);

    /// xcodebuild archive of the sample workspace with the arguments zuq passes, into `work`.
    /// `signing` follows -derivedDataPath: zuq's automatic-signing words by default.
    TestSupport::Output archive(const std::filesystem::path& work,
                                std::vector<std::string> signing = {"-allowProvisioningUpdates",
                                                                    "CODE_SIGN_STYLE=Automatic",
                                                                    "DEVELOPMENT_TEAM=ZUQSIMTEAM"});

    /// Writes ExportOptions.plist for `method` (plus `extraKeys`, raw plist XML) and runs the
    /// export as zuq does, into work/Export.
    TestSupport::Output exportArchive(const std::filesystem::path& work, const std::string& method,
                                      const std::string& extraKeys = "",
                                      bool allowProvisioningUpdates = true);

    /// Expands an IPA with ditto into `destination` and returns the app bundle inside.
    std::filesystem::path extract(const std::filesystem::path& ipa,
                                  const std::filesystem::path& destination);

    /// Archives, exports with `method` and extracts: the signed app, ready to install.
    std::filesystem::path buildApp(const std::string& name, const std::string& method);

    /// Starts `program` in a process group of its own, standard output and error going to
    /// `log`, and returns its pid without waiting for it.
    static pid_t start(const std::vector<std::string>& command, const std::filesystem::path& log);

    /// Waits until `done` holds, for at most 20 seconds; returns whether it did.
    static bool eventually(const std::function<bool()>& done);

    /// Whether a process is gone (or only waits to be reaped).
    static bool gone(pid_t pid);

    /// A property list file or text (XML or binary) as XML text, for reading in assertions.
    static std::string plistXML(const std::string& bytes);

    /// The element that follows <key>`key`</key> in XML property-list text ("<true/>",
    /// "<string>production</string>"), or "" when the key is absent.
    static std::string plistValue(const std::string& xml, const std::string& key);

    /// Tools/AppleSim/SampleApp and Tests/AppleSimTests/Projects in the source tree.
    static std::filesystem::path sample();
    static std::filesystem::path inputs();
};
