#include "RelayFixture.hpp"

#include "Platform/Digest.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

namespace ZUQRelayTests {

namespace fs = std::filesystem;

void RelayTest::SetUp() {
    TemporaryDirectoryTest::SetUp();
    if (onPostgreSQL()) {
        if (testCluster().empty()) {
            GTEST_SKIP() << noCluster;
        }
        testDatabase = std::make_unique<TestDatabase>();
    }
    startRelay();
}

void RelayTest::TearDown() {
    client_.reset();
    // Every relay must stop cleanly on SIGTERM, whatever the test left it doing.
    if (relay && relay->running()) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(relay->stop(), 0) << relay->log();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
            << relay->log();
    }
    relay.reset();
    testDatabase.reset();
    TemporaryDirectoryTest::TearDown();
}

void RelayTest::startRelay(const std::vector<std::string>& arguments,
                           std::optional<std::size_t> descriptorLimit) {
    client_.reset();
    relay.reset();
    std::vector<std::string> all = arguments;
    if (testDatabase) {
        all.insert(all.end(), {"--database", testDatabase->url()});
    }
    relay = std::make_unique<TestSupport::RelayProcess>(directory / "relay", all, descriptorLimit);
    client_ = std::make_unique<HTTPClient>(relay->url());
}

Mac RelayTest::createGroup(const std::string& name, const std::string& device) {
    return createGroup(client(), name, device);
}

Mac RelayTest::createGroup(HTTPClient& over, const std::string& name, const std::string& device) {
    Reply reply =
        over.request("POST", "/v1/groups", JSON::object({{"name", name}, {"device_name", device}}),
                     {"X-ZUQ-Bootstrap: " + relay->bootstrapSecret()});
    EXPECT_EQ(reply.status, 200) << reply.body;
    JSON answer = reply.json();
    return {answer["group_id"].text(), answer["device_id"].text(), answer["token"].text()};
}

Mac RelayTest::join(const Mac& inviter, const std::string& device) {
    Reply invite =
        client().request("POST", "/v1/invites", JSON::object(), {inviter.authorization()});
    EXPECT_EQ(invite.status, 200) << invite.body;
    Reply reply =
        client().request("POST", "/v1/join",
                         JSON::object({{"code", invite.json()["code"]}, {"device_name", device}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    JSON answer = reply.json();
    return {answer["group_id"].text(), answer["device_id"].text(), answer["token"].text()};
}

Reply RelayTest::submitJob(const Mac& submitter, const Mac& builder, const Mac& receiver) {
    return client().request("POST", "/v1/jobs",
                            JSON::object({{"builder_id", builder.device},
                                          {"receiver_id", receiver.device},
                                          {"project_id", "P1"},
                                          {"scheme", "App"},
                                          {"configuration", "Release"},
                                          {"mode", "adhoc"},
                                          {"udid", "00008110-000A"}}),
                            {submitter.authorization()});
}

std::string RelayTest::submit(const Mac& submitter, const Mac& builder, const Mac& receiver) {
    Reply reply = submitJob(submitter, builder, receiver);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.json()["id"].text();
}

std::string RelayTest::claim(const Mac& mac, const std::string& job) {
    Reply reply = client().request("POST", "/v1/claim", JSON::object(), {mac.authorization()});
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.json()["job"]["id"].text(), job) << reply.body;
    return reply.json()["lease"].text();
}

Reply RelayTest::uploadFile(const Mac& mac, const std::string& job, const std::string& lease,
                            const fs::path& file, bool withChecksum) {
    std::vector<std::string> headers = {mac.authorization(), "X-ZUQ-Lease: " + lease};
    if (withChecksum) {
        headers.push_back("X-ZUQ-SHA256: " + Platform::sha256Hex(TestSupport::readFile(file)));
    }
    return client().upload("/v1/jobs/" + job + "/artifact", file, headers);
}

fs::path RelayTest::makeFile(const std::string& name, std::size_t size) {
    fs::path path = directory / name;
    std::string content(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& c : content) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    TestSupport::writeFile(path, content);
    return path;
}

std::vector<std::string> RelayTest::storedFiles() const {
    std::vector<std::string> names;
    fs::path folder = relay->dataDirectory() / "artifacts";
    if (fs::exists(folder)) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool RelayTest::waitForLog(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (relay->log().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace ZUQRelayTests
