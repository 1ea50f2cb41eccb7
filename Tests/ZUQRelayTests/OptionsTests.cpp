// The relay's command line.
#include "JSON.hpp"
#include "Options.hpp"

#include <gtest/gtest.h>

namespace {

using ZUQRelay::Options;

TEST(OptionsTest, DefaultsAndEveryOptionInBothSpellings) {
    Options defaults = Options::parse({"--data", "/srv/zuq"});
    EXPECT_EQ(defaults.data, "/srv/zuq");
    EXPECT_EQ(defaults.host, "127.0.0.1");
    EXPECT_EQ(defaults.port, 8787);
    EXPECT_FALSE(defaults.bootstrapFile);
    EXPECT_FALSE(defaults.tls());
    EXPECT_EQ(defaults.maxArtifactBytes, 4294967296u);
    EXPECT_EQ(defaults.threads, 16u);
    EXPECT_EQ(defaults.origin(8787), "http://127.0.0.1:8787");

    Options all = Options::parse({"--data=/d", "--listen", "0.0.0.0:443", "--bootstrap-file",
                                  "/etc/zuq/secret", "--tls-cert=/c.pem", "--tls-key", "/k.pem",
                                  "--max-artifact-bytes", "1000", "--threads=8"});
    EXPECT_EQ(all.host, "0.0.0.0");
    EXPECT_EQ(all.port, 443);
    EXPECT_EQ(*all.bootstrapFile, "/etc/zuq/secret");
    EXPECT_EQ(*all.tlsCertificate, "/c.pem");
    EXPECT_EQ(*all.tlsKey, "/k.pem");
    EXPECT_EQ(all.maxArtifactBytes, 1000u);
    EXPECT_EQ(all.threads, 8u);
    EXPECT_EQ(all.origin(443), "https://0.0.0.0:443");

    Options ipv6 = Options::parse({"--data", "d", "--listen", "[::1]:0"});
    EXPECT_EQ(ipv6.host, "::1");
    EXPECT_EQ(ipv6.port, 0);
    EXPECT_EQ(ipv6.origin(4000), "http://[::1]:4000");
    EXPECT_EQ(defaults.maxOpenJobsPerGroup, 1000u);
    EXPECT_EQ(defaults.maxStoredBytesPerGroup, std::uint64_t(64) << 30);
    EXPECT_EQ(defaults.maxEventBytesPerGroup, std::uint64_t(256) << 20);
    EXPECT_EQ(defaults.maxEndedJobBytes, std::uint64_t(256) << 20);
    EXPECT_EQ(defaults.retentionDays, 30u);
    Options quotas =
        Options::parse({"--data", "d", "--max-open-jobs-per-group", "5",
                        "--max-stored-bytes-per-group=1000", "--max-event-bytes-per-group", "2000",
                        "--max-ended-job-bytes=3000", "--retention-days", "7"});
    EXPECT_EQ(quotas.maxOpenJobsPerGroup, 5u);
    EXPECT_EQ(quotas.maxStoredBytesPerGroup, 1000u);
    EXPECT_EQ(quotas.maxEventBytesPerGroup, 2000u);
    EXPECT_EQ(quotas.maxEndedJobBytes, 3000u);
    EXPECT_EQ(quotas.retentionDays, 7u);
    EXPECT_TRUE(Options::parse({"--help"}).help);
    EXPECT_TRUE(Options::parse({"--version"}).version);
}

TEST(OptionsTest, TheDatabaseComesFromTheCommandLineBeforeTheEnvironment) {
    const std::optional<std::string> variable = "postgresql://relay@env:5432/zuq";
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> variable;
        std::optional<std::string> database;
    } cases[] = {
        {{"--data", "d"}, std::nullopt, std::nullopt},
        {{"--data", "d"}, "", std::nullopt},
        {{"--data", "d"}, variable, variable},
        {{"--data", "d", "--database", "postgres://db/zuq"}, variable, "postgres://db/zuq"},
        {{"--data", "d", "--database=postgresql://u:pw@db/zuq"}, std::nullopt,
         "postgresql://u:pw@db/zuq"},
    };
    for (const auto& [arguments, environment, database] : cases) {
        EXPECT_EQ(Options::parse(arguments, environment).database, database) << arguments.back();
    }
    EXPECT_EQ(*Options::parse({"--data", "d", "--artifacts", "/shared/builds"}).artifacts,
              "/shared/builds");
    for (const auto& [arguments, environment] :
         {std::pair<std::vector<std::string>, std::optional<std::string>>{
              {"--data", "d", "--database", "/var/zuq.sqlite3"}, std::nullopt},
          {{"--data", "d"}, "mysql://db/zuq"}}) {
        try {
            Options::parse(arguments, environment);
            ADD_FAILURE() << "accepted a database that is not PostgreSQL";
        } catch (const ZUQError& error) {
            EXPECT_EQ(error.message(), "--database must be a PostgreSQL URL such as "
                                       "postgresql://USER@HOST:PORT/DB");
        }
    }
}

