#include "API.hpp"

#include "ArtifactCrypto.hpp"
#include "RelayError.hpp"
#include "Platform/File.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

#include <curl/curl.h>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view originError =
    "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.";
constexpr std::size_t maxAnswerBytes = 64 << 20;   // a JSON answer; events pages are the largest
constexpr std::size_t maxErrorBodyBytes = 64 << 10; // what is read of a refused download
constexpr std::size_t maxIdleConnections = 6;

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    void operator()(char* text) const { curl_free(text); }
};
using Handle = std::unique_ptr<CURL, CurlFree>;
using URL = std::unique_ptr<CURLU, CurlFree>;
using Headers = std::unique_ptr<curl_slist, CurlFree>;
using CurlText = std::unique_ptr<char, CurlFree>;

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One part of a parsed URL, or nothing when the URL has none.
std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) {
        return std::nullopt;
    }
    CurlText text(raw);
    return std::string(text.get());
}

// The origin must parse, have a host, carry no credentials, query or fragment, have no path
// beyond "/", and use https (or http to this machine). The scheme is compared as typed:
// libcurl would fold "HTTPS" to lower case.
URL parseOrigin(std::string_view server) {
    auto fail = [] { return ZUQError(std::string(originError)); };
    std::string text(server);
    std::string scheme = text.substr(0, text.find(':'));
    if (text.compare(scheme.size(), 3, "://") != 0) {
        throw fail();
    }
    URL url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        throw fail();
    }
    auto host = part(url.get(), CURLUPART_HOST);
    if (!host || host->empty() || part(url.get(), CURLUPART_USER) ||
        part(url.get(), CURLUPART_PASSWORD) || part(url.get(), CURLUPART_QUERY) ||
        part(url.get(), CURLUPART_FRAGMENT) || text.find('?') != std::string::npos ||
        text.find('#') != std::string::npos) {
        throw fail();
    }
    auto path = part(url.get(), CURLUPART_PATH).value_or("");
    if (!path.empty() && path != "/") {
        throw fail();
    }
    bool local = *host == "localhost" || *host == "127.0.0.1" || *host == "[::1]";
    if (scheme != "https" && !(scheme == "http" && local)) {
        throw fail();
    }
    return url;
}

