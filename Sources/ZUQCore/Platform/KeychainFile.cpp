#include "JSON.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/File.hpp"
#include "Platform/Host.hpp"
#include "Platform/Keychain.hpp"

#include <cctype>
#include <cerrno>
#include <sys/stat.h>
#include <system_error>

namespace Platform::Keychain {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view accessibility = "afterFirstUnlockThisDeviceOnly";

// Service and account may hold any text; everything but a safe set is percent-encoded so that
// the pair maps to one file name and back without ambiguity.
std::string fileName(const Query& query) {
    auto encode = [](std::string_view text) {
        static constexpr char digits[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : text) {
            if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += digits[c >> 4];
                out += digits[c & 0xF];
            }
        }
        return out;
    };
    return encode(query.service) + "@" + encode(query.account) + ".json";
}

bool marked(const char* name) {
    struct stat status {};
    return ::stat((directory() / name).c_str(), &status) == 0;
}

// A locked keychain answers nothing; a read-only one refuses changes.
bool locked() {
    return marked("locked");
}
bool readOnly() {
    return marked("read-only");
}

enum class Read { found, missing, unreadable, damaged };

Read readItem(const Query& query, JSON& item) {
    std::string content;
    try {
        content = readFile(directory() / fileName(query));
    } catch (const std::system_error& error) {
        return error.code() == std::errc::no_such_file_or_directory ? Read::missing
                                                                    : Read::unreadable;
    }
    try {
        item = JSON::decode(content);
    } catch (const JSON::ParseError&) {
        return Read::damaged;
    }
    return item["data"].string() && base64Decode(item["data"].text()) ? Read::found : Read::damaged;
}

int status(Read read) {
    switch (read) {
    case Read::found:
        return success;
    case Read::missing:
        return itemNotFound;
    case Read::unreadable:
        return ioError;
    case Read::damaged:
        return decodeError;
    }
    return ioError;
}

int writeItem(const Query& query, const JSON& item) {
    try {
        createDirectories(directory(), 0700);
        atomicWrite(directory() / fileName(query), item.data(), 0600);
        return success;
    } catch (const std::system_error&) {
        return writePermission;
    }
}

} // namespace

fs::path directory() {
    return userDataDirectory() / "zuq-keychain";
}

int copyData(const Query& query, std::optional<std::string>& data) {
    if (locked()) {
        return interactionNotAllowed;
    }
    JSON item;
    Read read = readItem(query, item);
    if (read == Read::found) {
        data = base64Decode(item["data"].text());
    }
    return status(read);
}

int updateData(const Query& query, std::string_view data) {
    if (locked()) {
        return interactionNotAllowed;
    }
    JSON item;
    if (Read read = readItem(query, item); read != Read::found) {
        return status(read);
    }
    if (readOnly()) {
        return writePermission;
    }
    JSON::Object members = item.fields();
    members["data"] = base64Encode(data);
    return writeItem(query, JSON(std::move(members)));
}

int add(const Query& query, std::string_view data, const std::optional<AccessRequest>& access) {
    if (locked()) {
        return interactionNotAllowed;
    }
    JSON existing;
    if (Read read = readItem(query, existing); read != Read::missing) {
        return read == Read::found ? duplicateItem : status(read);
    }
    if (readOnly()) {
        return writePermission;
    }
    JSON accessList;
    if (access) {
        // A trusted application can only be made of something that exists.
        std::vector<std::string> applications;
        for (const auto& path : access->applications) {
            std::error_code error;
            if (fs::exists(path, error)) {
                applications.push_back(path.string());
            }
        }
        accessList = JSON::object(
            {{"descriptor", access->descriptor}, {"applications", JSON::strings(applications)}});
    }
    return writeItem(query, JSON::object({
                                {"service", query.service},
                                {"account", query.account},
                                {"data", base64Encode(data)},
                                {"accessible", accessibility},
                                {"access", accessList},
                            }));
}

std::optional<StoredItem> inspect(const Query& query) {
    JSON item;
    if (readItem(query, item) != Read::found) {
        return std::nullopt;
    }
    StoredItem stored{*base64Decode(item["data"].text()), item["accessible"].text(), {}, {}};
    if (const JSON& access = item["access"]; !access.isNull()) {
        stored.accessDescriptor = access["descriptor"].text();
        for (const auto& application : access["applications"].items()) {
            stored.trustedApplications.push_back(application.text());
        }
    }
    return stored;
}

} // namespace Platform::Keychain
