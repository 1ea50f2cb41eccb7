#include "ArtifactCrypto.hpp"

#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

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

// Files are read and written in pieces. A piece read is sealed, opened or hashed while it is
// still in the core's cache; a whole 4 MiB chunk would go out to memory and come back. A piece
// written lets the kernel grow the page cache in small folios: one large write makes it take
// large ones, which on virtual machines that hand free memory back to their host cost several
// times as much to fill. A chunk is a whole number of pieces.
constexpr std::size_t pieceSize = 128 * 1024;
static_assert(chunkSize % pieceSize == 0);

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
// only once the buffer handed over before has been written, so that one is free again. One
// long-lived thread does every write: a thread started per buffer begins on the caller's
// processor and would share it instead of running beside it.
class WriteBehind {
public:
    WriteBehind(int fd, const fs::path& path) : fd_(fd), path_(path) {
        thread_ = std::thread([this] { run(); });
    }
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    // Waits for the previous write, passing on its failure, then starts writing `data`, which
    // must stay untouched until the next call.
    void write(const unsigned char* data, std::size_t size) {
        std::unique_lock lock(mutex_);
        waitForIdle(lock);
        data_ = data;
        size_ = size;
        lock.unlock();
        wake_.notify_one();
    }

    // Waits for the write in flight; passes on its failure.
    void finish() {
        std::unique_lock lock(mutex_);
        waitForIdle(lock);
    }

private:
    void waitForIdle(std::unique_lock<std::mutex>& lock) {
        done_.wait(lock, [this] { return data_ == nullptr; });
        if (error_) {
            std::rethrow_exception(std::exchange(error_, nullptr));
        }
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return data_ != nullptr || stopping_; });
            if (stopping_) {
                return;
            }
            const unsigned char* data = data_;
            std::size_t size = size_;
            lock.unlock();
            std::exception_ptr error;
            try {
                for (std::size_t done = 0; done < size; done += pieceSize) {
                    Platform::writeAll(fd_, data + done, std::min(pieceSize, size - done), path_);
                }
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            error_ = error;
            data_ = nullptr;
            done_.notify_one();
        }
    }

    int fd_;
    const fs::path& path_;
    std::mutex mutex_;
    std::condition_variable wake_; // data_ set or stopping_
    std::condition_variable done_; // data_ cleared
    // Guarded by mutex_: the buffer being written (null when idle), its size, the failure of
    // the last write, and the request to end the thread.
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::exception_ptr error_;
    bool stopping_ = false;
    std::thread thread_;
};

// Reads on into `buffer`, which holds `size` bytes already, until it holds a whole chunk or the
// file ends, handing each piece to `use` as it arrives. Returns the bytes now in the buffer.
template <typename Use>
std::size_t readChunk(int fd, unsigned char* buffer, std::size_t size, const fs::path& path,
                      Use&& use) {
    while (size < chunkSize) {
        std::size_t got = Platform::readFully(fd, buffer + size, pieceSize, path);
        use(buffer + size, got);
        size += got;
        if (got < pieceSize) {
            break;
        }
    }
    return size;
}

