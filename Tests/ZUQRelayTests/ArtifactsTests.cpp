// Builds on disk: where uploads land, what replaces them, when they go, and what survives a
// restart.
#include "AppendingThread.hpp"
#include "Platform/Digest.hpp"
#include "Platform/File.hpp"
#include "Schema.hpp"
#include "ServiceFixture.hpp"

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

using namespace ZUQRelayTests;

namespace {

using ArtifactsTest = ServiceTest;

std::string readAll(ZUQRelay::Download& download) {
    std::string content(download.size, '\0');
    EXPECT_EQ(::pread(download.file.get(), content.data(), content.size(), 0),
              static_cast<ssize_t>(content.size()));
    return content;
}

TEST_F(ArtifactsTest, AnUploadIsHashedAndAppearsOnlyWhenStored) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 131 % 251);
    }
    ZUQRelay::Upload upload(*artifacts);
    for (std::size_t offset = 0; offset < content.size(); offset += 4096) {
        upload.append(content.data() + offset,
                      std::min<std::size_t>(4096, content.size() - offset));
    }
    std::string sha = upload.finish();
    EXPECT_EQ(sha, Platform::sha256Hex(content));
    EXPECT_EQ(upload.size(), content.size());
    // Until stored, only a hidden temporary file exists.
    ASSERT_EQ(storedFiles().size(), 1u);
    EXPECT_TRUE(storedFiles()[0].starts_with(".upload-"));

    service->storeUpload(member.caller, job, lease, upload, sha);
    EXPECT_EQ(storedFiles(), std::vector<std::string>{job + "." + sha});
    service->finishBuild(member.caller, job, lease, JSON::object({{"manifest", JSON::object()}}));
    EXPECT_EQ(service->job(member.caller, job)["artifact_sha"].text(), sha);

    std::string install = claim(member);
    ZUQRelay::Download download = service->openDownload(member.caller, job, install);
    EXPECT_EQ(download.size, content.size());
    EXPECT_EQ(readAll(download), content);
}

TEST_F(ArtifactsTest, PiecesHandedToTheAppendingThreadLandInOrder) {
    // Pieces filled whole, partly and by a single byte, more of them than go round at once.
    std::string content(5 * 64 * 1024 + 3, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 131 % 251);
    }
    ZUQRelay::Upload upload(*artifacts);
    ZUQRelay::AppendingThread appender(upload, 64 * 1024, 2);
    const std::size_t sizes[] = {64 * 1024, 1, 40000, 64 * 1024};
    for (std::size_t offset = 0, turn = 0; offset < content.size(); ++turn) {
        char* piece = appender.empty();
        ASSERT_NE(piece, nullptr);
        std::size_t size = std::min(sizes[turn % std::size(sizes)], content.size() - offset);
        std::memcpy(piece, content.data() + offset, size);
        appender.fill(size);
        offset += size;
    }
    appender.end();
    EXPECT_EQ(upload.size(), content.size());
    EXPECT_EQ(upload.finish(), Platform::sha256Hex(content));
    std::string written(content.size(), '\0');
    EXPECT_EQ(::pread(upload.file().fd(), written.data(), written.size(), 0),
              static_cast<ssize_t>(written.size()));
    EXPECT_EQ(written, content);
}

TEST_F(ArtifactsTest, AFailedAppendStopsTheReaderAndIsRethrown) {
    ZUQRelay::Upload upload(*artifacts);
    // The file can no longer be written, as on a failing disk.
    int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    ASSERT_GE(::dup2(readOnly, upload.file().fd()), 0);
    ::close(readOnly);
    ZUQRelay::AppendingThread appender(upload, 4096, 2);
    int handed = 0;
    while (char* piece = appender.empty()) {
        std::memset(piece, 'x', 4096);
        appender.fill(4096);
        ASSERT_LT(++handed, 100) << "the reader was never stopped";
    }
    EXPECT_THROW(appender.end(), std::exception);
    EXPECT_LT(upload.size(), 4096u);
}

TEST_F(ArtifactsTest, ADroppedUploadLeavesNothing) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    claim(member);
    {
        ZUQRelay::Upload upload(*artifacts);
        upload.append("half a build", 12);
    }
    EXPECT_TRUE(storedFiles().empty());
    EXPECT_EQ(service->job(member.caller, job)["artifact_sha"], JSON());
}

TEST_F(ArtifactsTest, ARepeatedUploadReplacesTheEarlierOne) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    std::string first = upload(member, job, lease, "first build");
    std::string second = upload(member, job, lease, "second build");
    EXPECT_EQ(storedFiles(), std::vector<std::string>{job + "." + second});
    // The same bytes again keep the file in place.
    upload(member, job, lease, "second build");
    EXPECT_EQ(storedFiles(), std::vector<std::string>{job + "." + second});
    service->finishBuild(member.caller, job, lease, JSON::object({{"manifest", JSON::object()}}));
    EXPECT_EQ(service->job(member.caller, job)["artifact_sha"].text(), second);
    EXPECT_NE(first, second);
}