TEST(OptionsTest, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> arguments;
        std::string sentence;
    } cases[] = {
        {{}, "Required option: --data"},
        {{"--data"}, "Option --data needs a value"},
        {{"--data="}, "Option --data needs a value"},
        {{"--data", "d", "--port", "1"}, "Unknown option: --port. Run zuq-relay --help."},
        {{"--data", "d", "serve"}, "Unknown option: serve. Run zuq-relay --help."},
        {{"--data", "d", "--listen", "8787"},
         "--listen must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787"},
        {{"--data", "d", "--listen", "127.0.0.1:65536"},
         "--listen must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787"},
        {{"--data", "d", "--listen", "::1:80"},
         "--listen must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787"},
        {{"--data", "d", "--listen", ":80"},
         "--listen must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787"},
        {{"--data", "d", "--threads", "1"}, "--threads must be between 2 and 1024"},
        {{"--data", "d", "--import-sqlite"},
         "--import-sqlite needs --database, the PostgreSQL database to copy DIR's relay.sqlite3 "
         "into"},
        {{"--data", "d", "--retention-days", "0"}, "--retention-days must be between 1 and 36500"},
        {{"--data", "d", "--max-open-jobs-per-group", "0"},
         "--max-open-jobs-per-group must be between 1 and 1000000"},
        {{"--data", "d", "--max-stored-bytes-per-group", "-1"},
         "--max-stored-bytes-per-group must be a whole number of bytes above 0"},
        {{"--data", "d", "--max-event-bytes-per-group", "0"},
         "--max-event-bytes-per-group must be a whole number of bytes above 0"},
        {{"--data", "d", "--max-ended-job-bytes", "0"},
         "--max-ended-job-bytes must be a whole number of bytes above 0"},
        {{"--data", "d", "--max-ended-job-bytes", "1e6"},
         "--max-ended-job-bytes must be a whole number of bytes above 0"},
        {{"--data", "d", "--max-ended-job-bytes", "18446744073709551616"},
         "--max-ended-job-bytes must be a whole number of bytes above 0"},
        {{"--data", "d", "--threads", "many"}, "--threads must be between 2 and 1024"},
        {{"--data", "d", "--max-artifact-bytes", "0"},
         "--max-artifact-bytes must be a whole number of bytes above 0"},
        {{"--data", "d", "--max-artifact-bytes", "-5"},
         "--max-artifact-bytes must be a whole number of bytes above 0"},
        {{"--data", "d", "--tls-cert", "c.pem"}, "--tls-cert and --tls-key must be given together"},
        {{"--data", "d", "--listen", "0.0.0.0:80"},
         "Plain HTTP is allowed only on loopback addresses. Give --tls-cert and --tls-key to "
         "listen on 0.0.0.0."},
        {{"--data", "d", "--listen", "192.168.1.2:80"},
         "Plain HTTP is allowed only on loopback addresses. Give --tls-cert and --tls-key to "
         "listen on 192.168.1.2."},
    };
    for (const auto& [arguments, sentence] : cases) {
        try {
            Options::parse(arguments);
            ADD_FAILURE() << "accepted: " << sentence;
        } catch (const ZUQError& error) {
            EXPECT_EQ(error.message(), sentence);
        }
    }
}

TEST(OptionsTest, LoopbackAddresses) {
    for (std::string_view host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) {
        EXPECT_TRUE(ZUQRelay::isLoopback(host)) << host;
    }
    for (std::string_view host : {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "example.com",
                                  "localhost.example.com", "::ffff:127.0.0.1x"}) {
        EXPECT_FALSE(ZUQRelay::isLoopback(host)) << host;
    }
}

} // namespace
