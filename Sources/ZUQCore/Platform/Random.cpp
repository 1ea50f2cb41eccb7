#include "Platform/Random.hpp"

#include "Platform/Encoding.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#ifndef __APPLE__
#include <sys/random.h>
#endif

#include <openssl/err.h>
#include <openssl/rand.h>

namespace Platform {

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        char reason[256];
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        throw std::runtime_error(std::string("Cannot generate random bytes: ") + reason);
    }
    return bytes;
}

namespace {

// The kernel's generator. Setting up OpenSSL's takes about 2 ms on first use, which every short
// command that only needs a fresh name would otherwise pay.
std::string systemRandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
#ifdef __APPLE__
    arc4random_buf(bytes.data(), count);
#else
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::getrandom(bytes.data() + done, count - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "Cannot generate random bytes");
        }
        done += static_cast<std::size_t>(n);
    }
#endif
    return bytes;
}

} // namespace

std::string newUUID() {
    std::string bytes = systemRandomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    std::string hex = hexEncode(bytes);
    for (char& c : hex) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
           hex.substr(16, 4) + '-' + hex.substr(20);
}

bool isUUID(std::string_view text) noexcept {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace Platform
