// Builds in and out: the artifact upload, streamed to disk while it is hashed, and the
// download, streamed from the file with its length.
#include "Members.hpp"
#include "Routes.hpp"

#include <charconv>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace ZUQRelay {

namespace {

constexpr std::size_t downloadChunk = 256 * 1024;

std::optional<std::uint64_t> parseLength(const std::string& text) {
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

// A download in progress: the open file, a buffer and the transfer's place.
struct Outgoing {
    Platform::FileDescriptor file;
    std::vector<char> buffer;
    std::shared_ptr<void> slot;
};

} // namespace

std::uint64_t Routes::checkUpload(Exchange& exchange) {
    const httplib::Request& request = exchange.request;
    std::string encoding = request.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity") {
        throw Refusal(415, "Builds are stored as sent; Content-Encoding is not supported");
    }
    if (!request.has_header("Content-Length") || request.has_header("Transfer-Encoding")) {
        throw Refusal(411, "Content-Length is required");
    }
    std::optional<std::uint64_t> length = parseLength(request.get_header_value("Content-Length"));
    if (!length) {
        throw Refusal(400, "Content-Length must be a whole number");
    }
    if (*length > settings_.maxArtifactBytes) {
        throw Refusal(413, "Build is too large");
    }
    if (request.has_header("X-ZUQ-SHA256") &&
        !isHexDigest(Members::lowerCase(request.get_header_value("X-ZUQ-SHA256")))) {
        throw Refusal(400, "Header X-ZUQ-SHA256 must be 64 hexadecimal digits");
    }
    service_.checkUpload(exchange.caller, exchange.id, request.get_header_value("X-ZUQ-Lease"));
    return *length;
}

JSON Routes::upload(Exchange& exchange) {
    // Until the whole body has been read, any refusal leaves the rest of it unread.
    bool bodyRead = false;
    struct CloseUnlessRead {
        bool& read;
        ~CloseUnlessRead() {
            if (!read) {
                if (Connection* connection = HTTPServer::current()) {
                    connection->closeAfterResponse();
                }
            }
        }
    } closeUnlessRead{bodyRead};

    std::uint64_t length = checkUpload(exchange);
    TransferSlot slot(transfers_, settings_.maxTransfers);
    Connection* connection = HTTPServer::current();
    if (!connection) {
        throw std::logic_error("an upload outside a connection");
    }
    connection->beginTransfer();
    Upload upload(artifacts_);
    // The body is exactly Content-Length bytes of the build (no chunked or content coding is
    // accepted), so it is received straight into the upload's buffers rather than through
    // the HTTP library's small ones: two copies of every byte fewer.
    for (std::uint64_t left = length; left > 0;) {
        std::span<char> room = upload.space();
        std::size_t received = connection->readBody(
            room.data(), static_cast<std::size_t>(std::min<std::uint64_t>(room.size(), left)));
        if (received == 0) {
            throw Refusal(400, "The upload was cut short");
        }
        upload.commit(received);
        left -= received;
    }
    bodyRead = true;
    std::string sha = upload.finish();
    std::string expected = Members::lowerCase(exchange.request.get_header_value("X-ZUQ-SHA256"));
    if (!expected.empty() && expected != sha) {
        throw Refusal(400, "Artifact checksum mismatch");
    }
    return service_.storeUpload(exchange.caller, exchange.id,
                                exchange.request.get_header_value("X-ZUQ-Lease"), upload, sha);
}

JSON Routes::download(Exchange& exchange) {
    Download download = service_.openDownload(exchange.caller, exchange.id,
                                              exchange.request.get_header_value("X-ZUQ-Lease"));
    Connection* connection = HTTPServer::current();
    if (connection && connection->plain() && !exchange.request.has_header("Range")) {
        TransferSlot slot(transfers_, settings_.maxTransfers);
        // Without TLS the file goes from the page cache to the socket without passing through
        // the process; the answer is written here, and the library's own is dropped.
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Length: " +
                           std::to_string(download.size) + "\r\n\r\n";
        bool sent = connection->write(head.data(), head.size()) >= 0 &&
                    connection->sendFile(download.file.get(), download.size);
        connection->answered();
        if (!sent) {
            connection->closeAfterResponse();
        }
        exchange.response.status = 200;
        return JSON();
    }
    auto outgoing = std::make_shared<Outgoing>();
    outgoing->slot = std::make_shared<TransferSlot>(transfers_, settings_.maxTransfers);
    outgoing->file = std::move(download.file);
    outgoing->buffer.resize(downloadChunk);
    exchange.response.status = 200;
    exchange.response.set_content_provider(
        static_cast<std::size_t>(download.size), "application/octet-stream",
        [outgoing](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::size_t want = std::min(length, outgoing->buffer.size());
            ssize_t got;
            do {
                got = ::pread(outgoing->file.get(), outgoing->buffer.data(), want,
                              static_cast<off_t>(offset));
            } while (got < 0 && errno == EINTR);
            // A short file (it cannot shrink while open, but a disk error can) ends the
            // answer early; the client sees fewer bytes than announced and fails.
            if (got <= 0) {
                return false;
            }
            return sink.write(outgoing->buffer.data(), static_cast<std::size_t>(got));
        });
    return JSON();
}

} // namespace ZUQRelay
