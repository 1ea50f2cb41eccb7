#include "TestDatabase.hpp"

#include "PostgreSQL.hpp"

#include <cstdlib>
#include <random>

namespace ZUQRelayTests {

std::string testCluster() {
    const char* url = std::getenv("ZUQ_TEST_POSTGRESQL");
    return url ? url : "";
}

bool onPostgreSQL() {
    const char* store = std::getenv("ZUQ_RELAY_TEST_STORE");
    return store && std::string(store) == "postgresql";
}

TestDatabase::TestDatabase()
    : admin_(std::make_unique<ZUQRelay::PostgreSQL::Connection>(testCluster())),
      name_("zuq_test_" + std::to_string(std::random_device()())) {
    admin_->execute("CREATE DATABASE " + name_);
    std::string cluster = testCluster();
    url_ = cluster.substr(0, cluster.rfind('/') + 1) + name_;
}

TestDatabase::~TestDatabase() {
    try {
        admin_->execute("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (...) {
        // The cluster goes at the end of the run anyway.
    }
}

} // namespace ZUQRelayTests