// Copies the rest of `input` to `output` in chunks, feeding each chunk to `digest` if given.
void copyRest(int input, const fs::path& from, int output, const fs::path& to,
              Platform::SHA256* digest) {
    FrameBuffer buffers[2];
    WriteBehind writer(output, to);
    for (int current = 0;; current ^= 1) {
        unsigned char* chunk = buffers[current].data();
        std::size_t size =
            readChunk(input, chunk, 0, from, [&](unsigned char* piece, std::size_t n) {
                if (digest) {
                    digest->update(piece, n);
                }
            });
        if (size == 0) {
            break;
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
    beginSealing(box, authenticated);
    sealPiece(box + nonceSize, size);
    endSealing(box + nonceSize + size);
}

void FrameCipher::open(unsigned char* box, std::size_t boxSize, std::string_view authenticated) {
    if (boxSize < boxOverhead || boxSize > maximumBox) {
        throw std::invalid_argument("A frame's box holds 28 bytes to 4 MiB + 28 bytes");
    }
    std::size_t size = boxSize - boxOverhead;
    beginOpening(box, authenticated);
    openPiece(box + nonceSize, size);
    endOpening(box + nonceSize + size);
}

void FrameCipher::beginSealing(unsigned char* nonce, std::string_view authenticated) {
    int written = 0;
    if (RAND_bytes(nonce, static_cast<int>(nonceSize)) != 1) {
        throwOpenSSLError("Cannot generate a nonce");
    }
    if (EVP_EncryptInit_ex(encryption_.get(), nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_EncryptUpdate(encryption_.get(), nullptr, &written,
                          reinterpret_cast<const unsigned char*>(authenticated.data()),
                          static_cast<int>(authenticated.size())) != 1) {
        throwOpenSSLError("AES-256-GCM sealing failed");
    }
}

void FrameCipher::sealPiece(unsigned char* piece, std::size_t size) {
    int written = 0;
    if (size > chunkSize) {
        throw std::invalid_argument("A frame holds at most 4 MiB");
    }
    if (size > 0 &&
        EVP_EncryptUpdate(encryption_.get(), piece, &written, piece, static_cast<int>(size)) != 1) {
        throwOpenSSLError("AES-256-GCM sealing failed");
    }
}

void FrameCipher::endSealing(unsigned char* tag) {
    int written = 0;
    if (EVP_EncryptFinal_ex(encryption_.get(), tag, &written) != 1 ||
        EVP_CIPHER_CTX_ctrl(encryption_.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize),
                            tag) != 1) {
        throwOpenSSLError("AES-256-GCM sealing failed");
    }
}

void FrameCipher::beginOpening(const unsigned char* nonce, std::string_view authenticated) {
    int written = 0;
    if (EVP_DecryptInit_ex(decryption_.get(), nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_DecryptUpdate(decryption_.get(), nullptr, &written,
                          reinterpret_cast<const unsigned char*>(authenticated.data()),
                          static_cast<int>(authenticated.size())) != 1) {
        throwOpenSSLError("AES-256-GCM opening failed");
    }
}

void FrameCipher::openPiece(unsigned char* piece, std::size_t size) {
    int written = 0;
    if (size > chunkSize) {
        throw std::invalid_argument("A frame holds at most 4 MiB");
    }
    if (size > 0 &&
        EVP_DecryptUpdate(decryption_.get(), piece, &written, piece, static_cast<int>(size)) != 1) {
        throwOpenSSLError("AES-256-GCM opening failed");
    }
}

void FrameCipher::endOpening(const unsigned char* tag) {
    unsigned char expected[tagSize];
    std::memcpy(expected, tag, tagSize);
    int written = 0;
    if (EVP_CIPHER_CTX_ctrl(decryption_.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                            expected) != 1) {
        throwOpenSSLError("AES-256-GCM opening failed");
    }
    if (EVP_DecryptFinal_ex(decryption_.get(), expected, &written) != 1) {
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
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(pieceSize);
    Platform::SHA256 digest;
    for (;;) {
        std::size_t size = Platform::readFully(input.get(), buffer.get(), pieceSize, file);
        digest.update(buffer.get(), size);
        if (size < pieceSize) {
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
        unsigned char* text = box + nonceSize;
        // Whether this is the end frame is known from the first piece, and the authenticated
        // data that says so goes in before any plaintext.
        std::size_t size = Platform::readFully(input.get(), text, pieceSize, source);
        bool end = size == 0;
        cipher.beginSealing(box, authenticatedData(job, frame, end));
        cipher.sealPiece(text, size);
        if (size == pieceSize) {
            size =
                readChunk(input.get(), text, size, source,
                          [&](unsigned char* piece, std::size_t n) { cipher.sealPiece(piece, n); });
        }
        cipher.endSealing(text + size);
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
        unsigned char* text = box + nonceSize;
        std::size_t size = boxSize - boxOverhead;
        bool end = size == 0;
        if (Platform::readFully(input.get(), box, nonceSize, source) != nonceSize) {
            throw ZUQError("Invalid encrypted chunk");
        }
        cipher.beginOpening(box, authenticatedData(job, frame, end));
        for (std::size_t done = 0; done < size;) {
            std::size_t n = std::min(pieceSize, size - done);
            if (Platform::readFully(input.get(), text + done, n, source) != n) {
                throw ZUQError("Invalid encrypted chunk");
            }
            cipher.openPiece(text + done, n);
            done += n;
        }
        if (Platform::readFully(input.get(), text + size, tagSize, source) != tagSize) {
            throw ZUQError("Invalid encrypted chunk");
        }
        cipher.endOpening(text + size);
        if (end) {
            unsigned char extra;
            if (Platform::readFully(input.get(), &extra, 1, source) != 0) {
                throw ZUQError("Unexpected data after encrypted build");
            }
            break;
        }
        writer.write(text, size);
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
