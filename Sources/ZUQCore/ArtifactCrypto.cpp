#include "ArtifactCrypto.hpp"

#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <new>
#include <optional>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace ArtifactCrypto {

namespace fs = std::filesystem;
using Platform::FileDescriptor;

namespace {

constexpr std::size_t keySize = 32;
constexpr std::size_t lengthSize = 4;

// Hashing reads stay small enough to be hashed while they are still in the core's cache;
// 4 MiB reads would go out to memory and back.
constexpr std::size_t hashReadSize = 256 * 1024;

[[noreturn]] void throwOpenSSLError(std::string_view action) {
    char reason[256] = "unknown error";
    if (unsigned long code = ERR_get_error()) {
        ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    throw std::runtime_error(std::string(action) + ": " + reason);
}

void putBigEndian(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value >> 24);
    bytes[1] = static_cast<unsigned char>(value >> 16);
    bytes[2] = static_cast<unsigned char>(value >> 8);
    bytes[3] = static_cast<unsigned char>(value);
}

std::uint32_t getBigEndian(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

std::string authenticatedData(std::string_view job, std::uint64_t frame, bool end) {
    std::string text(job);
    text += ':';
    text += std::to_string(frame);
    text += end ? ":end" : ":data";
    return text;
}

void adviseSequential([[maybe_unused]] int fd) {
#ifdef POSIX_FADV_SEQUENTIAL
    // Only a hint for a larger read-ahead; a file system that ignores it loses nothing.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

// A page-aligned buffer with room for one frame: its length field and the largest box.
class FrameBuffer {
public:
    static constexpr std::size_t capacity = (lengthSize + maximumBox + 4095) / 4096 * 4096;

    FrameBuffer() : bytes_(static_cast<unsigned char*>(std::aligned_alloc(4096, capacity))) {
        if (!bytes_) {
            throw std::bad_alloc();
        }
    }
    unsigned char* data() const { return bytes_.get(); }

private:
    struct Free {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };
    std::unique_ptr<unsigned char, Free> bytes_;
};

// A destination file written under a temporary name in its own directory and renamed over the
// destination by `commit`. Until then the destination is untouched; dropped uncommitted, the
// temporary file is removed.
class PendingFile {
public:
    explicit PendingFile(const fs::path& destination)
        : destination_(destination),
          file_(destination.has_parent_path() ? destination.parent_path() : fs::path("."),
                destination.filename().string() + ".tmp-") {}

    int fd() const { return file_.fd(); }

    void commit() {
        file_.close();
        if (std::rename(file_.path().c_str(), destination_.c_str()) != 0) {
            Platform::throwErrno("Cannot replace", destination_);
        }
        file_.keep();
    }

private:
    fs::path destination_;
    Platform::TemporaryFile file_;
};

// Writes one buffer on a second thread while the caller fills the next. Copying a gigabyte
// into the page cache costs the kernel about as much as reading and sealing it, so overlapping
// the two halves the wall time. The caller alternates between two buffers; `write` returns
// only once the buffer handed over before has been written, so that one is free again.
class WriteBehind {
public:
    WriteBehind(int fd, const fs::path& path) : fd_(fd), path_(path) {}
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind() {
        if (pending_.valid()) {
            pending_.wait();
        }
    }

    // Waits for the previous write, passing on its failure, then starts writing `data`, which
    // must stay untouched until the next call.
    void write(const unsigned char* data, std::size_t size) {
        finish();
        pending_ = std::async(std::launch::async,
                              [this, data, size] { Platform::writeAll(fd_, data, size, path_); });
    }

    // Waits for the write in flight; passes on its failure.
    void finish() {
        if (pending_.valid()) {
            pending_.get();
        }
    }

private:
    int fd_;
    const fs::path& path_;
    std::future<void> pending_;
};

// Copies the rest of `input` to `output` in chunks, feeding each chunk to `digest` if given.
void copyRest(int input, const fs::path& from, int output, const fs::path& to,
              Platform::SHA256* digest) {
    FrameBuffer buffers[2];
    WriteBehind writer(output, to);
    for (int current = 0;; current ^= 1) {
        unsigned char* chunk = buffers[current].data();
        std::size_t size = Platform::readFully(input, chunk, chunkSize, from);
        if (size == 0) {
            break;
        }
        if (digest) {
            digest->update(chunk, size);
        }
        writer.write(chunk, size);
        if (size < chunkSize) {
            break;
        }
    }
    writer.finish();
}

} // namespace

void FrameCipher::Free::operator()(evp_cipher_ctx_st* context) const {
    EVP_CIPHER_CTX_free(context);
}

FrameCipher::FrameCipher(std::string_view key) {
    std::optional<std::string> bytes = Platform::base64Decode(key);
    if (!bytes || bytes->size() != keySize) {
        throw ZUQError("Invalid group encryption key");
    }
    struct Wipe {
        std::string& bytes;
        ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    } wipe{*bytes};
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(bytes->data());
    encryption_.reset(EVP_CIPHER_CTX_new());
    decryption_.reset(EVP_CIPHER_CTX_new());
    if (!encryption_ || !decryption_ ||
        EVP_EncryptInit_ex(encryption_.get(), EVP_aes_256_gcm(), nullptr, keyBytes, nullptr) != 1 ||
        EVP_DecryptInit_ex(decryption_.get(), EVP_aes_256_gcm(), nullptr, keyBytes, nullptr) != 1) {
        throwOpenSSLError("Cannot start AES-256-GCM");
    }
}

FrameCipher::FrameCipher(FrameCipher&&) noexcept = default;
FrameCipher& FrameCipher::operator=(FrameCipher&&) noexcept = default;
FrameCipher::~FrameCipher() = default;

void FrameCipher::seal(unsigned char* box, std::size_t size, std::string_view authenticated) {
    if (size > chunkSize) {
        throw std::invalid_argument("A frame holds at most 4 MiB");
    }
    EVP_CIPHER_CTX* context = encryption_.get();
    unsigned char* text = box + nonceSize;
    int written = 0;
    if (RAND_bytes(box, static_cast<int>(nonceSize)) != 1) {
        throwOpenSSLError("Cannot generate a nonce");
    }
    if (EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, box) != 1 ||
        EVP_EncryptUpdate(context, nullptr, &written,
                          reinterpret_cast<const unsigned char*>(authenticated.data()),
                          static_cast<int>(authenticated.size())) != 1 ||
        (size > 0 &&
         EVP_EncryptUpdate(context, text, &written, text, static_cast<int>(size)) != 1) ||
        EVP_EncryptFinal_ex(context, text + size, &written) != 1 ||
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize),
                            text + size) != 1) {
        throwOpenSSLError("AES-256-GCM sealing failed");
    }
}

