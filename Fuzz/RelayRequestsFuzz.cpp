// Whatever a client sends the relay over one connection: the relay's own session code reads
// it from a socket pair, as it reads an accepted connection, and must answer with well-formed
// HTTP, a JSON error for every refusal, and close the connection once the client has stopped
// sending. A real store and group stand behind it, and so that inputs reach past
// authentication these texts in an input are replaced: "$MAC", "$BUILDER" and "$RECEIVER" by
// the credentials of three members, "$RECEIVER_ID" by the receiver's identifier, "$JOB" and
// "$LEASE" by a job leased to the builder for this input alone, "$INSTALL_JOB" and
// "$INSTALL_LEASE" by a built job leased to the receiver, and "$BOOTSTRAP" by the secret.
// ZUQ_FUZZ_SHOW_ANSWERS=1 prints what the relay answered to each input.
#include "AccessLog.hpp"
#include "Artifacts.hpp"
#include "Bootstrap.hpp"
#include "Clock.hpp"
#include "FuzzTarget.hpp"
#include "Routes.hpp"
#include "Server.hpp"
#include "Service.hpp"
#include "Store.hpp"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace ZUQRelay;
namespace http = boost::beast::http;

constexpr std::string_view bootstrapSecret = "fuzzing-bootstrap-secret";
constexpr std::string_view sealedBuild = "ZUQENC1\nthe bytes of a sealed build";
// A connection whose client has said everything is answered and closed well within this.
constexpr auto answerLimit = std::chrono::seconds(20);

struct Member {
    std::string id;
    std::string credential; // "<device>.<token>"
    Caller caller;
};

// One relay for the whole run, on the same objects as zuq-relay's.
class Relay {
public:
    Relay()
        : data_(Fuzz::scratch() / "relay"), store_(fresh(data_) / "relay.sqlite3"),
          artifacts_(data_ / "artifacts"), service_(store_, artifacts_, clock_, policy()),
          bootstrap_(std::string(bootstrapSecret), clock_), routes_(service_, bootstrap_, {}),
          server_(settings(), routes_, artifacts_, nullptr) {
        JSON group = service_.createGroup(
            JSON::object({{"name", "Fuzzing"}, {"device_name", "Submitting Mac"}}));
        mac_ = member(group);
        builder_ = joined("Building Mac");
        receiver_ = joined("Receiving Mac");
        // A built job for the receiver to download.
        auto [built, lease] = leasedJob(builder_);
        Upload upload(artifacts_);
        upload.append(sealedBuild.data(), sealedBuild.size());
        std::string sha = upload.finish();
        service_.storeUpload(builder_.caller, built, lease, upload, sha);
        service_.finishBuild(builder_.caller, built, lease,
                             JSON::object({{"manifest", JSON::object()}}));
        installing_ = {built, service_.claim(receiver_.caller)["lease"].text()};
        thread_ = std::thread([this] { server_.run(); });
    }
    ~Relay() {
        server_.stop();
        thread_.join();
    }

    // The input with its names for credentials and jobs replaced, for a fresh job leased to
    // the builder.
    std::string request(std::string_view input) {
        auto [job, lease] = leasedJob(builder_);
        std::array<std::pair<std::string_view, std::string>, 9> names = {{
            {"$MAC", mac_.credential},
            {"$BUILDER", builder_.credential},
            {"$RECEIVER_ID", receiver_.id},
            {"$RECEIVER", receiver_.credential},
            {"$JOB", job},
            {"$LEASE", lease},
            {"$INSTALL_JOB", installing_.first},
            {"$INSTALL_LEASE", installing_.second},
            {"$BOOTSTRAP", std::string(bootstrapSecret)},
        }};
        std::string text;
        for (std::size_t index = 0; index < input.size();) {
            bool replaced = false;
            for (const auto& [name, value] : names) {
                if (input.substr(index).starts_with(name)) {
                    text += value;
                    index += name.size();
                    replaced = true;
                    break;
                }
            }
            if (!replaced) {
                text += input[index++];
            }
        }
        return text;
    }

    Server& server() { return server_; }

private:
    // A new job from the submitting Mac, built by the builder for the receiver, and leased
    // to `side` when it claims it: its identifier and lease.
    std::pair<std::string, std::string> leasedJob(const Member& side) {
        service_.submit(mac_.caller, JSON::object({
                                         {"builder_id", builder_.id},
                                         {"receiver_id", receiver_.id},
                                         {"project_id", "P1"},
                                         {"scheme", "App"},
                                         {"configuration", "Release"},
                                         {"mode", "adhoc"},
                                         {"udid", "00008110-000A"},
                                     }));
        JSON claimed = service_.claim(side.caller);
        return {claimed["job"]["id"].text(), claimed["lease"].text()};
    }

