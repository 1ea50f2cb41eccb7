#include "HTTPClient.hpp"

#include "Platform/File.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <curl/curl.h>

namespace ZUQRelayTests {

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* target) {
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    static_cast<std::vector<std::string>*>(target)->push_back(line);
    return size * count;
}

std::size_t toFile(char* data, std::size_t size, std::size_t count, void* target) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(target)) * size;
}

struct SList {
    curl_slist* list = nullptr;
    ~SList() { curl_slist_free_all(list); }
    void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

// Resets `curl` for one request to `url` carrying `headers`, collecting the reply's header
// lines into `reply`, trusting `authority` when given. `list` must outlive the request.
void prepare(CURL* curl, const std::string& url, const std::vector<std::string>& headers,
             SList& list, Reply& reply, const std::filesystem::path& authority, long seconds) {
    curl_easy_reset(curl);
    for (const auto& header : headers) {
        list.add(header);
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, seconds);
    if (!authority.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, authority.c_str());
    }
}

void perform(CURL* curl, Reply& reply) {
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("curl: ") + curl_easy_strerror(result));
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
}

} // namespace

JSON Reply::json() const {
    try {
        return JSON::decode(body);
    } catch (const JSON::ParseError&) {
        return JSON();
    }
}

std::optional<std::string> Reply::header(std::string_view name) const {
    for (const auto& line : headers) {
        auto colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < colon; ++i) {
            same = same && std::tolower(static_cast<unsigned char>(line[i])) ==
                               std::tolower(static_cast<unsigned char>(name[i]));
        }
        if (same) {
            auto value = line.find_first_not_of(' ', colon + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return std::nullopt;
}

struct HTTPClient::Handle {
    CURL* curl = curl_easy_init();
    ~Handle() { curl_easy_cleanup(curl); }
};

HTTPClient::HTTPClient(std::string origin, std::filesystem::path authority)
    : origin_(std::move(origin)), authority_(std::move(authority)),
      handle_(std::make_unique<Handle>()) {}

HTTPClient::~HTTPClient() = default;

Reply HTTPClient::request(const std::string& method, const std::string& path,
                          const std::optional<std::string>& body,
                          const std::vector<std::string>& headers) {
    CURL* curl = handle_->curl;
    Reply reply;
    SList list;
    prepare(curl, origin_ + path, headers, list, reply, authority_, 120L);
    if (body) {
        list.add("Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "GET" && !body) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    perform(curl, reply);
    return reply;
}

Reply HTTPClient::upload(const std::string& path, const std::filesystem::path& file,
                         const std::vector<std::string>& headers) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> input(std::fopen(file.c_str(), "rb"),
                                                             std::fclose);
    if (!input) {
        throw std::runtime_error("cannot open " + file.string());
    }
    CURL* curl = handle_->curl;
    Reply reply;
    SList list;
    prepare(curl, origin_ + path, headers, list, reply, authority_, 300L);
    list.add("Content-Type: application/octet-stream");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READDATA, input.get());
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::filesystem::file_size(file)));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    perform(curl, reply);
    return reply;
}

Reply HTTPClient::download(const std::string& path, const std::filesystem::path& file,
                           const std::vector<std::string>& headers) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> output(std::fopen(file.c_str(), "wb"),
                                                              std::fclose);
    if (!output) {
        throw std::runtime_error("cannot create " + file.string());
    }
    CURL* curl = handle_->curl;
    Reply reply;
    SList list;
    prepare(curl, origin_ + path, headers, list, reply, authority_, 300L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, toFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, output.get());
    try {
        perform(curl, reply);
    } catch (...) {
        output.reset();
        throw;
    }
    output.reset();
    if (reply.status != 200) {
        reply.body = Platform::readFile(file);
    }
    return reply;
}

std::string rawExchange(const std::string& origin, const std::string& bytes, int seconds,
                        bool shutWrite) {
    RawConnection connection(origin);
    connection.send(bytes);
    if (shutWrite) {
        ::shutdown(connection.fd(), SHUT_WR);
    }
    return connection.received(std::chrono::seconds(seconds));
}

RawConnection::RawConnection(const std::string& origin) {
    auto colon = origin.rfind(':');
    int port = std::stoi(origin.substr(colon + 1));
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw std::runtime_error("cannot make a socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        throw std::runtime_error("cannot connect to " + origin);
    }
}

RawConnection::~RawConnection() {
    ::close(fd_);
}

bool RawConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool RawConnection::fill(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd descriptor{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
        return true;
    }
    char buffer[16384];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> RawConnection::answer(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t end = pending_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = pending_.substr(0, end);
            std::transform(head.begin(), head.end(), head.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            auto at = head.find("\r\ncontent-length:");
            std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
            if (pending_.size() >= end + 4 + length) {
                std::string whole = pending_.substr(0, end + 4 + length);
                pending_.erase(0, whole.size());
                return whole;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline || !fill(deadline)) {
            return std::nullopt;
        }
    }
}

std::string RawConnection::received(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && fill(deadline)) {
    }
    return std::exchange(pending_, std::string());
}

bool RawConnection::closesWithin(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!fill(deadline)) {
            return true;
        }
        pending_.clear();
    }
    return false;
}

std::string statusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

} // namespace ZUQRelayTests