void FrameCipher::open(unsigned char* box, std::size_t boxSize, std::string_view authenticated) {
    if (boxSize < boxOverhead || boxSize > maximumBox) {
        throw std::invalid_argument("A frame's box holds 28 bytes to 4 MiB + 28 bytes");
    }
    EVP_CIPHER_CTX* context = decryption_.get();
    std::size_t size = boxSize - boxOverhead;
    unsigned char* text = box + nonceSize;
    int written = 0;
    if (EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, box) != 1 ||
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                            text + size) != 1 ||
        EVP_DecryptUpdate(context, nullptr, &written,
                          reinterpret_cast<const unsigned char*>(authenticated.data()),
                          static_cast<int>(authenticated.size())) != 1 ||
        (size > 0 &&
         EVP_DecryptUpdate(context, text, &written, text, static_cast<int>(size)) != 1)) {
        throwOpenSSLError("AES-256-GCM opening failed");
    }
    if (EVP_DecryptFinal_ex(context, text + size, &written) != 1) {
        ERR_clear_error();
        throw ZUQError(std::string(authenticationFailure));
    }
}

std::string newKey() {
    return Platform::base64Encode(Platform::randomBytes(keySize));
}

std::string sha256(const fs::path& file) {
    FileDescriptor input = Platform::openFile(file, O_RDONLY);
    adviseSequential(input.get());
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(hashReadSize);
    Platform::SHA256 digest;
    for (;;) {
        std::size_t size = Platform::readFully(input.get(), buffer.get(), hashReadSize, file);
        digest.update(buffer.get(), size);
        if (size < hashReadSize) {
            return digest.hexDigest();
        }
    }
}

