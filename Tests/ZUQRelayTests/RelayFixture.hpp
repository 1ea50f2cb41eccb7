// A real zuq-relay on 127.0.0.1 and helpers to enrol Macs and move jobs along over HTTP.
#pragma once

#include "HTTPClient.hpp"
#include "RelayProcess.hpp"
#include "Support.hpp"
#include "TestDatabase.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZUQRelayTests {

/// What group creation or joining answered, as a Mac would keep it.
struct Mac {
    std::string group;
    std::string device;
    std::string token;
    std::string authorization() const { return "Authorization: Bearer " + device + "." + token; }
};

class RelayTest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /// Starts the fixture's relay again with extra arguments, and a limit on its open files.
    void startRelay(const std::vector<std::string>& arguments = {},
                    std::optional<std::size_t> descriptorLimit = std::nullopt);

    /// The client requests go through: the fixture's relay's, unless `speakTo` says otherwise.
    HTTPClient& client() { return speaking_ ? *speaking_ : *client_; }
    /// Sends the helpers' requests through `other` (nullptr: the fixture's relay again).
    void speakTo(HTTPClient* other) { speaking_ = other; }
    Mac createGroup(const std::string& name = "Team", const std::string& device = "Builder");
    /// The same over `over`, a client of the relay's own (one that speaks its TLS, say).
    Mac createGroup(HTTPClient& over, const std::string& name, const std::string& device);
    Mac join(const Mac& inviter, const std::string& device);
    /// Submits a job as `submitter`; the relay's answer, whatever it is.
    Reply submitJob(const Mac& submitter, const Mac& builder, const Mac& receiver);
    /// The same, expecting it to be accepted; returns the job's id.
    std::string submit(const Mac& submitter, const Mac& builder, const Mac& receiver);
    /// Claims as `mac`, checking that `job` is what it gets; returns the lease.
    std::string claim(const Mac& mac, const std::string& job);
    Reply uploadFile(const Mac& mac, const std::string& job, const std::string& lease,
                     const std::filesystem::path& file, bool withChecksum = true);
    /// Writes `size` deterministic bytes to a new file and returns its path.
    std::filesystem::path makeFile(const std::string& name, std::size_t size);
    /// The build files in the relay's data directory (temporary ones included).
    std::vector<std::string> storedFiles() const;
    /// Waits (up to 30 s) until the relay's log has a line containing `text`.
    bool waitForLog(const std::string& text);

    std::unique_ptr<TestSupport::RelayProcess> relay;
    /// The PostgreSQL database the relay keeps its data in, when the tests run on PostgreSQL.
    std::unique_ptr<TestDatabase> testDatabase;

private:
    std::unique_ptr<HTTPClient> client_;
    HTTPClient* speaking_ = nullptr;
};

} // namespace ZUQRelayTests