// Characters that may stand in a URL as they are; anything else (spaces, controls, quotes,
// non-ASCII) would have to be escaped, and paths are sent as typed, so it makes the path invalid.
bool urlCharacter(char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("\"<>\\^`{|}").find(c) == std::string_view::npos;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace

// The shared, immutable part of every copy of one API value, plus its pool of idle libcurl
// handles; a handle keeps its connection open between requests.
struct API::Session {
    std::string server;
    std::optional<Credentials> credentials;
    Limits limits;
    URL origin;
    std::string host;

    mutable std::mutex poolLock;
    mutable std::vector<Handle> idle; // guarded by poolLock

    Handle take() const {
        {
            std::lock_guard lock(poolLock);
            if (!idle.empty()) {
                Handle handle = std::move(idle.back());
                idle.pop_back();
                return handle;
            }
        }
        Handle handle(curl_easy_init());
        if (!handle) {
            throw NetworkError("Cannot start an HTTP client");
        }
        return handle;
    }

    void give(Handle handle) const {
        curl_easy_reset(handle.get()); // keeps the live connection
        std::lock_guard lock(poolLock);
        if (idle.size() < maxIdleConnections) {
            idle.push_back(std::move(handle));
        }
    }
};

namespace {

// What one transfer saw.
struct Exchange {
    long status = 0;
    std::string body;
};

// A handle on loan from the session, set up with everything every request carries.
class Request {
public:
    Request(const API::Session& session, std::string_view method, std::string_view path,
            const std::optional<std::string>& lease)
        : session_(session), handle_(session.take()) {
        std::string url = resolve(path);
        CURL* h = handle_.get();
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT,
                         static_cast<long>(session.limits.connect.count()));
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(session.limits.stall.count()));
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(session.limits.total.count()));
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer_);
        // Like the curl tool, trust an extra certificate bundle named by the environment.
        auto bundle = environment("CURL_CA_BUNDLE");
        if (!bundle) {
            bundle = environment("SSL_CERT_FILE");
        }
        if (bundle) {
            caBundle_ = *bundle;
            curl_easy_setopt(h, CURLOPT_CAINFO, caBundle_.c_str());
        }
        if (method == "GET") {
            curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        } else {
            method_ = method;
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_.c_str());
        }
        header(std::string(Protocol::Headers::userAgent) + ": ZUQ/" + std::string(ZUQ::version));
        // A large PUT would otherwise wait for "100 Continue" first.
        header("Expect:");
        if (session.credentials) {
            header(std::string(Protocol::Headers::authorization) + ": " +
                   session.credentials->authorization());
        }
        if (lease) {
            header(std::string(Protocol::Headers::lease) + ": " + *lease);
        }
    }

    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() { session_.give(std::move(handle_)); }

    CURL* handle() const { return handle_.get(); }

    void header(const std::string& line) {
        curl_slist* list = curl_slist_append(headers_.get(), line.c_str());
        if (list == nullptr) {
            throw std::bad_alloc();
        }
        headers_.release();
        headers_.reset(list);
    }

    // Runs the transfer; `stop` aborts it. Failures below HTTP become NetworkError.
    long perform(std::stop_token stop = {}) {
        CURL* h = handle_.get();
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
        if (stop.stop_possible()) {
            stop_ = stop;
            curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Request::progress);
            curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
        }
        CURLcode code = curl_easy_perform(h);
        if (code != CURLE_OK) {
            if (code == CURLE_ABORTED_BY_CALLBACK && stop_.stop_requested()) {
                throw CancellationError();
            }
            std::string message = curl_easy_strerror(code);
            message += " at " + session_.server;
            if (errorBuffer_[0] != '\0') {
                message += ": ";
                message += errorBuffer_;
            }
            throw NetworkError(message);
        }
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

private:
    static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Request*>(self)->stop_.stop_requested() ? 1 : 0;
    }

    // Resolves `path` against the origin; it must start with "/" and stay on the same host,
    // so "//elsewhere/x" cannot send the credential to another server.
    std::string resolve(std::string_view path) const {
        ZUQError invalid("Invalid API path");
        if (path.empty() || path.front() != '/' ||
            !std::all_of(path.begin(), path.end(), urlCharacter)) {
            throw invalid;
        }
        URL url(curl_url_dup(session_.origin.get()));
        std::string text(path);
        if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
            throw invalid;
        }
        if (part(url.get(), CURLUPART_HOST) != session_.host) {
            throw invalid;
        }
        auto full = part(url.get(), CURLUPART_URL);
        if (!full) {
            throw invalid;
        }
        return *full;
    }

    const API::Session& session_;
    Handle handle_;
    Headers headers_;
    std::string method_;
    std::string caBundle_;
    std::stop_token stop_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
};

// Collects an answer in memory, refusing more than `limit` bytes.
struct Collector {
    std::string body;
    std::size_t limit;
    bool overflowed = false;

    static std::size_t write(char* data, std::size_t, std::size_t size, void* self) {
        auto* collector = static_cast<Collector*>(self);
        if (collector->body.size() + size > collector->limit) {
            collector->overflowed = true;
            return 0;
        }
        collector->body.append(data, size);
        return size;
    }

    void attach(CURL* handle) {
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Collector::write);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    }
};

