#include "Options.hpp"

#include "JSON.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <limits>

namespace ZUQRelay {

namespace {

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void parseListen(std::string_view text, Options& options) {
    const ZUQError malformed(
        "--listen must be HOST:PORT, for example 127.0.0.1:8787 or [::1]:8787");
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        auto close = text.find("]:");
        if (close == std::string_view::npos) {
            throw malformed;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            throw malformed;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    auto number = parseNumber<int>(port);
    if (host.empty() || !number || *number < 0 || *number > 65535) {
        throw malformed;
    }
    options.host = host;
    options.port = *number;
}

// The options that take a whole number: its bounds, the sentence for a value outside them and
// where it goes.
struct NumberOption {
    std::string_view name;
    std::uint64_t minimum;
    std::uint64_t maximum;
    std::string_view error;
    void (*set)(Options&, std::uint64_t);
};

constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t manyConnections = 1 << 20;

constexpr NumberOption numberOptions[] = {
    {"--max-artifact-bytes", 1, most,
     "--max-artifact-bytes must be a whole number of bytes above 0",
     [](Options& options, std::uint64_t value) { options.maxArtifactBytes = value; }},
    {"--threads", 2, 1024, "--threads must be between 2 and 1024",
     [](Options& options, std::uint64_t value) { options.threads = value; }},
    {"--max-transfers", 1, 4096, "--max-transfers must be between 1 and 4096",
     [](Options& options, std::uint64_t value) { options.maxTransfers = value; }},
    {"--transfers-per-mac", 1, 4096, "--transfers-per-mac must be between 1 and 4096",
     [](Options& options, std::uint64_t value) { options.transfersPerMac = value; }},
    {"--transfers-per-group", 1, 4096, "--transfers-per-group must be between 1 and 4096",
     [](Options& options, std::uint64_t value) { options.transfersPerGroup = value; }},
    {"--transfer-wait", 0, 3600, "--transfer-wait must be between 0 and 3600 seconds",
     [](Options& options, std::uint64_t value) { options.transferWaitSeconds = value; }},
    {"--keep-alive", 1, 3600, "--keep-alive must be between 1 and 3600 seconds",
     [](Options& options, std::uint64_t value) { options.keepAliveSeconds = value; }},
    {"--max-connections-per-address", 1, manyConnections,
     "--max-connections-per-address must be between 1 and 1048576",
     [](Options& options, std::uint64_t value) { options.maxConnectionsPerAddress = value; }},
    // At least the largest body, so that any body fits while no other is held.
    {"--body-budget", 1 << 20, most, "--body-budget must be at least 1048576 bytes",
     [](Options& options, std::uint64_t value) { options.bodyBudget = value; }},
    {"--answer-budget", 1 << 20, most, "--answer-budget must be at least 1048576 bytes",
     [](Options& options, std::uint64_t value) { options.answerBudget = value; }},
    {"--min-transfer-rate", 0, most, "--min-transfer-rate must be a whole number of bytes a second",
     [](Options& options, std::uint64_t value) { options.minTransferRate = value; }},
    {"--max-open-jobs-per-group", 1, 1'000'000,
     "--max-open-jobs-per-group must be between 1 and 1000000",
     [](Options& options, std::uint64_t value) { options.maxOpenJobsPerGroup = value; }},
    {"--max-stored-bytes-per-group", 1, most,
     "--max-stored-bytes-per-group must be a whole number of bytes above 0",
     [](Options& options, std::uint64_t value) { options.maxStoredBytesPerGroup = value; }},
    {"--max-event-bytes-per-group", 1, most,
     "--max-event-bytes-per-group must be a whole number of bytes above 0",
     [](Options& options, std::uint64_t value) { options.maxEventBytesPerGroup = value; }},
    {"--max-ended-job-bytes", 1, most,
     "--max-ended-job-bytes must be a whole number of bytes above 0",
     [](Options& options, std::uint64_t value) { options.maxEndedJobBytes = value; }},
    {"--retention-days", 1, 36500, "--retention-days must be between 1 and 36500",
     [](Options& options, std::uint64_t value) { options.retentionDays = value; }},
};

} // namespace

Options Options::parse(const std::vector<std::string>& arguments,
                       const std::optional<std::string>& databaseVariable) {
    Options options;
    bool hasData = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string_view argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument == "--import-sqlite") {
            options.importSQLite = true;
            continue;
        }
        std::string_view name = argument;
        std::optional<std::string> value;
        if (auto equals = argument.find('=');
            argument.starts_with("--") && equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = std::string(argument.substr(equals + 1));
        }
        constexpr std::string_view known[] = {"--data",     "--listen",  "--bootstrap-file",
                                              "--tls-cert", "--tls-key", "--database",
                                              "--artifacts"};
        const NumberOption* number =
            std::find_if(std::begin(numberOptions), std::end(numberOptions),
                         [&](const NumberOption& option) { return option.name == name; });
        if (std::find(std::begin(known), std::end(known), name) == std::end(known) &&
            number == std::end(numberOptions)) {
            throw ZUQError("Unknown option: " + std::string(argument) + ". Run zuq-relay --help.");
        }
        if (!value) {
            if (index + 1 >= arguments.size()) {
                throw ZUQError("Option " + std::string(name) + " needs a value");
            }
            value = arguments[++index];
        }
        if (value->empty()) {
            throw ZUQError("Option " + std::string(name) + " needs a value");
        }
        if (name == "--data") {
            options.data = *value;
            hasData = true;
        } else if (name == "--listen") {
            parseListen(*value, options);
        } else if (name == "--bootstrap-file") {
            options.bootstrapFile = *value;
        } else if (name == "--tls-cert") {
            options.tlsCertificate = *value;
        } else if (name == "--tls-key") {
            options.tlsKey = *value;
        } else if (name == "--database") {
            options.database = *value;
        } else if (name == "--artifacts") {
            options.artifacts = *value;
        } else if (number != std::end(numberOptions)) {
            auto parsed = parseNumber<std::uint64_t>(*value);
            if (!parsed || *parsed < number->minimum || *parsed > number->maximum) {
                throw ZUQError(std::string(number->error));
            }
            number->set(options, *parsed);
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (!hasData) {
        throw ZUQError("Required option: --data");
    }
    if (!options.database && databaseVariable && !databaseVariable->empty()) {
        options.database = *databaseVariable;
    }
    if (options.database && !options.database->starts_with("postgresql://") &&
        !options.database->starts_with("postgres://")) {
        throw ZUQError("--database must be a PostgreSQL URL such as "
                       "postgresql://USER@HOST:PORT/DB");
    }
    if (options.importSQLite && !options.database) {
        throw ZUQError("--import-sqlite needs --database, the PostgreSQL database to copy "
                       "DIR's relay.sqlite3 into");
    }
    if (options.tlsCertificate.has_value() != options.tlsKey.has_value()) {
        throw ZUQError("--tls-cert and --tls-key must be given together");
    }
    if (!options.tls() && !isLoopback(options.host)) {
        throw ZUQError("Plain HTTP is allowed only on loopback addresses. Give --tls-cert and "
                       "--tls-key to listen on " +
                       options.host + ".");
    }
    return options;
}

std::string Options::origin(int boundPort) const {
    std::string text = tls() ? "https://" : "http://";
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    text += ':';
    text += std::to_string(boundPort);
    return text;
}

bool isLoopback(std::string_view host) {
    if (host == "localhost") {
        return true;
    }
    std::string text(host);
    in_addr ipv4{};
    if (::inet_pton(AF_INET, text.c_str(), &ipv4) == 1) {
        return (ntohl(ipv4.s_addr) >> 24) == 127;
    }
    in6_addr ipv6{};
    return ::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1 && IN6_IS_ADDR_LOOPBACK(&ipv6);
}

std::string_view usage() {
    return R"(Usage: zuq-relay --data DIR [options]

The relay every Mac of a zuq group talks to. It keeps groups, devices, jobs, events and
encrypted builds in DIR and serves them over HTTP(S).

Options:
  --data DIR                 where the database and builds are kept (created if missing)
  --database URL             keep groups and jobs in PostgreSQL instead, at
                             postgresql://USER@HOST:PORT/DB (also ZUQ_RELAY_DATABASE); relays
                             sharing one database serve one relay address together
  --artifacts DIR            where builds are kept (default DIR/artifacts); relays sharing a
                             database must share this directory too
  --import-sqlite            copy the groups, Macs, jobs and events of DIR's SQLite database
                             into the new, empty --database, print what was copied and exit;
                             no relay may be running on DIR
  --listen HOST:PORT         address to serve on (default 127.0.0.1:8787; port 0 picks one)
  --bootstrap-file PATH      file holding the secret that allows creating groups
                             (default DIR/bootstrap-secret, generated once)
  --tls-cert PEM --tls-key PEM
                             serve HTTPS with this certificate chain and key; required for
                             any address that is not loopback
  --max-artifact-bytes N     largest build accepted (default 4294967296)
  --threads N                worker threads for requests (default 16)
  --max-transfers N          builds moving at once (default 32); more wait up to 30 s
  --transfers-per-mac N      of them, for one Mac (default 2)
  --transfers-per-group N    of them, for one group (default 8)
  --transfer-wait SECONDS    how long a transfer waits for a slot before it is refused
                             (default 30)
  --keep-alive SECONDS       how long a connection is kept without a request (default 30)
  --max-connections-per-address N
                             open connections from one address, an IPv6 /64 counted as
                             one (default a quarter of the connections allowed)
  --body-budget BYTES        JSON request bodies held for all connections together; a body
                             past it is refused with 503 (default 67108864, 64 MiB)
  --answer-budget BYTES      JSON answers larger than 64 KiB held for all connections
                             together until written; past it one is refused with 503
                             (default 268435456, 256 MiB)
  --min-transfer-rate BYTES  a build moving slower than this a second, averaged over
                             30 s, is cut (default 16384; 0 never)
  --max-open-jobs-per-group N
                             unfinished jobs one group may have (default 1000)
  --max-stored-bytes-per-group BYTES
                             builds of one group's unfinished jobs on the relay at once
                             (default 68719476736, 64 GiB)
  --max-event-bytes-per-group BYTES
                             text of one group's job events kept (default 268435456, 256 MiB)
  --max-ended-job-bytes BYTES
                             what one group's ended jobs keep (submissions, manifests,
                             errors); past it the oldest go first (default 268435456, 256 MiB)
  --retention-days N         days an ended job and its events are kept (default 30)
  --help, --version

The first line on standard output is a JSON object with "url" and "bootstrap_file".
Logs go to standard error. SIGTERM or SIGINT stops the relay cleanly.
)";
}

} // namespace ZUQRelay
