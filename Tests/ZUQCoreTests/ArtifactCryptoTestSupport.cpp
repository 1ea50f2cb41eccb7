#include "ArtifactCryptoTestSupport.hpp"

#include <memory>
#include <signal.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

namespace ArtifactCryptoTestSupport {

namespace fs = std::filesystem;

namespace {

// Written from the layout alone: magic, then frames of a big-endian 32-bit box length and a
// box of 12-byte nonce, ciphertext and 16-byte tag; frame i is authenticated with
// "<job>:<i>:data", or "<job>:<i>:end" for the empty final frame.
constexpr std::string_view fileMagic("ZUQENC1\n", 8);
constexpr std::size_t largestBox = 4 * 1024 * 1024 + 28;

using Context = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

std::uint32_t readBigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (unsigned char byte : bytes.substr(0, 4)) {
        value = value << 8 | byte;
    }
    return value;
}

std::string open(std::string_view box, std::string_view key, std::string_view authenticated) {
    std::string_view nonce = box.substr(0, 12);
    std::string_view ciphertext = box.substr(12, box.size() - 28);
    std::string tag(box.substr(box.size() - 16));
    std::string plaintext(ciphertext.size(), '\0');
    Context context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0;
    bool ok =
        context &&
        EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) &&
        EVP_DecryptInit_ex(context.get(), nullptr, nullptr, bytesOf(key), bytesOf(nonce)) &&
        EVP_DecryptUpdate(context.get(), nullptr, &length, bytesOf(authenticated),
                          static_cast<int>(authenticated.size())) &&
        EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plaintext.data()),
                          &length, bytesOf(ciphertext), static_cast<int>(ciphertext.size())) &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) &&
        EVP_DecryptFinal_ex(context.get(), nullptr, &length);
    if (!ok) {
        throw std::runtime_error("frame fails authentication with " + std::string(authenticated));
    }
    return plaintext;
}

} // namespace

std::string keyBytes() {
    std::string key;
    for (int i = 0; i < 32; ++i) {
        key += static_cast<char>(i);
    }
    return key;
}

std::string bigEndian(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 3; i >= 0; --i, value >>= 8) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
    }
    return bytes;
}

std::string seal(std::string_view plaintext, std::string_view authenticated, std::string_view key) {
    std::string box(12 + plaintext.size() + 16, '\0');
    auto* out = reinterpret_cast<unsigned char*>(box.data());
    Context context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0;
    bool ok =
        context && RAND_bytes(out, 12) == 1 &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) &&
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, bytesOf(key), out) &&
        EVP_EncryptUpdate(context.get(), nullptr, &length, bytesOf(authenticated),
                          static_cast<int>(authenticated.size())) &&
        EVP_EncryptUpdate(context.get(), out + 12, &length, bytesOf(plaintext),
                          static_cast<int>(plaintext.size())) &&
        EVP_EncryptFinal_ex(context.get(), out + 12 + plaintext.size(), &length) &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, out + 12 + plaintext.size());
    if (!ok) {
        throw std::runtime_error("reference sealing failed");
    }
    return box;
}

std::string frame(const std::string& box) {
    return bigEndian(static_cast<std::uint32_t>(box.size())) + box;
}

std::string referenceEncrypt(const std::vector<std::string>& chunks, std::string_view job) {
    std::string file(fileMagic);
    std::size_t i = 0;
    for (const std::string& chunk : chunks) {
        file += frame(seal(chunk, std::string(job) + ":" + std::to_string(i++) + ":data"));
    }
    file += frame(seal("", std::string(job) + ":" + std::to_string(i) + ":end"));
    return file;
}

Decoded referenceDecrypt(std::string_view bytes, std::string_view key, std::string_view job) {
    if (bytes.substr(0, 8) != fileMagic) {
        throw std::runtime_error("no magic");
    }
    Decoded decoded;
    std::size_t at = 8;
    for (std::size_t i = 0;; ++i) {
        if (bytes.size() - at < 4) {
            throw std::runtime_error("stream ends before frame " + std::to_string(i));
        }
        std::size_t n = readBigEndian(bytes.substr(at));
        if (n < 28 || n > largestBox || bytes.size() - at - 4 < n) {
            throw std::runtime_error("bad box length " + std::to_string(n));
        }
        std::string_view box = bytes.substr(at + 4, n);
        at += 4 + n;
        bool end = n == 28;
        decoded.boxes.push_back(n);
        decoded.nonces.emplace_back(box.substr(0, 12));
        std::string label = std::string(job) + ":" + std::to_string(i) + (end ? ":end" : ":data");
        decoded.plaintext += open(box, key, label);
        if (end) {
            if (at != bytes.size()) {
                throw std::runtime_error("bytes after the end frame");
            }
            return decoded;
        }
        if (n != largestBox && bytes.size() - at > 4 + 28) {
            throw std::runtime_error("a short data frame before the last");
        }
    }
}

std::vector<std::string> splitFrames(std::string_view bytes) {
    std::vector<std::string> frames;
    for (std::size_t at = 8; at + 4 <= bytes.size();) {
        std::size_t n = readBigEndian(bytes.substr(at));
        frames.emplace_back(bytes.substr(at, 4 + n));
        at += 4 + n;
    }
    return frames;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::system_error(errno, std::generic_category(), path.string());
    }
    return status.st_mode & 07777;
}

std::vector<std::string> temporaryFiles(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::string name = entry.path().filename().string();
        if (name.find(".tmp-") != std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

int inChildWithFileSizeLimit(std::size_t limit, const std::function<void()>& work) {
    pid_t child = ::fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::setrlimit(RLIMIT_FSIZE, &size);
        int code = 0;
        try {
            work();
        } catch (const std::system_error& error) {
            code = error.code().value();
        } catch (...) {
            code = 255;
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace ArtifactCryptoTestSupport