// Passes a 2xx answer; anything else becomes a RelayError with the relay's own sentence and
// reason when it sent them.
void check(long status, std::string_view body) {
    if (status >= 200 && status <= 299) {
        return;
    }
    std::optional<std::string> sentence;
    std::optional<Protocol::Reason> reason;
    try {
        JSON answer = JSON::decode(body);
        sentence = answer[Protocol::errorMember].string();
        if (auto text = answer[Protocol::reasonMember].string()) {
            reason = Protocol::reason(*text);
        }
    } catch (const JSON::ParseError&) {
    }
    throw RelayError(status, reason,
                     sentence.value_or("Relay returned HTTP " + std::to_string(status)));
}

long performCollecting(Request& request, Collector& collector, std::stop_token stop = {}) {
    collector.attach(request.handle());
    try {
        return request.perform(stop);
    } catch (const NetworkError&) {
        if (collector.overflowed) {
            throw ZUQError("The relay's answer is larger than " +
                           std::to_string(collector.limit >> 20) + " MiB");
        }
        throw;
    }
}

} // namespace

API::API(std::string_view server, std::optional<Credentials> credentials, Limits limits) {
    initialiseCurl();
    auto session = std::make_shared<Session>();
    session->server = std::string(server);
    session->credentials = std::move(credentials);
    session->limits = limits;
    session->origin = parseOrigin(server);
    session->host = part(session->origin.get(), CURLUPART_HOST).value_or("");
    session_ = std::move(session);
}

API::API(std::string_view server, std::optional<Credentials> credentials)
    : API(server, std::move(credentials), Limits()) {}

API::API(const Credentials& credentials) : API(credentials.server, credentials) {}

const std::string& API::server() const {
    return session_->server;
}

const std::optional<Credentials>& API::credentials() const {
    return session_->credentials;
}

JSON API::call(std::string_view method, std::string_view path, const std::optional<JSON>& body,
               const std::optional<std::string>& lease,
               const std::optional<std::string>& bootstrap) const {
    Request request(*session_, method, path, lease);
    std::string data;
    if (body) {
        data = body->data();
        request.header(std::string(Protocol::Headers::contentType) + ": " +
                       std::string(Protocol::jsonType));
        curl_easy_setopt(request.handle(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(data.size()));
        curl_easy_setopt(request.handle(), CURLOPT_POSTFIELDS, data.c_str());
    }
    if (bootstrap) {
        request.header(std::string(Protocol::Headers::bootstrap) + ": " + *bootstrap);
    }
    Collector answer{{}, maxAnswerBytes};
    long status = performCollecting(request, answer);
    check(status, answer.body);
    return JSON::decode(answer.body);
}

namespace {

// Feeds libcurl from an open file, remembering a read failure to report it as the file's.
struct FileSource {
    int fd;
    const fs::path& path;
    int error = 0;

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* self) {
        auto* source = static_cast<FileSource*>(self);
        try {
            return Platform::readFully(source->fd, buffer, size * count, source->path);
        } catch (const std::system_error& failure) {
            source->error = failure.code().value();
            return CURL_READFUNC_ABORT;
        }
    }
};

// Writes a download into a file, remembering a write failure. Writes nothing beyond `limit`
// bytes of a build, or `maxErrorBodyBytes` of a refusal, and stops the transfer instead.
struct FileSink {
    int fd;
    const fs::path& path;
    CURL* handle;
    std::uint64_t limit;
    std::uint64_t written = 0;
    int error = 0;
    bool tooLarge = false; // a build past the limit, announced or sent
    bool cut = false;      // a refusal whose end was not read

    static std::size_t write(char* data, std::size_t, std::size_t size, void* self) {
        auto* sink = static_cast<FileSink*>(self);
        long status = 0;
        curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status);
        bool refused = status < 200 || status > 299;
        std::uint64_t room = refused ? maxErrorBodyBytes : sink->limit;
        curl_off_t announced = -1;
        curl_easy_getinfo(sink->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (!refused && announced > 0 && static_cast<std::uint64_t>(announced) > room) {
            sink->tooLarge = true;
            return 0;
        }
        std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(size, room - sink->written));
        try {
            Platform::writeAll(sink->fd, data, taken, sink->path);
        } catch (const std::system_error& failure) {
            sink->error = failure.code().value();
            return 0;
        }
        sink->written += taken;
        if (taken < size) {
            // A refusal's sentence is in its first bytes; a build this large is refused.
            (refused ? sink->cut : sink->tooLarge) = true;
            return 0;
        }
        return size;
    }
};

} // namespace

