#include "BuildPipeline.hpp"
#include "Support.hpp"

#include <algorithm>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

const std::string unsafe = "Unsafe IPA archive path";
const std::string links = "IPAs containing symbolic links are not supported by this ZUQ version.";
const std::string notOneApp = "IPA must contain exactly one iOS app";

// IPAs made with the zip tool from a tree of files, with zipinfo and the simulator's ditto.
class IPATest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        tools = std::make_unique<TestSupport::ScopedEnvironment>(
            "ZUQ_TOOLS_DIR", (TestSupport::binaryDirectory() / "apple-tools").string());
    }

    // Zips the files and links under a fresh directory into `name`.ipa, keeping links as links.
    // Each entry is a path; one ending in "/" is a directory; "a -> b" is a link a to b.
    fs::path makeIPA(const std::string& name, const std::vector<std::string>& entries) {
        fs::path tree = directory / "trees" / name;
        fs::create_directories(tree);
        for (const std::string& entry : entries) {
            std::size_t arrow = entry.find(" -> ");
            fs::path path = tree / entry.substr(0, arrow);
            fs::create_directories(entry.ends_with('/') ? path : path.parent_path());
            if (arrow != std::string::npos) {
                fs::create_symlink(entry.substr(arrow + 4), path);
            } else if (!entry.ends_with('/')) {
                TestSupport::writeFile(path, "content of " + entry);
            }
        }
        fs::path ipa = directory / (name + ".ipa");
        std::vector<std::string> arguments{"-qry", ipa.string()};
        for (const auto& top : fs::directory_iterator(tree)) {
            arguments.push_back(top.path().filename().string());
        }
        std::sort(arguments.begin() + 2, arguments.end());
        TestSupport::Output zipped = TestSupport::run("/bin/sh", [&] {
            std::vector<std::string> script{"-c", "cd \"$0\" && exec zip \"$@\"", tree.string()};
            script.insert(script.end(), arguments.begin(), arguments.end());
            return script;
        }());
        EXPECT_EQ(zipped.status, 0) << zipped.err;
        return ipa;
    }

    // Renames entries in place, byte for byte: `from` and `to` have the same length, so the
    // archive stays well formed with names the zip tool would not write.
    static void rename(const fs::path& ipa, const std::string& from, const std::string& to) {
        ASSERT_EQ(from.size(), to.size());
        std::string bytes = TestSupport::readFile(ipa);
        std::size_t count = 0;
        for (std::size_t at = bytes.find(from); at != std::string::npos;
             at = bytes.find(from, at + to.size())) {
            bytes.replace(at, from.size(), to);
            ++count;
        }
        ASSERT_GE(count, 2u) << "the name is in the local header and the central directory";
        TestSupport::writeFile(ipa, bytes);
    }

    std::unique_ptr<TestSupport::ScopedEnvironment> tools;
};

