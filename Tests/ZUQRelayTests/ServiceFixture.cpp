#include "ServiceFixture.hpp"

#include "Platform/Digest.hpp"

#include <algorithm>
#include <filesystem>

namespace ZUQRelayTests {

using ZUQRelay::Caller;

void ServiceTest::SetUp() {
    TemporaryDirectoryTest::SetUp();
    if (onPostgreSQL()) {
        if (testCluster().empty()) {
            GTEST_SKIP() << noCluster;
        }
        testDatabase = std::make_unique<TestDatabase>();
    }
    reopen();
}

void ServiceTest::TearDown() {
    service.reset();
    artifacts.reset();
    store.reset();
    testDatabase.reset();
    TemporaryDirectoryTest::TearDown();
}

void ServiceTest::reopen() {
    // As the relay does when it stops.
    if (service) {
        service->sweep(true);
    }
    service.reset();
    artifacts.reset();
    store.reset();
    store = testDatabase ? std::make_unique<ZUQRelay::Store>(testDatabase->url(), 8)
                         : std::make_unique<ZUQRelay::Store>(directory / "relay.sqlite3");
    artifacts = std::make_unique<ZUQRelay::Artifacts>(directory / "artifacts");
    service = std::make_unique<ZUQRelay::Service>(*store, *artifacts, clock, policy);
}

Member ServiceTest::createGroup(const std::string& name, const std::string& device) {
    JSON answer = service->createGroup(JSON::object({{"name", name}, {"device_name", device}}));
    Member member{
        answer["group_id"].text(), answer["device_id"].text(), answer["token"].text(), {}};
    member.caller = service->authenticate(member.authorization());
    return member;
}

Member ServiceTest::join(const Member& inviter, const std::string& device) {
    JSON invite = service->createInvite(inviter.caller);
    JSON answer = service->join(JSON::object({{"code", invite["code"]}, {"device_name", device}}));
    Member member{
        answer["group_id"].text(), answer["device_id"].text(), answer["token"].text(), {}};
    member.caller = service->authenticate(member.authorization());
    return member;
}

std::string ServiceTest::submit(const Member& submitter, const Member& builder,
                                const Member& receiver, const std::string& udid) {
    JSON job = service->submit(submitter.caller, JSON::object({{"builder_id", builder.device},
                                                               {"receiver_id", receiver.device},
                                                               {"project_id", "P1"},
                                                               {"scheme", "App"},
                                                               {"configuration", "Release"},
                                                               {"mode", "adhoc"},
                                                               {"udid", udid}}));
    return job["id"].text();
}

std::string ServiceTest::claim(const Member& member, std::string* job) {
    JSON answer = service->claim(member.caller);
    if (job) {
        *job = answer["job"]["id"].text();
    }
    return answer["lease"].text();
}

std::string ServiceTest::upload(const Member& builder, const std::string& job,
                                const std::string& lease, const std::string& content) {
    ZUQRelay::Upload upload(*artifacts);
    upload.append(content.data(), content.size());
    std::string sha = upload.finish();
    service->storeUpload(builder.caller, job, lease, upload, sha);
    return sha;
}

std::string ServiceTest::state(const Member& member, const std::string& job) {
    return service->job(member.caller, job)["state"].text();
}

std::vector<std::string> ServiceTest::storedFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory / "artifacts")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace ZUQRelayTests
