// The relay's HTTP surface: paths under "/v1/", authentication, body limits, JSON in and out,
// streamed builds, and the mapping of refusals to answers.
#pragma once

#include "Bootstrap.hpp"
#include "HTTPServer.hpp"
#include "Service.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

namespace ZUQRelay {

/// Registers every route on an HTTPServer and answers them through a Service. Every refusal
/// is a non-2xx answer with {"error": sentence}; every success a JSON document, except a
/// build's download. Thread-safe.
class Routes {
public:
    struct Settings {
        /// Largest build accepted.
        std::uint64_t maxArtifactBytes = std::uint64_t(4) << 30;
        /// Uploads and downloads running at once; more are told to retry, so that transfers
        /// never take the workers that heartbeats and claims need.
        std::size_t maxTransfers = 56;
    };
    /// Largest JSON request body.
    static constexpr std::size_t maxJSONBytes = 1 << 20;

    Routes(Service& service, Bootstrap& bootstrap, const Artifacts& artifacts,
           const Settings& settings);

    /// Registers the handlers, the hooks and the access log on `server`.
    void install(HTTPServer& server);

    /// True for the request line of a build's upload or download, which the server hands to
    /// its bulk workers.
    static bool isTransfer(std::string_view requestLine);

private:
    enum class Access { open, bootstrap, device };
    enum class Body { none, json, emptyOrJSON, stream };
    struct Exchange {
        const httplib::Request& request;
        httplib::Response& response;
        const httplib::ContentReader* reader;
        std::string id;
        Caller caller;
        JSON body;
    };
    using Handler = JSON (Routes::*)(Exchange&);
    struct Route {
        std::string_view method;
        std::string_view path; // "*" stands for one segment, the identifier
        Access access;
        Body body;
        Handler handler;
    };

    void handle(const httplib::Request& request, httplib::Response& response,
                const httplib::ContentReader* reader);
    const Route& route(const httplib::Request& request, std::string& id) const;
    std::string readText(Exchange& exchange);
    void admit(const Route& route, Exchange& exchange);
    int expectContinue(const httplib::Request& request, httplib::Response& response);
    httplib::Server::HandlerResponse preRoute(const httplib::Request& request,
                                              httplib::Response& response);

    // One per route.
    JSON createGroup(Exchange& exchange);
    JSON createInvite(Exchange& exchange);
    JSON join(Exchange& exchange);
    JSON group(Exchange& exchange);
    JSON revoke(Exchange& exchange);
    JSON submit(Exchange& exchange);
    JSON jobs(Exchange& exchange);
    JSON job(Exchange& exchange);
    JSON events(Exchange& exchange);
    JSON cancel(Exchange& exchange);
    JSON heartbeat(Exchange& exchange);
    JSON claim(Exchange& exchange);
    JSON finishBuild(Exchange& exchange);
    JSON finish(Exchange& exchange);
    JSON fail(Exchange& exchange);
    JSON addEvent(Exchange& exchange);
    // Builds, in Transfers.cpp.
    JSON upload(Exchange& exchange);
    JSON download(Exchange& exchange);
    std::uint64_t checkUpload(Exchange& exchange);

    /// A place among the running transfers, given back on destruction.
    class TransferSlot {
    public:
        explicit TransferSlot(std::atomic<std::size_t>& running, std::size_t limit);
        TransferSlot(const TransferSlot&) = delete;
        TransferSlot& operator=(const TransferSlot&) = delete;
        ~TransferSlot() { --running_; }

    private:
        std::atomic<std::size_t>& running_;
    };

    Service& service_;
    Bootstrap& bootstrap_;
    const Artifacts& artifacts_;
    Settings settings_;
    std::atomic<std::size_t> transfers_{0};
    std::vector<Route> routes_;
};

} // namespace ZUQRelay