TEST_F(ArtifactsTest, TheBuildGoesWhenItsJobEndsInAnyWay) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    auto uploaded = [&](bool finishBuild) {
        std::string job = submit(builder, builder, receiver);
        std::string claimed;
        std::string lease = claim(builder, &claimed);
        EXPECT_EQ(claimed, job);
        upload(builder, job, lease, "build of " + job);
        if (finishBuild) {
            service->finishBuild(builder.caller, job, lease,
                                 JSON::object({{"manifest", JSON::object()}}));
        }
        return std::pair(job, lease);
    };
    {
        auto [job, lease] = uploaded(true);
        std::string install = claim(receiver);
        service->finish(receiver.caller, job, install);
        EXPECT_EQ(state(builder, job), "succeeded");
        EXPECT_TRUE(storedFiles().empty());
    }
    {
        auto [job, lease] = uploaded(false);
        service->fail(builder.caller, job, lease, JSON::object({{"error", "no"}}));
        EXPECT_TRUE(storedFiles().empty());
    }
    {
        auto [job, lease] = uploaded(true);
        service->cancel(receiver.caller, job);
        EXPECT_TRUE(storedFiles().empty());
    }
    {
        auto [job, lease] = uploaded(false);
        clock.advance(61);
        service->sweep();
        EXPECT_EQ(state(builder, job), "failed");
        EXPECT_TRUE(storedFiles().empty());
    }
}

TEST_F(ArtifactsTest, AnUploadToAJobThatEndedMeanwhileIsRefusedAndDropped) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    {
        ZUQRelay::Upload upload(*artifacts);
        upload.append("build", 5);
        std::string sha = upload.finish();
        service->cancel(member.caller, job);
        EXPECT_REFUSED(service->storeUpload(member.caller, job, lease, upload, sha), 409,
                       "Job is cancelled");
    }
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(ArtifactsTest, StartUpRemovesFilesNoJobNeeds) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    std::string sha = upload(member, job, lease, "kept");
    std::string ended = submit(member, member, member);
    Platform::atomicWrite(directory / "artifacts" / (ended + "." + sha), "left behind");
    Platform::atomicWrite(directory / "artifacts" / (job + ".0000"), "an older upload");
    Platform::atomicWrite(directory / "artifacts" / ".upload-abc123", "cut short");
    Platform::atomicWrite(directory / "artifacts" / "stray", "?");
    service->cancel(member.caller, ended);
    if (store->shared()) {
        // Another relay may be writing or recording any file that changed lately.
        EXPECT_EQ(service->cleanArtifacts(), 0u);
        EXPECT_EQ(storedFiles().size(), 5u);
        auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(11);
        for (const auto& entry : std::filesystem::directory_iterator(directory / "artifacts")) {
            std::filesystem::last_write_time(entry.path(), longAgo);
        }
    }
    EXPECT_EQ(service->cleanArtifacts(), 4u);
    EXPECT_EQ(storedFiles(), std::vector<std::string>{job + "." + sha});
}

TEST_F(ArtifactsTest, EverythingSurvivesReopeningTheDatabase) {
    Member owner = createGroup("Team", "Owner");
    Member other = join(owner, "Other");
    std::string job = submit(owner, owner, other);
    std::string lease = claim(owner);
    std::string sha = upload(owner, job, lease, "the build");
    service->addEvent(owner.caller, job, lease, JSON::object({{"message", "Uploaded"}}));
    JSON group = JSON::decode(service->groupText(owner.caller));
    JSON record = service->job(owner.caller, job);

    reopen();
    EXPECT_EQ(service->authenticate(other.authorization()).groupID, owner.group);
    EXPECT_EQ(JSON::decode(service->groupText(owner.caller)), group);
    EXPECT_EQ(service->job(other.caller, job), record);
    EXPECT_EQ(service->events(other.caller, job, 0)["events"].items()[0]["message"].text(),
              "Uploaded");
    // The lease and the build are still there: the build can be finished.
    EXPECT_EQ(service
                  ->finishBuild(owner.caller, job, lease,
                                JSON::object({{"manifest", JSON::object()}}))["artifact_sha"]
                  .text(),
              sha);
}

TEST_F(ArtifactsTest, ADatabaseFromANewerRelayIsLeftAlone) {
    if (testDatabase) {
        GTEST_SKIP() << "an SQLite file's own version; the cluster's is tested with its schema";
    }
    store.reset();
    {
        ZUQRelay::Database file(directory / "relay.sqlite3");
        file.execute("PRAGMA user_version = 99");
    }
    try {
        ZUQRelay::Store newer(directory / "relay.sqlite3");
        ADD_FAILURE() << "a newer schema was accepted";
    } catch (const ZUQError& error) {
        EXPECT_NE(std::string(error.what()).find("schema version 99"), std::string::npos)
            << error.what();
    }
    ZUQRelay::Database reopened(directory / "relay.sqlite3");
    EXPECT_EQ(reopened.pragma("user_version"), 99);
}

} // namespace
