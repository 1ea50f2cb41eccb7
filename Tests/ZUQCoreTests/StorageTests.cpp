#include "Platform/Host.hpp"
#include "Platform/Keychain.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::TemporaryDirectoryTest;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

Credentials sample(std::string server = "https://relay.example.org") {
    return Credentials{std::move(server),
                       "d-1",
                       "t-1",
                       "g-1",
                       "Team",
                       "Mac One",
                       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="};
}

Platform::Keychain::Query item() {
    return {std::string(CredentialStore::service), std::string(CredentialStore::account)};
}

using PathsTest = TemporaryDirectoryTest;

TEST_F(PathsTest, RootFollowsTheEnvironment) {
    EXPECT_EQ(Paths::root(), stateDirectory);
    {
        TestSupport::ScopedEnvironment relative("ZUQ_STATE_DIR", "relative/state");
        EXPECT_EQ(Paths::root(), fs::current_path() / "relative/state");
    }
    TestSupport::ScopedEnvironment unset("ZUQ_STATE_DIR", std::nullopt);
    EXPECT_EQ(Paths::root(), home / ".local/share/ZUQ");
    TestSupport::ScopedEnvironment xdg("XDG_DATA_HOME", (directory / "xdg").string());
    EXPECT_EQ(Paths::root(), directory / "xdg/ZUQ");
    EXPECT_FALSE(fs::exists(directory / "xdg")) << "root must not create anything";
}

TEST_F(PathsTest, DirectoryCreatesEveryLevelOwnerOnly) {
    fs::path receive = Paths::directory("Jobs/0F8B1C52-2D1A-4E0B-9A57-6E3C1D2B4A10/Receive");
    EXPECT_EQ(receive, stateDirectory / "Jobs/0F8B1C52-2D1A-4E0B-9A57-6E3C1D2B4A10/Receive");
    for (fs::path level :
         {stateDirectory, stateDirectory / "Jobs", receive.parent_path(), receive}) {
        EXPECT_EQ(modeOf(level), 0700u) << level;
    }
    EXPECT_EQ(Paths::directory("Jobs/0F8B1C52-2D1A-4E0B-9A57-6E3C1D2B4A10/Receive"), receive);
    EXPECT_EQ(Paths::directory(""), stateDirectory);

    fs::create_directories(directory / "wide");
    ::chmod((directory / "wide").c_str(), 0755);
    TestSupport::ScopedEnvironment state("ZUQ_STATE_DIR", (directory / "wide").string());
    Paths::directory("");
    EXPECT_EQ(modeOf(directory / "wide"), 0755u) << "existing directories keep their mode";

    TestSupport::writeFile(directory / "file", "x");
    TestSupport::ScopedEnvironment blocked("ZUQ_STATE_DIR", (directory / "file").string());
    EXPECT_THROW(Paths::directory("Logs"), std::system_error);
}

TEST_F(PathsTest, AtomicWriteReplacesWholeFilesOwnerOnly) {
    fs::path file = Paths::directory("") / "projects.json";
    TestSupport::writeFile(file, "old content that is longer");
    ::chmod(file.c_str(), 0644);
    Paths::atomicWrite("new", file);
    EXPECT_EQ(TestSupport::readFile(file), "new");
    EXPECT_EQ(modeOf(file), 0600u);
    Paths::atomicWrite("", file);
    EXPECT_EQ(TestSupport::readFile(file), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(stateDirectory), fs::directory_iterator()), 1)
        << "no temporary file is left beside the destination";
    EXPECT_THROW(Paths::atomicWrite("x", stateDirectory / "missing" / "file"), std::system_error);
}

TEST(Credentials, FromResponseTakesOnlyStringMembers) {
    JSON response =
        JSON::decode(R"({"device_id": 7, "token": "tok", "group_id": "g", "group_name": "Team"})");
    Credentials credentials = Credentials::fromResponse("https://r", response, "Mac", "KEY");
    EXPECT_EQ(credentials, (Credentials{"https://r", "", "tok", "g", "Team", "Mac", "KEY"}));
    Credentials fromArray = Credentials::fromResponse("s", JSON::decode("[1]"), "n", "k");
    EXPECT_EQ(fromArray, (Credentials{"s", "", "", "", "", "n", "k"}));
    EXPECT_EQ((Credentials{"", "d", "t", "", "", "", ""}).authorization(), "Bearer d.t");
}

TEST(Credentials, StoredFormNeedsEverySevenStringMembers) {
    Credentials credentials = sample();
    EXPECT_EQ(Credentials::decode(credentials.encode()), credentials);
    JSON stored = JSON::decode(credentials.encode());
    EXPECT_EQ(stored.fields().size(), 7u);
    EXPECT_EQ(stored["encryptionKey"].text(), credentials.encryptionKey);
    JSON::Object extra = stored.fields();
    extra["later"] = true;
    EXPECT_EQ(Credentials::decode(JSON(extra).data()), credentials);
    for (const char* member : {"server", "token", "encryptionKey"}) {
        JSON::Object damaged = stored.fields();
        damaged.erase(member);
        EXPECT_THROW(Credentials::decode(JSON(damaged).data()), JSON::ParseError) << member;
        damaged[member] = 1;
        EXPECT_THROW(Credentials::decode(JSON(damaged).data()), JSON::ParseError) << member;
    }
}

