#include "BuildPipeline.hpp"
#include "Support.hpp"
#include "ZipWriter.hpp"

#include <algorithm>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

const std::string unsafe = "Unsafe IPA archive path";
const std::string links = "IPAs containing symbolic links are not supported by this ZUQ version.";
const std::string notOneApp = "IPA must contain exactly one iOS app";
const std::string specials =
    "IPAs containing device files, pipes or sockets are not supported by this ZUQ version.";

using TestSupport::ZipWriter;
using Entry = ZipWriter::Entry;

// The entries of a plain one-app IPA, first in every archive written here.
ZipWriter oneApp() {
    return std::move(ZipWriter()
                         .add(Entry{"Payload/", "", false, 040755})
                         .add(Entry{"Payload/App.app/", "", false, 040755})
                         .add("Payload/App.app/Info.plist", "content of Payload/App.app/Info.plist"));
}

// A symbolic link entry: its data is where it points.
Entry link(std::string name, std::string target) {
    return Entry{.name = std::move(name), .data = std::move(target), .deflate = false,
                 .mode = 0120777};
}

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

// What a group member can put in a build: archives whose every entry is screened before
// anything is written, however long the archive.
TEST_F(IPATest, AHostileArchiveWritesNothingAnywhere) {
    fs::path elsewhere = directory / "LaunchAgents";
    fs::create_directories(elsewhere);
    // Enough long names that a listing of the archive runs well past 8 MiB.
    auto fillers = [](ZipWriter archive) {
        for (int i = 0; i < 34'000; ++i) {
            archive.add(Entry{.name = "Payload/App.app/Resources/" + std::string(250, 'f') +
                                      std::to_string(i),
                              .data = "",
                              .deflate = false});
        }
        return archive;
    };
    BuildPipeline::UnpackLimits small{.entries = 10, .bytes = 1 << 20};
    std::string zeros(700 * 1024, '\0');
    struct Case {
        const char* name;
        std::string bytes;
        BuildPipeline::UnpackLimits limits;
        std::string expected;
    };
    const Case cases[] = {
        {"a link, a file through it, then a long tail",
         fillers(oneApp()
                     .add(link("Payload/App.app/x", elsewhere.string()))
                     .add("Payload/App.app/x/dev.evil.plist", "<plist/>"))
             .bytes(),
         {},
         links},
        {"a climbing name after a long tail",
         fillers(oneApp()).add("Payload/App.app/../../evil", "x").bytes(),
         {},
         unsafe},
        {"a Unicode path field that climbs",
         oneApp().add(Entry{.name = "Payload/App.app/a", .data = "x",
                            .unicodeName = "../../evil"}).bytes(),
         {},
         unsafe},
        {"a NUL in a name", oneApp().add(std::string("Payload/App.app/a\0/b", 20), "x").bytes(),
         {}, unsafe},
        {"a pipe", oneApp().add(Entry{.name = "Payload/App.app/p", .data = "", .mode = 010644}).bytes(),
         {}, specials},
        {"a device", oneApp().add(Entry{.name = "Payload/App.app/d", .data = "", .mode = 020644}).bytes(),
         {}, specials},
        {"more entries than allowed", fillers(oneApp()).bytes(), small,
         "The IPA lists 34003 entries; this Mac unpacks at most 10"},
        {"more bytes than allowed",
         oneApp().add("Payload/App.app/a", zeros).add("Payload/App.app/b", zeros).bytes(), small,
         "The IPA expands to 1433637 bytes, more than the 1048576 this Mac unpacks"},
        // Two entries claiming 5 GiB each: refused from the directory alone.
        {"a bomb over the default limit",
         oneApp()
             .zip64()
             .add(Entry{.name = "Payload/App.app/a", .data = "0", .declaredSize = 5ull << 30})
             .add(Entry{.name = "Payload/App.app/b", .data = "0", .declaredSize = 5ull << 30})
             .bytes(),
         {},
         "The IPA expands to 10737418277 bytes, more than the 8589934592 this Mac unpacks"},
        {"a bomb that declares little",
         oneApp().add(Entry{.name = "Payload/App.app/a", .data = std::string(8 << 20, '\0'),
                            .declaredSize = 1024}).bytes(),
         {},
         "The IPA is not a well-formed ZIP archive: the entry Payload/App.app/a holds more "
         "than the 1024 bytes it declares"},
        {"an entry hidden from the directory",
         oneApp().hide(ZipWriter().add("Payload/App.app/hidden", "x").bytes().substr(0, 50)).bytes(),
         {},
         "The IPA is not a well-formed ZIP archive: the archive holds bytes that no entry "
         "accounts for"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path ipa = directory / "hostile.ipa";
        TestSupport::writeFile(ipa, c.bytes);
        fs::path destination = directory / "Receive" / "Extracted";
        EXPECT_EQ(failure([&] {
                      BuildPipeline::extractIPA(ipa, destination, std::nullopt, "job", {},
                                                c.limits);
                  }),
                  c.expected);
        EXPECT_FALSE(fs::exists(destination)) << "written before the archive was screened";
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
    fs::path ipa = directory / "free.ipa";
    TestSupport::writeFile(ipa, oneApp().zip64().add(Entry{.name = "Payload/App.app/a",
                                  .data = "0", .declaredSize = 1ull << 60}).bytes());
    EXPECT_TRUE(failure([&] {
        BuildPipeline::extractIPA(ipa, directory / "Receive" / "Extracted", std::nullopt, "job",
                                  {}, {.bytes = UINT64_MAX});
    }).starts_with("The IPA expands to 1152921504606847013 bytes, more than the "))
        << "nor more than the disk holds";
}

// Whatever the expanding tool makes of an archive, what it leaves must be plain files and
// folders inside the destination, which is a fresh folder only this user can enter.
TEST_F(IPATest, TheExpansionIsCheckedAndStartsInAFreshPrivateFolder) {
    fs::path ipa = directory / "plain.ipa";
    TestSupport::writeFile(ipa, oneApp().bytes());
    fs::path elsewhere = directory / "elsewhere";
    fs::create_directories(elsewhere);
    TestSupport::writeFile(elsewhere / "kept", "x");
    fs::path destination = directory / "Receive" / "Extracted";
    fs::create_directories(destination.parent_path());
    fs::create_directory_symlink(elsewhere, destination);

    fs::path app = BuildPipeline::extractIPA(ipa, destination, std::nullopt, "job");
    EXPECT_EQ(app, destination / "Payload" / "App.app");
    EXPECT_FALSE(fs::is_symlink(destination)) << "expanded through a link someone left";
    EXPECT_EQ(TestSupport::readFile(elsewhere / "kept"), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);

    // An expanding tool that makes a link of its own.
    fs::path lyingTools = directory / "lying-tools";
    fs::create_directories(lyingTools);
    TestSupport::writeFile(lyingTools / "ditto", "#!/bin/sh\nmkdir -p \"$4/Payload/App.app\"\n"
                                            "ln -s \"" + elsewhere.string() + "\" \"$4/Payload/App.app/x\"\n");
    fs::permissions(lyingTools / "ditto", fs::perms::owner_all);
    TestSupport::ScopedEnvironment lying("ZUQ_TOOLS_DIR", lyingTools.string());
    EXPECT_EQ(failure([&] { BuildPipeline::extractIPA(ipa, destination, std::nullopt, "job"); }),
              links);
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination / "Payload/App.app/x")));
}

} // namespace