void API::upload(std::string_view job, std::string_view lease, const fs::path& file,
                 std::stop_token stop) const {
    Request request(*session_, Protocol::endpoint(Protocol::Operation::upload).method,
                    Protocol::path(Protocol::Operation::upload, job), std::string(lease));
    std::string sha = ArtifactCrypto::sha256(file);
    Platform::FileDescriptor input = Platform::openFile(file, O_RDONLY);
    std::uint64_t size = Platform::fileSize(input.get(), file);
    request.header(std::string(Protocol::Headers::contentType) + ": " +
                   std::string(Protocol::buildType));
    request.header(std::string(Protocol::Headers::sha256) + ": " + sha);
    FileSource source{input.get(), file};
    CURL* h = request.handle();
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &FileSource::read);
    curl_easy_setopt(h, CURLOPT_READDATA, &source);
    Collector answer{{}, maxAnswerBytes};
    long status;
    try {
        status = performCollecting(request, answer, stop);
    } catch (const NetworkError&) {
        if (source.error != 0) {
            Platform::throwSystemError(source.error, "Cannot read", file);
        }
        throw;
    }
    check(status, answer.body);
}

void API::download(std::string_view job, std::string_view lease, const fs::path& to,
                   std::string_view expectedSHA, std::stop_token stop) const {
    Request request(*session_, Protocol::endpoint(Protocol::Operation::download).method,
                    Protocol::path(Protocol::Operation::download, job), std::string(lease));
    fs::path directory = to.has_parent_path() ? to.parent_path() : fs::path(".");
    Platform::TemporaryFile temporary(directory, "." + to.filename().string() + ".download-");
    FileSink sink{temporary.fd(), temporary.path(), request.handle(),
                  session_->limits.largestBuild};
    curl_easy_setopt(request.handle(), CURLOPT_WRITEFUNCTION, &FileSink::write);
    curl_easy_setopt(request.handle(), CURLOPT_WRITEDATA, &sink);
    long status = 0;
    try {
        status = request.perform(stop);
    } catch (const NetworkError&) {
        if (sink.error != 0) {
            Platform::throwSystemError(sink.error, "Cannot write", temporary.path());
        }
        if (sink.tooLarge) {
            throw ZUQError("The relay sent a build larger than the " +
                           std::to_string(session_->limits.largestBuild) +
                           " bytes this Mac accepts");
        }
        if (!sink.cut) {
            throw;
        }
        curl_easy_getinfo(request.handle(), CURLINFO_RESPONSE_CODE, &status);
    }
    if (status < 200 || status > 299) {
        std::string body(maxErrorBodyBytes, '\0');
        ::lseek(temporary.fd(), 0, SEEK_SET);
        body.resize(
            Platform::readFully(temporary.fd(), body.data(), body.size(), temporary.path()));
        check(status, body);
    }
    temporary.close();
    if (ArtifactCrypto::sha256(temporary.path()) != expectedSHA) {
        throw ZUQError("Downloaded build checksum mismatch");
    }
    std::error_code error;
    fs::rename(temporary.path(), to, error);
    if (error) {
        Platform::throwSystemError(error.value(), "Cannot replace", to);
    }
    temporary.keep();
}

using Protocol::Operation;

