// The rules of builds in and out that belong to HTTP: what an upload's head must say, and
// the checksum it announced.
#include "Members.hpp"
#include "Routes.hpp"

#include <charconv>
#include <optional>

namespace ZUQRelay {

namespace {

std::optional<std::uint64_t> parseLength(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isHexDigest(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

} // namespace

void Routes::checkUpload(const RequestHead& head, Decision& decision) const {
    std::string_view encoding = head["Content-Encoding"];
    if (!encoding.empty() && encoding != "identity") {
        throw Refusal(Refusal::Reason::unsupported,
                      "Builds are stored as sent; Content-Encoding is not supported");
    }
    std::optional<std::string_view> lengthField = head.find("Content-Length");
    if (!lengthField || head.find("Transfer-Encoding")) {
        throw Refusal(Refusal::Reason::lengthRequired, "Content-Length is required");
    }
    std::optional<std::uint64_t> length = parseLength(*lengthField);
    if (!length) {
        throw Refusal(Refusal::Reason::invalid, "Content-Length must be a whole number");
    }
    if (*length > settings_.maxArtifactBytes) {
        throw Refusal(Refusal::Reason::tooLarge, "Build is too large");
    }
    if (auto sha = head.find(Protocol::Headers::sha256)) {
        decision.expectedSHA = Members::lowerCase(*sha);
        if (!isHexDigest(decision.expectedSHA)) {
            throw Refusal(Refusal::Reason::invalid,
                          "Header X-ZUQ-SHA256 must be 64 hexadecimal digits");
        }
    }
    service_.checkUpload(decision.caller, decision.id, decision.lease, *length);
    decision.length = *length;
}

JSON Routes::storeUpload(const Decision& decision, Upload& upload, const std::string& sha) const {
    if (!decision.expectedSHA.empty() && decision.expectedSHA != sha) {
        throw Refusal(Refusal::Reason::invalid, "Artifact checksum mismatch");
    }
    return service_.storeUpload(decision.caller, decision.id, decision.lease, upload, sha);
}

Download Routes::openDownload(const Decision& decision) const {
    return service_.openDownload(decision.caller, decision.id, decision.lease);
}

} // namespace ZUQRelay