    static const std::filesystem::path& fresh(const std::filesystem::path& data) {
        std::filesystem::remove_all(data);
        std::filesystem::create_directories(data);
        return data;
    }
    static Policy policy() {
        Policy policy;
        // Every input submits a job of its own.
        policy.openJobsPerGroup = std::size_t(1) << 40;
        return policy;
    }
    static Server::Settings settings() {
        Server::Settings settings;
        settings.ioThreads = 1;
        settings.workers = 2;
        return settings;
    }
    Member member(const JSON& answer) {
        std::string credential = answer["device_id"].text() + "." + answer["token"].text();
        return {answer["device_id"].text(), credential,
                service_.authenticate("Bearer " + credential)};
    }
    Member joined(const std::string& name) {
        JSON invite = service_.createInvite(mac_.caller);
        return member(
            service_.join(JSON::object({{"code", invite["code"]}, {"device_name", name}})));
    }

    std::filesystem::path data_;
    SystemClock clock_;
    Store store_;
    Artifacts artifacts_;
    Service service_;
    Bootstrap bootstrap_;
    Routes routes_;
    Server server_;
    Member mac_, builder_, receiver_;
    std::pair<std::string, std::string> installing_; // a job waiting for its install, and its lease
    std::thread thread_;
};

// Builds up from every input's job, so a relay serves this many inputs and is then made anew.
constexpr std::size_t inputsPerRelay = 1000;
std::unique_ptr<Relay> relay;
std::size_t served = 0;

// Sends `request` on a new connection, stops sending, and returns everything the relay
// answers until it closes.
std::string exchange(const std::string& request) {
    int pair[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    relay->server().serve(pair[0], "192.0.2.7");
    int client = pair[1];
    ::fcntl(client, F_SETFL, O_NONBLOCK);
    std::string answers;
    std::size_t sent = 0;
    bool sending = true;
    auto deadline = std::chrono::steady_clock::now() + answerLimit;
    for (;;) {
        if (sending && sent == request.size()) {
            ::shutdown(client, SHUT_WR);
            sending = false;
        }
        pollfd watched{client, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        if (::poll(&watched, 1, 100) < 0) {
            FUZZ_CHECK(errno == EINTR);
            continue;
        }
        if (sending && (watched.revents & POLLOUT)) {
            ssize_t written = ::send(client, request.data() + sent, request.size() - sent,
                                     MSG_NOSIGNAL);
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
            } else if (errno != EAGAIN && errno != EINTR) {
                // The relay closed early, as it may for a request it will not read.
                sending = false;
            }
        }
        if (watched.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[64 * 1024];
            ssize_t received = ::recv(client, buffer, sizeof buffer, 0);
            if (received > 0) {
                answers.append(buffer, static_cast<std::size_t>(received));
            } else if (received == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
        }
    }
    ::close(client);
    return answers;
}

// Every answer is a complete HTTP response; a JSON one holds an object, with an "error" text
// when it refuses.
void checkAnswers(std::string_view answers) {
    while (!answers.empty()) {
        http::response_parser<http::string_body> parser;
        parser.eager(true);
        parser.body_limit(std::uint64_t(1) << 32);
        boost::beast::error_code error;
        std::size_t used = parser.put(boost::asio::buffer(answers.data(), answers.size()), error);
        if (!error && !parser.is_done()) {
            // A body sent to its end by closing is one that announced no length.
            parser.put_eof(error);
        }
        FUZZ_CHECK(!error && parser.is_done());
        answers.remove_prefix(used);
        const auto& response = parser.get();
        unsigned status = response.result_int();
        FUZZ_CHECK(status >= 100 && status < 600);
        if (status == 100) {
            FUZZ_CHECK(response.body().empty());
            continue;
        }
        if (response[http::field::content_type] == Protocol::jsonType) {
            JSON body = JSON::decode(response.body());
            FUZZ_CHECK(body.kind() == JSON::Kind::object);
            if (status >= 300) {
                FUZZ_CHECK(body["error"].kind() == JSON::Kind::string);
                FUZZ_CHECK(!body["error"].text().empty());
            }
        } else {
            // Only a build travels as anything but JSON.
            FUZZ_CHECK(status == 200);
            FUZZ_CHECK(response[http::field::content_type] == Protocol::buildType);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);
    static int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    AccessLog::writeTo(quiet);
    relay = std::make_unique<Relay>();
    // Stopped before the scratch directory goes.
    std::atexit([] { relay.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (++served % inputsPerRelay == 0) {
        relay.reset();
        relay = std::make_unique<Relay>();
    }
    std::string answers = exchange(relay->request(Fuzz::text(data, size)));
    // For reading what became of an input.
    if (std::getenv("ZUQ_FUZZ_SHOW_ANSWERS")) {
        std::fwrite(answers.data(), 1, answers.size(), stdout);
        std::fputs("\n", stdout);
    }
    checkAnswers(answers);
    return 0;
}
