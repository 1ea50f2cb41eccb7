// The encrypted build format, checked against a reader and a writer built here directly on
// OpenSSL from the file layout, so that a mistake shared by encrypt and decrypt cannot pass.
#include "ArtifactCrypto.hpp"
#include "ArtifactCryptoTestSupport.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Random.hpp"
#include "Support.hpp"

#include <algorithm>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace ArtifactCryptoTestSupport;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

constexpr std::size_t chunk = ArtifactCrypto::chunkSize;

class ArtifactCryptoTest : public TestSupport::TemporaryDirectoryTest {
protected:
    fs::path plain() const { return directory / "build.pkg"; }
    fs::path sealed() const { return directory / "build.zuqenc"; }
    fs::path opened() const { return directory / "opened.pkg"; }

    // Writes `bytes` as the encrypted file, decrypts it and returns the failure message, or
    // "" on success. Whatever happens, no partial output and no temporary file may remain.
    std::string decryptFailure(const std::string& bytes, std::string_view job = "job-1",
                               std::string_view key = keyText) {
        writeFile(sealed(), bytes);
        std::string message;
        try {
            ArtifactCrypto::decrypt(sealed(), opened(), key, job);
        } catch (const ZUQError& error) {
            message = error.what();
            EXPECT_FALSE(fs::exists(opened())) << "a failed decryption left its output";
        }
        EXPECT_TRUE(temporaryFiles(directory).empty()) << "a temporary file was left";
        return message;
    }
};

TEST_F(ArtifactCryptoTest, NewKeysAreFreshStrictBase64Of32Bytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        std::string key = ArtifactCrypto::newKey();
        ASSERT_EQ(key.size(), 44u);
        std::optional<std::string> bytes = Platform::base64Decode(key);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), 32u);
        seen.insert(key);
    }
    EXPECT_EQ(seen.size(), 16u);
    writeFile(plain(), "content");
    std::string key = ArtifactCrypto::newKey();
    ArtifactCrypto::encrypt(plain(), sealed(), key, "job-1");
    EXPECT_EQ(referenceDecrypt(readFile(sealed()), *Platform::base64Decode(key), "job-1").plaintext,
              "content");
}