TEST_F(IPATest, ScreensEntriesBeforeWritingAndFindsTheOneApp) {
    struct Case {
        const char* name;
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> renames;
        std::string expected; // the app's path under the destination, or the error
    };
    const std::vector<std::string> app{"Payload/App.app/Info.plist", "Payload/App.app/App"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), app.begin(), app.end());
        return more;
    };
    const Case cases[] = {
        {"plain", app, {}, "Payload/App.app"},
        {"with SwiftSupport and Symbols",
         with({"SwiftSupport/iphoneos/libswiftCore.dylib", "Symbols/ABC.symbols"}),
         {},
         "Payload/App.app"},
        {"with a plain file beside the app", with({"Payload/README"}), {}, "Payload/App.app"},
        {"with dots inside a piece", with({"Payload/App.app/a..b/c..", "Payload/App.app/..d"}),
         {}, "Payload/App.app"},
        {"climbing out", with({"Payload/XX/XX/evil"}), {{"Payload/XX/XX/", "Payload/../../"}},
         unsafe},
        {"climbing at the end", with({"Payload/App.app/XX/"}), {{"App.app/XX/", "App.app/../"}},
         unsafe},
        {"absolute", with({"XPayload/evil"}), {{"XPayload/evil", "/Payload/evil"}}, unsafe},
        {"backslash", with({"Payload/App.app/Resources\\evil"}), {}, unsafe},
        {"link deep in the app", with({"Payload/App.app/Frameworks/A.framework/A -> ../../App"}),
         {}, links},
        {"two apps", with({"Payload/Other.app/Info.plist"}), {}, notOneApp},
        {"no app", {"Payload/README"}, {}, notOneApp},
        {"an app named in capitals", {"Payload/App.APP/Info.plist"}, {}, notOneApp},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "case" + std::to_string(++number);
        fs::path ipa = makeIPA(name, c.entries);
        for (const auto& [from, to] : c.renames) {
            rename(ipa, from, to);
        }
        fs::path destination = directory / "out" / name / "Extracted";
        fs::path log = directory / "out" / (name + ".log");
        std::string result = failure([&] {
            fs::path found = BuildPipeline::extractIPA(ipa, destination, log, "job");
            EXPECT_EQ(found, destination / c.expected);
            EXPECT_TRUE(fs::is_directory(found));
            EXPECT_EQ(TestSupport::readFile(found / "Info.plist"),
                      "content of Payload/App.app/Info.plist");
            struct stat status {};
            ::stat(destination.c_str(), &status);
            EXPECT_EQ(status.st_mode & 0777, 0700u);
            EXPECT_EQ(TestSupport::readFile(log).rfind("\n$ ditto -x -k " + ipa.string() + " " +
                                                           destination.string() + "\n",
                                                       0),
                      0u);
        });
        if (c.expected.starts_with("Payload/")) {
            EXPECT_EQ(result, "no error");
            continue;
        }
        EXPECT_EQ(result, c.expected);
        if (c.expected != notOneApp) {
            EXPECT_FALSE(fs::exists(destination)) << "written before the entries were screened";
            EXPECT_FALSE(fs::exists(log));
        }
    }
}

TEST_F(IPATest, AnIPAWithoutPayloadFailsWithTheFileSystemsError) {
    fs::path ipa = makeIPA("bare", {"App.app/Info.plist"});
    fs::path destination = directory / "Extracted";
    EXPECT_EQ(failure([&] { BuildPipeline::extractIPA(ipa, destination, std::nullopt, "job"); }),
              "Cannot list " + (destination / "Payload").string() +
                  ": No such file or directory");
}

TEST_F(IPATest, AStoppedJobStartsNoTool) {
    fs::path ipa = makeIPA("plain", {"Payload/App.app/Info.plist"});
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(BuildPipeline::extractIPA(ipa, directory / "Extracted", std::nullopt, "job",
                                           stopped.get_token()),
                 CancellationError);
    EXPECT_FALSE(fs::exists(directory / "Extracted"));
}

TEST_F(IPATest, ExtensionsAreFoundAtAnyDepth) {
    fs::path app = directory / "App.app";
    for (const char* folder :
         {"PlugIns/Widget.appex/PlugIns/Nested.appex", "Frameworks/Kit.framework/PlugIns/Kit.appex",
          "PlugIns/Intents.appex", "Resources/Shelf.APPEX", "Resources/not-a-bundle"}) {
        fs::create_directories(app / folder);
    }
    TestSupport::writeFile(app / "PlugIns" / "file.appex", "a file, not a bundle");
    std::vector<fs::path> found = BuildPipeline::extensionBundles(app);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<fs::path>{app / "Frameworks/Kit.framework/PlugIns/Kit.appex",
                                            app / "PlugIns/Intents.appex",
                                            app / "PlugIns/Widget.appex",
                                            app / "PlugIns/Widget.appex/PlugIns/Nested.appex"}));
    EXPECT_TRUE(BuildPipeline::extensionBundles(directory / "Plain.app").empty());
}

} // namespace
