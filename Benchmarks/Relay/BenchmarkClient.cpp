#include "BenchmarkClient.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <curl/curl.h>

namespace RelayBenchmark {

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::size_t countBytes(char*, std::size_t size, std::size_t items, void* target) {
    *static_cast<std::uint64_t*>(target) += size * items;
    return size * items;
}

class Headers {
public:
    explicit Headers(const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            list_ = curl_slist_append(list_, line.c_str());
        }
    }
    Headers(const Headers&) = delete;
    Headers& operator=(const Headers&) = delete;
    ~Headers() { curl_slist_free_all(list_); }
    void add(const std::string& line) { list_ = curl_slist_append(list_, line.c_str()); }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

void perform(CURL* curl, Answer& answer) {
    // A relay or nginx with a certificate of its own, compared over TLS 1.3.
    if (const char* authority = std::getenv("ZUQ_BENCH_CA"); authority && *authority) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, authority);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_3));
    }
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("curl: ") + curl_easy_strerror(result));
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
}

} // namespace

JSON Answer::json() const {
    try {
        return JSON::decode(body);
    } catch (const JSON::ParseError&) {
        return JSON();
    }
}

struct Client::Handle {
    CURL* curl = curl_easy_init();
    ~Handle() { curl_easy_cleanup(curl); }
};

Client::Client(std::string origin)
    : origin_(std::move(origin)), handle_(std::make_unique<Handle>()) {}

Client::~Client() = default;

Answer Client::call(const std::string& method, const std::string& path, const JSON* body,
                    const std::vector<std::string>& headers) {
    CURL* curl = handle_->curl;
    curl_easy_reset(curl);
    Answer answer;
    Headers list(headers);
    std::string text;
    if (body) {
        text = body->data();
        list.add("Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(text.size()));
    }
    std::string url = origin_ + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    perform(curl, answer);
    return answer;
}

JSON Client::require(const std::string& method, const std::string& path, const JSON& body,
                     const std::vector<std::string>& headers) {
    Answer answer = call(method, path, &body, headers);
    if (answer.status != 200) {
        throw std::runtime_error(method + " " + path + ": HTTP " + std::to_string(answer.status) +
                                 " " + answer.body);
    }
    return answer.json();
}

Answer Client::upload(const std::string& path, const std::filesystem::path& file,
                      const std::vector<std::string>& headers, double& seconds) {
    CURL* curl = handle_->curl;
    curl_easy_reset(curl);
    Answer answer;
    Headers list(headers);
    list.add("Content-Type: application/octet-stream");
    std::unique_ptr<std::FILE, decltype(&std::fclose)> input(std::fopen(file.c_str(), "rb"),
                                                             std::fclose);
    if (!input) {
        throw std::runtime_error("cannot open " + file.string());
    }
    std::string url = origin_ + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READDATA, input.get());
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(std::filesystem::file_size(file)));
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 2L * 1024 * 1024);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    auto start = std::chrono::steady_clock::now();
    perform(curl, answer);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return answer;
}

Answer Client::download(const std::string& path, const std::vector<std::string>& headers,
                        double& seconds, std::uint64_t& bytes) {
    CURL* curl = handle_->curl;
    curl_easy_reset(curl);
    Answer answer;
    Headers list(headers);
    bytes = 0;
    std::string url = origin_ + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, countBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    auto start = std::chrono::steady_clock::now();
    perform(curl, answer);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return answer;
}

Device createGroup(Client& client, const std::string& secret, const std::string& name) {
    JSON answer = client.require("POST", "/v1/groups",
                                 JSON::object({{"name", name}, {"device_name", name + " 0"}}),
                                 {"X-ZUQ-Bootstrap: " + secret});
    return {answer["device_id"].text(), answer["token"].text()};
}

Device join(Client& client, const Device& inviter, const std::string& name) {
    JSON invite = client.require("POST", "/v1/invites", JSON::object(), {inviter.authorization()});
    JSON answer = client.require("POST", "/v1/join",
                                 JSON::object({{"code", invite["code"]}, {"device_name", name}}));
    return {answer["device_id"].text(), answer["token"].text()};
}

} // namespace RelayBenchmark