using CredentialStoreTest = TemporaryDirectoryTest;

TEST_F(CredentialStoreTest, RoundTripThroughTheKeychainOfThisHome) {
    EXPECT_FALSE(CredentialStore::load().has_value());
    try {
        CredentialStore::require();
        FAIL() << "require succeeded without an item";
    } catch (const ZUQError& error) {
        EXPECT_STREQ(error.what(),
                     "This Mac is not enrolled. Use group create or group join first.");
    }
    CredentialStore::save(sample());
    EXPECT_EQ(CredentialStore::require(), sample());
    fs::path keychain = Platform::Keychain::directory();
    EXPECT_EQ(keychain, home / ".local/share/zuq-keychain");
    EXPECT_EQ(modeOf(keychain), 0700u);
    for (const auto& entry : fs::directory_iterator(keychain)) {
        EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    }
    // Another HOME is another Mac.
    TestSupport::ScopedEnvironment otherMac("HOME", (directory / "other").string());
    EXPECT_FALSE(CredentialStore::load().has_value());
}

TEST_F(CredentialStoreTest, AccessListOnlyFromAnApplicationBundle) {
    fs::path apps = directory / "Applications";
    struct Case {
        fs::path executable;
        bool bundle;
    };
    const Case cases[] = {
        {apps / "ZUQ.app/Contents/MacOS/ZUQ", true},
        {apps / "ZUQ.app/Contents/macos/ZUQ", false},
        {apps / "ZUQ.app/contents/MacOS/ZUQ", false},
        {directory / "usr/local/bin/zuq", false},
    };
    int mac = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable);
        TestSupport::ScopedEnvironment otherMac(
            "HOME", (directory / ("mac" + std::to_string(++mac))).string());
        TestSupport::writeFile(c.executable, "binary");
        TestSupport::writeFile(c.executable.parent_path() / "zuq", "tool");
        Platform::setProgramPath(c.executable.string());
        CredentialStore::save(sample());
        auto stored = Platform::Keychain::inspect(item());
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->accessibility, "afterFirstUnlockThisDeviceOnly");
        if (c.bundle) {
            EXPECT_EQ(stored->accessDescriptor, "ZUQ private group");
            EXPECT_EQ(stored->trustedApplications,
                      (std::vector<std::string>{(c.executable.parent_path() / "zuq").string(),
                                                (apps / "ZUQ.app").string()}));
        } else {
            EXPECT_FALSE(stored->accessDescriptor.has_value());
        }
    }
    Platform::setProgramPath("");
}

TEST_F(CredentialStoreTest, SavingAgainUpdatesTheDataOnly) {
    fs::path bundle = directory / "ZUQ.app/Contents/MacOS";
    TestSupport::writeFile(bundle / "zuq", "tool");
    Platform::setProgramPath((bundle / "zuq").string());
    CredentialStore::save(sample());
    Platform::setProgramPath((directory / "elsewhere/zuq").string());
    CredentialStore::save(sample("https://relay.other.org"));
    EXPECT_EQ(CredentialStore::require().server, "https://relay.other.org");
    auto stored = Platform::Keychain::inspect(item());
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->accessDescriptor, "ZUQ private group") << "the first access list stays";
    EXPECT_EQ(stored->trustedApplications.size(), 2u);
    Platform::setProgramPath("");
}

TEST_F(CredentialStoreTest, KeychainFailuresCarryTheirStatus) {
    fs::path keychain = Platform::Keychain::directory();
    fs::create_directories(keychain);
    TestSupport::writeFile(keychain / "read-only", "");
    EXPECT_EQ(TestSupport::failure([] { CredentialStore::save(sample()); }),
              "Cannot save ZUQ credentials in Keychain (-61).");
    fs::remove(keychain / "read-only");
    CredentialStore::save(sample());
    TestSupport::writeFile(keychain / "read-only", "");
    EXPECT_EQ(TestSupport::failure([] { CredentialStore::save(sample()); }),
              "Cannot update ZUQ credentials (-61).");
    EXPECT_EQ(CredentialStore::require(), sample()) << "a failed save keeps the previous item";
    TestSupport::writeFile(keychain / "locked", "");
    EXPECT_EQ(TestSupport::failure([] { CredentialStore::load(); }),
              "Cannot read ZUQ credentials from Keychain (-25308). Unlock your login keychain.");
    EXPECT_EQ(TestSupport::failure([] { CredentialStore::save(sample()); }),
              "Cannot update ZUQ credentials (-25308).");
}

TEST_F(CredentialStoreTest, ADamagedItemFailsInsteadOfLookingUnenrolled) {
    JSON::Object partial = JSON::decode(sample().encode()).fields();
    partial.erase("encryptionKey");
    ASSERT_EQ(Platform::Keychain::add(item(), JSON(partial).data(), std::nullopt),
              Platform::Keychain::success);
    EXPECT_THROW(CredentialStore::load(), JSON::ParseError);
    EXPECT_THROW(CredentialStore::require(), JSON::ParseError);
}

} // namespace