TEST_F(ArtifactCryptoTest, Sha256MatchesAnIndependentTool) {
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"empty", ""},
        {"abc", "abc"},
        {"one chunk", Platform::randomBytes(chunk)},
        {"ten MiB and a bit", Platform::randomBytes(10 * 1024 * 1024 + 17)},
    };
    for (const Case& c : cases) {
        writeFile(plain(), c.content);
        TestSupport::Output tool = TestSupport::run("/usr/bin/sha256sum", {plain().string()});
        ASSERT_EQ(tool.status, 0) << tool.err;
        EXPECT_EQ(ArtifactCrypto::sha256(plain()), tool.out.substr(0, 64)) << c.name;
    }
    writeFile(plain(), "");
    EXPECT_EQ(ArtifactCrypto::sha256(plain()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    writeFile(plain(), "abc");
    EXPECT_EQ(ArtifactCrypto::sha256(plain()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    try {
        ArtifactCrypto::sha256(directory / "missing");
        ADD_FAILURE() << "hashing a missing file succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
        EXPECT_NE(std::string(error.what()).find("missing"), std::string::npos) << error.what();
    }
}

TEST_F(ArtifactCryptoTest, LayoutIsReadableByAnIndependentDecoder) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> boxes; // box lengths, end frame included
    };
    const Case cases[] = {
        {0, {28}},
        {1, {29, 28}},
        {chunk - 1, {chunk + 27, 28}},
        {chunk, {chunk + 28, 28}},
        {chunk + 1, {chunk + 28, 29, 28}},
        {10 * 1024 * 1024, {chunk + 28, chunk + 28, 2 * 1024 * 1024 + 28, 28}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string content = Platform::randomBytes(c.size);
        writeFile(plain(), content);
        ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-7");
        std::string bytes = readFile(sealed());
        std::size_t expected = 8;
        for (std::size_t box : c.boxes) {
            expected += 4 + box;
        }
        EXPECT_EQ(bytes.size(), expected);
        EXPECT_EQ(modeOf(sealed()), 0600u);

        Decoded decoded = referenceDecrypt(bytes, keyBytes(), "job-7");
        EXPECT_EQ(decoded.boxes, c.boxes);
        EXPECT_TRUE(decoded.plaintext == content) << "plaintext differs";
        std::set<std::string> nonces(decoded.nonces.begin(), decoded.nonces.end());
        EXPECT_EQ(nonces.size(), decoded.nonces.size()) << "a nonce was used twice";

        ArtifactCrypto::decrypt(sealed(), opened(), keyText, "job-7");
        EXPECT_TRUE(readFile(opened()) == content) << "round trip differs";
        EXPECT_EQ(modeOf(opened()), 0600u);
    }
}

TEST_F(ArtifactCryptoTest, ReadsStreamsWrittenByAnotherWriter) {
    // Another correct writer may cut its chunks differently; every frame up to the largest box
    // must be accepted.
    const std::vector<std::vector<std::string>> streams = {
        {},
        {"a"},
        {"first", "second frame", std::string(1000, 'x')},
        {Platform::randomBytes(chunk), Platform::randomBytes(3)},
    };
    for (const auto& chunks : streams) {
        std::string joined;
        for (const std::string& piece : chunks) {
            joined += piece;
        }
        EXPECT_EQ(decryptFailure(referenceEncrypt(chunks, "job-1")), "");
        EXPECT_TRUE(readFile(opened()) == joined) << chunks.size() << " frames";
        fs::remove(opened());
    }
}

TEST_F(ArtifactCryptoTest, TwoEncryptionsDifferAndBothDecrypt) {
    std::string content = Platform::randomBytes(100'000);
    writeFile(plain(), content);
    ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-1");
    ArtifactCrypto::encrypt(plain(), directory / "again.zuqenc", keyText, "job-1");
    std::string first = readFile(sealed());
    std::string second = readFile(directory / "again.zuqenc");
    EXPECT_EQ(first.size(), second.size());
    EXPECT_NE(first, second);
    EXPECT_EQ(referenceDecrypt(first, keyBytes(), "job-1").plaintext, content);
    EXPECT_EQ(referenceDecrypt(second, keyBytes(), "job-1").plaintext, content);
}

TEST_F(ArtifactCryptoTest, DamagedStreamsAreRefusedWithoutOutput) {
    const std::string d0 = frame(seal("zero", "job-1:0:data"));
    const std::string d1 = frame(seal("one", "job-1:1:data"));
    const std::string d2 = frame(seal("two", "job-1:2:data"));
    const std::string end2 = frame(seal("", "job-1:2:end"));
    const std::string end3 = frame(seal("", "job-1:3:end"));
    const std::string magic(ArtifactCrypto::magic);
    const std::string good = magic + d0 + d1 + end2;
    const std::string authentication(ArtifactCrypto::authenticationFailure);
    auto flip = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        return bytes;
    };
    // A length field followed by as many bytes (at least 40), so only the value is wrong.
    auto length = [&](std::uint32_t n) {
        return magic + bigEndian(n) + std::string(std::max<std::size_t>(n, 40), 'x');
    };

    struct Case {
        const char* name;
        std::string bytes;
        std::string job;
        std::string message;
    };
    const Case cases[] = {
        {"intact", good, "job-1", ""},
        {"another job", good, "job-2", authentication},
        {"a job that only starts alike", good, "job-1:0", authentication},
        {"empty file", "", "job-1", "Invalid ZUQ artifact header"},
        {"short magic", magic.substr(0, 7), "job-1", "Invalid ZUQ artifact header"},
        {"other magic", "ZUQENC2\n" + d0 + d1 + end2, "job-1", "Invalid ZUQ artifact header"},
        {"magic only", magic, "job-1", "Truncated encrypted build"},
        {"end frame dropped", magic + d0 + d1, "job-1", "Truncated encrypted build"},
        {"cut in a length field", magic + d0 + end2.substr(0, 2), "job-1",
         "Truncated encrypted build"},
        {"cut inside a box", good.substr(0, good.size() - 1), "job-1", "Invalid encrypted chunk"},
        {"frames swapped", magic + d1 + d0 + end2, "job-1", authentication},
        {"frame dropped", magic + d0 + end2, "job-1", authentication},
        {"frame repeated", magic + d0 + d0 + d1 + end3, "job-1", authentication},
        {"end box in a data frame's place", magic + d0 + end2, "job-1", authentication},
        {"data frame relabelled as end", magic + d0 + d1 + d2 + end2, "job-1", authentication},
        {"one byte appended", good + "x", "job-1", "Unexpected data after encrypted build"},
        {"a frame appended", good + d2, "job-1", "Unexpected data after encrypted build"},
        {"nonce altered", flip(good, 8 + 4), "job-1", authentication},
        {"ciphertext altered", flip(good, 8 + 4 + 12), "job-1", authentication},
        {"tag altered", flip(good, 8 + d0.size() - 1), "job-1", authentication},
        {"length 0", length(0), "job-1", "Invalid encrypted chunk"},
        {"length 27", length(27), "job-1", "Invalid encrypted chunk"},
        {"length one above the largest box", length(ArtifactCrypto::maximumBox + 1), "job-1",
         "Invalid encrypted chunk"},
        {"length 2^32 - 1", magic + bigEndian(0xFFFFFFFF) + std::string(64, 'x'), "job-1",
         "Invalid encrypted chunk"},
        {"largest box announced, not present", magic + bigEndian(ArtifactCrypto::maximumBox) + "x",
         "job-1", "Invalid encrypted chunk"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decryptFailure(c.bytes, c.job), c.message) << c.name;
        fs::remove(opened());
    }
    EXPECT_EQ(decryptFailure(good, "job-1", otherKeyText), authentication) << "another key";
}

TEST_F(ArtifactCryptoTest, WholeFramesOfARealStreamCannotBeRearranged) {
    writeFile(plain(), Platform::randomBytes(2 * chunk + 5));
    ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-1");
    std::vector<std::string> frames = splitFrames(readFile(sealed()));
    ASSERT_EQ(frames.size(), 4u);
    const std::string magic(ArtifactCrypto::magic);
    const std::string authentication(ArtifactCrypto::authenticationFailure);
    EXPECT_EQ(decryptFailure(magic + frames[1] + frames[0] + frames[2] + frames[3]),
              authentication);
    EXPECT_EQ(decryptFailure(magic + frames[0] + frames[1] + frames[2]),
              "Truncated encrypted build");
    EXPECT_EQ(decryptFailure(magic + frames[0]), "Truncated encrypted build");
    EXPECT_EQ(decryptFailure(magic + frames[0] + frames[3]), authentication);
    EXPECT_EQ(decryptFailure(magic + frames[0] + frames[1] + frames[2] + frames[3] + "\n"),
              "Unexpected data after encrypted build");
}

TEST_F(ArtifactCryptoTest, BadKeysAreRefusedBeforeAnyFileIsTouched) {
    const std::string key = keyText;
    const std::string cases[] = {
        "",
        key.substr(0, 43),
        key + "=",
        key.substr(0, 43) + "A=", // 44 characters, but not canonical
        Platform::base64Encode(std::string(31, 'k')),
        Platform::base64Encode(std::string(33, 'k')),
        Platform::base64Encode(std::string(48, 'k')),
        key + "\n",
        " " + key.substr(1),
        key.substr(0, 42) + "==",                       // padding where a character belongs
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8",  // padding missing
        "-_ECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", // URL alphabet
    };
    writeFile(plain(), "content");
    ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-1");
    for (const std::string& bad : cases) {
        SCOPED_TRACE(bad);
        for (auto operation : {ArtifactCrypto::encrypt, ArtifactCrypto::decrypt}) {
            try {
                operation(directory / "missing", opened(), bad, "job-1");
                ADD_FAILURE() << "accepted";
            } catch (const ZUQError& error) {
                EXPECT_STREQ(error.what(), "Invalid group encryption key");
            }
            EXPECT_FALSE(fs::exists(opened()));
        }
    }
    EXPECT_TRUE(temporaryFiles(directory).empty());
}

TEST_F(ArtifactCryptoTest, DestinationsAppearWholeOrNotAtAll) {
    std::string content = Platform::randomBytes(chunk + 100);
    writeFile(plain(), content);

    // An existing destination is replaced, and takes the owner-only mode.
    writeFile(sealed(), "old");
    ::chmod(sealed().c_str(), 0644);
    ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-1");
    EXPECT_EQ(modeOf(sealed()), 0600u);
    EXPECT_EQ(referenceDecrypt(readFile(sealed()), keyBytes(), "job-1").plaintext, content);

    // A file encrypted and decrypted onto itself is not lost to its own truncation.
    fs::copy_file(plain(), directory / "self");
    ArtifactCrypto::encrypt(directory / "self", directory / "self", keyText, "job-1");
    ArtifactCrypto::decrypt(directory / "self", directory / "self", keyText, "job-1");
    EXPECT_TRUE(readFile(directory / "self") == content);

    // A failure after the destination was begun leaves an existing file as it was.
    writeFile(opened(), "previous");
    std::string bytes = readFile(sealed());
    writeFile(sealed(), bytes.substr(0, bytes.size() - 32));
    EXPECT_THROW(ArtifactCrypto::decrypt(sealed(), opened(), keyText, "job-1"), ZUQError);
    EXPECT_EQ(readFile(opened()), "previous");

    // A source that cannot be read (a directory opens, then fails to read).
    fs::create_directory(directory / "folder");
    EXPECT_THROW(ArtifactCrypto::encrypt(directory / "folder", directory / "out", keyText, "j"),
                 std::system_error);
    EXPECT_FALSE(fs::exists(directory / "out"));
    EXPECT_THROW(ArtifactCrypto::encrypt(directory / "missing", directory / "out", keyText, "j"),
                 std::system_error);
    EXPECT_THROW(ArtifactCrypto::encrypt(plain(), directory / "no/such/dir", keyText, "j"),
                 std::system_error);
    EXPECT_TRUE(temporaryFiles(directory).empty()) << "a temporary file was left";
}

TEST_F(ArtifactCryptoTest, WriteFailuresLeaveNoPartialFile) {
    // The file-size limit makes the write that crosses 1 MiB fail with EFBIG, like a full disk.
    std::string content = Platform::randomBytes(3 * 1024 * 1024);
    writeFile(plain(), content);
    ArtifactCrypto::encrypt(plain(), sealed(), keyText, "job-1");
    int status = inChildWithFileSizeLimit(1024 * 1024, [&] {
        return ArtifactCrypto::encrypt(plain(), directory / "out", keyText, "job-1");
    });
    EXPECT_EQ(status, EFBIG);
    status = inChildWithFileSizeLimit(1024 * 1024, [&] {
        return ArtifactCrypto::decrypt(sealed(), directory / "out", keyText, "job-1");
    });
    EXPECT_EQ(status, EFBIG);
    EXPECT_FALSE(fs::exists(directory / "out")) << "a partial file was left";
    EXPECT_TRUE(temporaryFiles(directory).empty()) << "a temporary file was left";
}

TEST_F(ArtifactCryptoTest, IndependentFilesMayBeProcessedConcurrently) {
    constexpr int count = 4;
    std::vector<std::string> contents;
    for (int i = 0; i < count; ++i) {
        contents.push_back(Platform::randomBytes(chunk / 2 + static_cast<std::size_t>(i)));
        writeFile(directory / ("in" + std::to_string(i)), contents.back());
    }
    std::vector<std::jthread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([this, i] {
            std::string n = std::to_string(i);
            ArtifactCrypto::encrypt(directory / ("in" + n), directory / ("enc" + n), keyText, n);
            ArtifactCrypto::decrypt(directory / ("enc" + n), directory / ("out" + n), keyText, n);
        });
    }
    threads.clear();
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(readFile(directory / ("out" + std::to_string(i))) == contents[i]) << i;
    }
}

} // namespace
