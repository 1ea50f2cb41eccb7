// Which database the relay's tests run on: SQLite in the test's directory, or, with
// ZUQ_RELAY_TEST_STORE=postgresql, a database of the test's own on the cluster scripts/test
// starts (named by ZUQ_TEST_POSTGRESQL).
#pragma once

#include <memory>
#include <string>

namespace ZUQRelay::PostgreSQL {
class Connection;
}

namespace ZUQRelayTests {

/// Why a test that needs the cluster did not run.
inline constexpr const char* noCluster =
    "no PostgreSQL cluster: scripts/test starts one and sets ZUQ_TEST_POSTGRESQL";

/// The cluster's URL, or empty text when none was started.
std::string testCluster();
/// True when the relay's tests are to run on PostgreSQL.
bool onPostgreSQL();

/// A fresh database on the test cluster, dropped (its connections closed) when this goes.
class TestDatabase {
public:
    /// Needs the cluster; throws when it cannot be reached.
    TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    ~TestDatabase();

    const std::string& url() const { return url_; }

private:
    std::unique_ptr<ZUQRelay::PostgreSQL::Connection> admin_;
    std::string name_;
    std::string url_;
};

} // namespace ZUQRelayTests
