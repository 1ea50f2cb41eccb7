// The relay's HTTP surface above the transport: which operation a request is, who sends it,
// whether it may go on, and the JSON answers of the rules; refusals mapped to statuses in one
// table.
#pragma once

#include "Artifacts.hpp"
#include "Bootstrap.hpp"
#include "Protocol.hpp"
#include "Refusal.hpp"
#include "Service.hpp"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ZUQRelay {

/// A request's head as the transport read it, framing already checked: its method, target,
/// version and fields in the order they came, values as sent. A plain value, so that the rules
/// need nothing of the HTTP library.
struct RequestHead {
    std::string method;
    std::string target;
    unsigned version = 11; // 10 for HTTP/1.0, 11 for HTTP/1.1
    std::vector<std::pair<std::string, std::string>> fields;

    /// The value of the first field named `name` (compared without regard to case), or
    /// nothing when there is none.
    std::optional<std::string_view> find(std::string_view name) const;
    /// That value, or empty text.
    std::string_view operator[](std::string_view name) const { return find(name).value_or(""); }
};

/// Decides requests from their heads and answers them through a Service. Every refusal is a
/// non-2xx answer with {"error": sentence, "reason": why}; every success a JSON document, except a
/// build's download. Holds no state of its own beyond its settings: thread-safe, and every call but
/// `answerAtOnce` may use the store, so callers run them off the I/O threads.
class Routes {
public:
    struct Settings {
        /// Largest build accepted.
        std::uint64_t maxArtifactBytes = std::uint64_t(4) << 30;
    };
    /// Largest JSON request body, and what a request's body is: the protocol's.
    static constexpr std::size_t maxJSONBytes = Protocol::maxJSONBytes;
    using Body = Protocol::Body;

    /// A request that may go on, decided from its head alone.
    struct Decision {
        Protocol::Operation operation{};
        Body body = Body::none;
        std::string id;           // the identifier in the path
        std::string lease;        // "X-ZUQ-Lease", empty when missing
        Caller caller;            // empty for routes open to anyone
        std::uint64_t length = 0; // an upload's announced length
        std::string expectedSHA;  // an upload's "X-ZUQ-SHA256" in lower case, or empty
    };

    /// An answer in JSON.
    struct Answer {
        unsigned status = 200;
        std::string body;
    };

    /// Largest body of a request that `answerAtOnce` looks at: a heartbeat's inventory of a
    /// few phones, never the largest allowed, whose trimming is work for a worker.
    static constexpr std::size_t quickBodyBytes = 16 * 1024;
    /// An answer decided without the store, and the device it went to.
    struct Quick {
        Answer answer;
        std::string device;
    };

    Routes(Service& service, Bootstrap& bootstrap, const Settings& settings);

    /// The answer to a request that needs neither the store nor a worker, so that the I/O
    /// thread that read it can answer it at once: a heartbeat that renews no lease, from a Mac
    /// whose credential is known, or such a Mac's claim when nothing waits for it. Nothing for
    /// any other request, or any that would be refused: `decide` and `handle` answer those as
    /// always.
    std::optional<Quick> answerAtOnce(const RequestHead& head, std::string_view text) const;

    /// Whom an expensive request counts against when such requests take turns: the group of a
    /// Mac whose credential is known, else `share`, what its address counts under.
    std::string turnOf(const RequestHead& head, const std::string& share) const;

    /// Routes `head`, authenticates its sender (from `address` for the bootstrap secret) and,
    /// for a build, checks everything that needs no body: its length, coding, checksum header,
    /// lease and the job's state. Throws Refusal.
    Decision decide(const RequestHead& head, const std::string& address) const;
    /// Carries out a decided JSON request whose body is `text` (empty when none came); its
    /// answer, encoded.
    std::string handle(const Decision& decision, const RequestHead& head,
                       std::string_view text) const;
    /// The build of a decided download, opened.
    Download openDownload(const Decision& decision) const;
    /// Stores a received upload whose bytes have SHA-256 `sha`; refuses a mismatch with the
    /// announced checksum.
    JSON storeUpload(const Decision& decision, Upload& upload, const std::string& sha) const;

    /// The answer to a failure of any of the above: a refusal's status and sentence, the
    /// parser's reason for a body that is not JSON, 507 for a full disk (under a build or the
    /// database), and for anything else 500 "Internal error" (logged).
    static Answer failure(std::exception_ptr error);
    /// {"error": sentence, "reason": its text} with the reason's status.
    static Answer refusal(Refusal::Reason reason, std::string_view sentence);
    /// The same for a refusal known by its status, with the first reason of that status.
    static Answer refusal(unsigned status, std::string_view sentence);

private:
    // What a JSON operation's handler is given.
    struct Call {
        const Decision& decision;
        const RequestHead& head;
        const JSON& body;
    };
    // The relay's handler of `operation`: one for each operation of the protocol table, each
    // defined beside the others in Routes.cpp. An operation without one does not compile.
    template <Protocol::Operation operation>
    JSON answer(const Call& call) const;
    // The same answer encoded; an operation whose answer is written as text defines this
    // instead of `answer`.
    template <Protocol::Operation operation>
    std::string encodedAnswer(const Call& call) const {
        return answer<operation>(call).data();
    }

    const Protocol::Endpoint& route(const RequestHead& head, std::string& id) const;
    void checkUpload(const RequestHead& head, Decision& decision) const;
    std::int64_t after(const RequestHead& head) const;

    Service& service_;
    Bootstrap& bootstrap_;
    Settings settings_;
};

} // namespace ZUQRelay
