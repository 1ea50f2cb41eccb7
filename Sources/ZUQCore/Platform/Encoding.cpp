#include "Platform/Encoding.hpp"

#include <openssl/evp.h>

namespace Platform {

std::string base64Encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
    // EVP_DecodeBlock tolerates surrounding white space and does not report padding, so the
    // shape is checked here first and the result is checked to encode back to the input.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=') {
            if (i + 2 < text.size()) {
                return std::nullopt;
            }
            ++padding;
        } else if (!alphabet || padding > 0) {
            return std::nullopt;
        }
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (decoded < 0 || static_cast<std::size_t>(decoded) < padding) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(decoded) - padding);
    if (base64Encode(bytes) != text) {
        return std::nullopt;
    }
    return bytes;
}

std::string base64URLEncode(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

std::string hexEncode(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

} // namespace Platform