void encrypt(const fs::path& source, const fs::path& to, std::string_view key,
             std::string_view job) {
    FrameCipher cipher(key);
    FileDescriptor input = Platform::openFile(source, O_RDONLY);
    adviseSequential(input.get());
    PendingFile output(to);
    Platform::writeAll(output.fd(), magic, to);

    FrameBuffer buffers[2];
    WriteBehind writer(output.fd(), to);
    int current = 0;
    for (std::uint64_t frame = 0;; ++frame, current ^= 1) {
        unsigned char* bytes = buffers[current].data();
        unsigned char* box = bytes + lengthSize;
        std::size_t size = Platform::readFully(input.get(), box + nonceSize, chunkSize, source);
        bool end = size == 0;
        cipher.seal(box, size, authenticatedData(job, frame, end));
        putBigEndian(bytes, static_cast<std::uint32_t>(size + boxOverhead));
        writer.write(bytes, lengthSize + size + boxOverhead);
        if (end) {
            break;
        }
    }
    writer.finish();
    output.commit();
}

void decrypt(const fs::path& source, const fs::path& to, std::string_view key,
             std::string_view job) {
    FrameCipher cipher(key);
    FileDescriptor input = Platform::openFile(source, O_RDONLY);
    adviseSequential(input.get());
    char header[magic.size()];
    if (Platform::readFully(input.get(), header, sizeof header, source) != sizeof header ||
        std::string_view(header, sizeof header) != magic) {
        throw ZUQError("Invalid ZUQ artifact header");
    }
    PendingFile output(to);

    FrameBuffer buffers[2];
    WriteBehind writer(output.fd(), to);
    int current = 0;
    for (std::uint64_t frame = 0;; ++frame, current ^= 1) {
        unsigned char length[lengthSize];
        if (Platform::readFully(input.get(), length, lengthSize, source) != lengthSize) {
            throw ZUQError("Truncated encrypted build");
        }
        std::size_t boxSize = getBigEndian(length);
        if (boxSize < boxOverhead || boxSize > maximumBox) {
            throw ZUQError("Invalid encrypted chunk");
        }
        unsigned char* box = buffers[current].data();
        if (Platform::readFully(input.get(), box, boxSize, source) != boxSize) {
            throw ZUQError("Invalid encrypted chunk");
        }
        bool end = boxSize == boxOverhead;
        cipher.open(box, boxSize, authenticatedData(job, frame, end));
        if (end) {
            unsigned char extra;
            if (Platform::readFully(input.get(), &extra, 1, source) != 0) {
                throw ZUQError("Unexpected data after encrypted build");
            }
            break;
        }
        writer.write(box + nonceSize, boxSize - boxOverhead);
    }
    writer.finish();
    output.commit();
}

void package(const fs::path& ipa, const JSON& manifest, const fs::path& to) {
    std::string text = manifest.data();
    if (text.size() > maximumManifest) {
        throw ZUQError("Manifest too large");
    }
    FileDescriptor input = Platform::openFile(ipa, O_RDONLY);
    adviseSequential(input.get());
    PendingFile output(to);
    std::string head(packageMagic);
    head.resize(packageMagic.size() + lengthSize);
    putBigEndian(reinterpret_cast<unsigned char*>(head.data() + packageMagic.size()),
                 static_cast<std::uint32_t>(text.size()));
    head += text;
    Platform::writeAll(output.fd(), head, to);
    copyRest(input.get(), ipa, output.fd(), to, nullptr);
    output.commit();
}

JSON unpack(const fs::path& package, const fs::path& ipa) {
    FileDescriptor input = Platform::openFile(package, O_RDONLY);
    adviseSequential(input.get());
    unsigned char header[packageMagic.size() + lengthSize];
    std::size_t got = Platform::readFully(input.get(), header, sizeof header, package);
    if (got != sizeof header ||
        std::memcmp(header, packageMagic.data(), packageMagic.size()) != 0) {
        throw ZUQError("Invalid build package");
    }
    std::size_t length = getBigEndian(header + packageMagic.size());
    if (length == 0 || length > maximumManifest) {
        throw ZUQError("Invalid build manifest");
    }
    std::string text(length, '\0');
    if (Platform::readFully(input.get(), text.data(), length, package) != length) {
        throw ZUQError("Invalid build manifest");
    }
    JSON manifest = JSON::decode(text);

    // The IPA is hashed as it is copied: the bytes hashed are exactly the bytes written, and
    // the file need not be read a second time.
    PendingFile output(ipa);
    Platform::SHA256 digest;
    copyRest(input.get(), package, output.fd(), ipa, &digest);
    if (digest.hexDigest() != manifest["ipa_sha256"].text()) {
        throw ZUQError("Package checksum mismatch");
    }
    output.commit();
    return manifest;
}

} // namespace ArtifactCrypto
