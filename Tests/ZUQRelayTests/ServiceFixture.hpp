// The relay's rules on a real database in a fresh directory, with a clock the test moves.
#pragma once

#include "JSONPrinting.hpp"
#include "Routes.hpp"
#include "Service.hpp"
#include "Support.hpp"
#include "TestDatabase.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace ZUQRelayTests {

/// A clock that stands still until told to move.
class ManualClock final : public ZUQRelay::Clock {
public:
    double now() const override { return now_; }
    void advance(double seconds) { now_ = now_ + seconds; }

private:
    std::atomic<double> now_{1'750'000'000.0};
};

/// An enrolled device: what group creation or joining answered.
struct Member {
    std::string group;
    std::string device;
    std::string token;
    ZUQRelay::Caller caller;
    std::string authorization() const { return "Bearer " + device + "." + token; }
};

class ServiceTest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /// Stops the rules as the relay does when it stops, then reopens the database.
    void reopen();

    Member createGroup(const std::string& name = "Team", const std::string& device = "Builder");
    Member join(const Member& inviter, const std::string& device);
    /// A building job from `submitter`'s group with the given builder and receiver.
    std::string submit(const Member& submitter, const Member& builder, const Member& receiver,
                       const std::string& udid = "00008110-000A");
    /// Claims as `member`; the lease, or empty when nothing was handed out.
    std::string claim(const Member& member, std::string* job = nullptr);
    /// Uploads `content` as the build of `job` with the builder's lease; returns its SHA-256.
    std::string upload(const Member& builder, const std::string& job, const std::string& lease,
                       const std::string& content);
    std::string state(const Member& member, const std::string& job);
    /// The files in the artifacts directory.
    std::vector<std::string> storedFiles() const;

    ManualClock clock;
    /// The PostgreSQL database the store is on, when the tests run on PostgreSQL.
    std::unique_ptr<TestDatabase> testDatabase;
    /// The rules' quotas and retention; `reopen` applies a change.
    ZUQRelay::Policy policy;
    std::unique_ptr<ZUQRelay::Store> store;
    std::unique_ptr<ZUQRelay::Artifacts> artifacts;
    std::unique_ptr<ZUQRelay::Service> service;
};

/// Runs `body`, expecting a Refusal whose reason travels as `expectedStatus`, with exactly
/// `sentence`.
#define EXPECT_REFUSED(body, expectedStatus, sentence)                                             \
    do {                                                                                           \
        try {                                                                                      \
            body;                                                                                  \
            ADD_FAILURE() << "expected a refusal: " << (sentence);                                 \
        } catch (const ZUQRelay::Refusal& refusal) {                                               \
            EXPECT_EQ(static_cast<int>(Protocol::status(refusal.reason())),                \
                      (expectedStatus));                                                           \
            EXPECT_EQ(std::string(refusal.what()), std::string(sentence));                         \
        }                                                                                          \
    } while (false)

} // namespace ZUQRelayTests
