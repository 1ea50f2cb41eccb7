// What the relay's files on the disk allow others: nothing.
#include "RelayFixture.hpp"

#include <sys/stat.h>

using namespace ZUQRelayTests;

namespace {

namespace fs = std::filesystem;

using FilesTest = RelayTest;

unsigned mode(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return 01000; // no such file: matches no mode
    }
    return status.st_mode & 07777;
}

TEST_F(FilesTest, EverythingTheRelayKeepsIsItsOwnersAlone) {
    // Built and stored while the relay runs, so the database's log and index exist.
    Mac owner = createGroup();
    std::string job = submit(owner, owner, owner);
    std::string lease = claim(owner, job);
    ASSERT_EQ(uploadFile(owner, job, lease, makeFile("app.ipa", 1000)).status, 200);

    const fs::path data = relay->dataDirectory();
    struct Case {
        fs::path path;
        unsigned expected;
    } cases[] = {
        {data, 0700},
        {data / "artifacts", 0700},
        {data / "relay.sqlite3", 0600},
        {data / "relay.sqlite3-wal", 0600},
        {data / "relay.sqlite3-shm", 0600},
        {data / "relay.lock", 0600},
        {data / "bootstrap-secret", 0600},
    };
    for (const auto& [path, expected] : cases) {
        if (testDatabase && path.filename().string().starts_with("relay.sqlite3")) {
            continue;
        }
        EXPECT_EQ(mode(path), expected) << path;
    }
    std::vector<std::string> builds = storedFiles();
    ASSERT_EQ(builds.size(), 1u);
    EXPECT_EQ(mode(data / "artifacts" / builds[0]), 0600u);
}

TEST_F(FilesTest, ALooseDataDirectoryAndBootstrapFileAreTightenedWithAWarning) {
    Mac owner = createGroup();
    relay->stop();
    const fs::path data = relay->dataDirectory();
    fs::path secret = directory / "secret";
    TestSupport::writeFile(secret, "shared-secret\n");
    struct Case {
        fs::path path;
        unsigned loose;
        unsigned tight;
    } cases[] = {
        {data, 0755, 0700},
        {data / "artifacts", 0775, 0700},
        {data / "relay.sqlite3", 0644, 0600},
        {data / "bootstrap-secret", 0640, 0600},
        {secret, 0604, 0600},
    };
    // A relay on PostgreSQL keeps no database file.
    auto made = [&](const fs::path& path) {
        return !testDatabase || path.filename() != "relay.sqlite3";
    };
    for (const auto& [path, loose, tight] : cases) {
        if (made(path)) {
            ASSERT_EQ(::chmod(path.c_str(), loose), 0) << path;
        }
    }
    // A relay left this way keeps starting, and keeps its groups.
    startRelay({"--bootstrap-file", secret.string()});
    for (const auto& [path, loose, tight] : cases) {
        if (!made(path)) {
            continue;
        }
        EXPECT_EQ(mode(path), tight) << path;
        EXPECT_NE(relay->log().find(path.string() + " was readable by others"),
                  std::string::npos)
            << relay->log();
    }
    if (!testDatabase) {
        EXPECT_EQ(mode(data / "relay.sqlite3-wal"), 0600u) << "made with the database's mode";
    }
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {owner.authorization()}).status,
              200);

    // Nothing to say once all is owner-only.
    std::size_t before = relay->log().size();
    relay->restart();
    EXPECT_EQ(relay->log().substr(before).find("readable by others"), std::string::npos)
        << relay->log();
}

} // namespace