JSON API::request(Operation operation, std::string_view id, const std::optional<JSON>& body,
                  const std::optional<std::string>& lease,
                  const std::optional<std::string>& bootstrap, std::string_view query) const {
    const Protocol::Endpoint& row = Protocol::endpoint(operation);
    bool sendsBody = row.body == Protocol::Body::json || row.body == Protocol::Body::emptyOrJSON;
    if (sendsBody != body.has_value() || (row.access == Protocol::Access::leaseHolder) !=
                                             lease.has_value() ||
        (row.access == Protocol::Access::bootstrap) != bootstrap.has_value()) {
        throw std::logic_error("a request that does not fit its operation's row");
    }
    return call(row.method, Protocol::path(operation, id) + std::string(query), body, lease,
                bootstrap);
}

JSON API::createGroup(std::string_view name, std::string_view deviceName,
                      std::string_view bootstrap) const {
    return request(Operation::createGroup, {},
                   JSON::object({{"name", name}, {"device_name", deviceName}}), std::nullopt,
                   std::string(bootstrap));
}

JSON API::createInvite() const {
    return request(Operation::createInvite, {}, JSON::object());
}

JSON API::join(const JSON& code, std::string_view deviceName) const {
    return request(Operation::join, {},
                   JSON::object({{"code", code}, {"device_name", deviceName}}));
}

JSON API::group() const {
    return request(Operation::group);
}

JSON API::revoke(std::string_view device) const {
    return request(Operation::revoke, device);
}

JSON API::submit(const Submission& submission) const {
    return request(Operation::submit, {},
                   JSON::object({
                       {"builder_id", submission.builder},
                       {"receiver_id", submission.receiver},
                       {"project_id", submission.project},
                       {"scheme", submission.scheme},
                       {"configuration", submission.configuration},
                       {"mode", text(submission.mode)},
                       {"udid", submission.udid},
                   }));
}

JSON API::jobs() const {
    return request(Operation::jobs);
}

JSON API::job(std::string_view id) const {
    return request(Operation::job, id);
}

JSON API::events(std::string_view id, std::optional<std::int64_t> after) const {
    std::string query;
    if (after) {
        query = "?" + std::string(Protocol::afterParameter) + "=" + std::to_string(*after);
    }
    return request(Operation::events, id, std::nullopt, std::nullopt, std::nullopt, query);
}

JSON API::cancel(std::string_view id) const {
    return request(Operation::cancel, id, JSON::object());
}

std::vector<API::LeasedJob> API::heartbeat(const JSON& inventory,
                                           const std::vector<HeldLease>& leases) const {
    JSON::Array held;
    held.reserve(leases.size());
    for (const HeldLease& lease : leases) {
        held.push_back(JSON::object({{"id", lease.job}, {"token", lease.token}}));
    }
    JSON answer =
        request(Operation::heartbeat, {},
                JSON::object({{"inventory", inventory}, {"leases", JSON(std::move(held))}}));
    std::vector<LeasedJob> jobs;
    for (const JSON& job : answer["jobs"].items()) {
        const std::string& state = job["state"].text();
        jobs.push_back({job["id"].text(), state, Protocol::jobState(state)});
    }
    return jobs;
}

std::optional<API::Claim> API::claim() const {
    JSON answer = request(Operation::claim, {}, JSON::object());
    if (answer["job"].kind() != JSON::Kind::object) {
        return std::nullopt;
    }
    return Claim{answer["job"], answer["lease"].text()};
}

JSON API::event(std::string_view job, std::string_view lease, std::string_view message) const {
    return request(Operation::event, job, JSON::object({{"message", message}}),
                   std::string(lease));
}

JSON API::fail(std::string_view job, std::string_view lease, std::string_view error) const {
    return request(Operation::fail, job, JSON::object({{"error", error}}), std::string(lease));
}

JSON API::finishBuild(std::string_view job, std::string_view lease, const JSON& manifest) const {
    return request(Operation::finishBuild, job, JSON::object({{"manifest", manifest}}),
                   std::string(lease));
}

JSON API::finish(std::string_view job, std::string_view lease) const {
    return request(Operation::finish, job, JSON::object(), std::string(lease));
}
