// The build package: an IPA and its manifest in one file, and its checked extraction.
#include "ArtifactCrypto.hpp"
#include "ArtifactCryptoTestSupport.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Random.hpp"
#include "Support.hpp"

#include <cctype>
#include <limits>
#include <system_error>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace ArtifactCryptoTestSupport;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

const std::string emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class BuildPackageTest : public TestSupport::TemporaryDirectoryTest {
protected:
    fs::path ipa() const { return directory / "App.ipa"; }
    fs::path packaged() const { return directory / "build.pkg"; }
    fs::path extracted() const { return directory / "Received.ipa"; }

    // A package made by hand: magic, big-endian length, manifest text, IPA bytes.
    static std::string handMade(std::string_view manifest, std::string_view content) {
        return std::string(ArtifactCrypto::packageMagic) +
               bigEndian(static_cast<std::uint32_t>(manifest.size())) + std::string(manifest) +
               std::string(content);
    }

    // Unpacks `bytes` and returns the failure message, or "" on success. A failure must leave
    // no extracted IPA and no temporary file.
    std::string unpackFailure(const std::string& bytes) {
        writeFile(packaged(), bytes);
        std::string message;
        try {
            ArtifactCrypto::unpack(packaged(), extracted());
        } catch (const ZUQError& error) {
            message = error.what();
        } catch (const JSON::ParseError&) {
            message = "(not JSON)";
        }
        if (!message.empty()) {
            EXPECT_FALSE(fs::exists(extracted())) << "an unverified IPA was left";
        }
        EXPECT_TRUE(temporaryFiles(directory).empty()) << "a temporary file was left";
        return message;
    }
};

TEST_F(BuildPackageTest, RoundTripKeepsTheIPAAndTheManifest) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, ArtifactCrypto::chunkSize,
                             ArtifactCrypto::chunkSize * 2 + 3}) {
        SCOPED_TRACE(size);
        std::string content = Platform::randomBytes(size);
        writeFile(ipa(), content);
        JSON manifest = JSON::object({{"ipa_sha256", ArtifactCrypto::sha256(ipa())},
                                      {"bundle_id", "dev.zuq.Sample"},
                                      {"build", 42},
                                      {"entitlements", JSON::array({"a", "b"})},
                                      {"name", "Ünïcödé ✓"}});
        ArtifactCrypto::package(ipa(), manifest, packaged());
        EXPECT_EQ(modeOf(packaged()), 0600u);
        EXPECT_TRUE(readFile(packaged()) == handMade(manifest.data(), content)) << "layout differs";

        JSON unpacked = ArtifactCrypto::unpack(packaged(), extracted());
        EXPECT_EQ(unpacked, manifest);
        EXPECT_TRUE(readFile(extracted()) == content);
        EXPECT_EQ(modeOf(extracted()), 0600u);
    }
}

TEST_F(BuildPackageTest, ManifestSizeLimitIsExact) {
    writeFile(ipa(), "ipa bytes");
    std::string digest = ArtifactCrypto::sha256(ipa());
    auto manifestOf = [&](std::size_t size) {
        JSON shape = JSON::object({{"ipa_sha256", digest}, {"padding", ""}});
        std::size_t overhead = shape.data().size();
        return JSON::object(
            {{"ipa_sha256", digest}, {"padding", std::string(size - overhead, 'p')}});
    };
    JSON largest = manifestOf(ArtifactCrypto::maximumManifest);
    ASSERT_EQ(largest.data().size(), 1'048'575u);
    ArtifactCrypto::package(ipa(), largest, packaged());
    EXPECT_EQ(ArtifactCrypto::unpack(packaged(), extracted()), largest);

    fs::remove(packaged());
    JSON tooLarge = manifestOf(ArtifactCrypto::maximumManifest + 1);
    try {
        ArtifactCrypto::package(ipa(), tooLarge, packaged());
        ADD_FAILURE() << "a manifest of 1,048,576 bytes was packaged";
    } catch (const ZUQError& error) {
        EXPECT_STREQ(error.what(), "Manifest too large");
    }
    EXPECT_FALSE(fs::exists(packaged()));
    EXPECT_THROW(
        ArtifactCrypto::package(
            ipa(), JSON::object({{"n", std::numeric_limits<double>::infinity()}}), packaged()),
        ZUQError);
    EXPECT_FALSE(fs::exists(packaged()));
}

TEST_F(BuildPackageTest, DamagedPackagesAreRefused) {
    const std::string content = "the IPA's bytes";
    const std::string digest = Platform::sha256Hex(content);
    const std::string manifest = R"({"ipa_sha256":")" + digest + R"("})";
    const std::string magic(ArtifactCrypto::packageMagic);
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }

    struct Case {
        const char* name;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"intact", handMade(manifest, content), ""},
        {"empty file", "", "Invalid build package"},
        {"short magic", magic.substr(0, 7), "Invalid build package"},
        {"other magic", "ZUQPKG2\n" + handMade(manifest, content).substr(8),
         "Invalid build package"},
        {"encrypted build given", "ZUQENC1\n" + bigEndian(28) + std::string(28, 'x'),
         "Invalid build package"},
        {"cut in the length field", magic + bigEndian(100).substr(0, 3), "Invalid build package"},
        {"magic only", magic, "Invalid build package"},
        {"length 0", magic + bigEndian(0) + manifest + content, "Invalid build manifest"},
        {"length 1,048,576", magic + bigEndian(1'048'576) + manifest, "Invalid build manifest"},
        {"length 2^32 - 1", magic + bigEndian(0xFFFFFFFF) + manifest, "Invalid build manifest"},
        {"cut in the manifest", handMade(manifest, "").substr(0, 12 + manifest.size() - 1),
         "Invalid build manifest"},
        {"manifest not JSON", handMade("{not json", content), "(not JSON)"},
        {"manifest not UTF-8", handMade("\"\xff\"", content), "(not JSON)"},
        {"one IPA byte altered", handMade(manifest, "The IPA's bytes"),
         "Package checksum mismatch"},
        {"one IPA byte appended", handMade(manifest, content + "!"), "Package checksum mismatch"},
        {"upper-case digest", handMade(R"({"ipa_sha256":")" + upper + R"("})", content),
         "Package checksum mismatch"},
        {"digest missing", handMade(R"({"bundle_id":"x"})", content), "Package checksum mismatch"},
        {"digest not text", handMade(R"({"ipa_sha256":1})", content), "Package checksum mismatch"},
        {"manifest an array", handMade(R"([")" + digest + R"("])", content),
         "Package checksum mismatch"},
        {"empty IPA, digest of empty input",
         handMade(R"({"ipa_sha256":")" + emptyDigest + R"("})", ""), ""},
        {"empty IPA, another digest", handMade(manifest, ""), "Package checksum mismatch"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unpackFailure(c.bytes), c.message) << c.name;
        if (c.message.empty()) {
            EXPECT_TRUE(fs::exists(extracted())) << c.name;
        }
        fs::remove(extracted());
    }
}

TEST_F(BuildPackageTest, FailuresLeaveExistingFilesAlone) {
    writeFile(ipa(), "the IPA");
    writeFile(extracted(), "a verified IPA from before");
    writeFile(packaged(), handMade(R"({"ipa_sha256":"0"})", "tampered"));
    EXPECT_THROW(ArtifactCrypto::unpack(packaged(), extracted()), ZUQError);
    EXPECT_EQ(readFile(extracted()), "a verified IPA from before");

    // A missing IPA is reported before the package is begun.
    JSON manifest = JSON::object({{"ipa_sha256", emptyDigest}});
    EXPECT_THROW(ArtifactCrypto::package(directory / "missing.ipa", manifest, packaged()),
                 std::system_error);
    EXPECT_EQ(readFile(packaged()), handMade(R"({"ipa_sha256":"0"})", "tampered"));
    EXPECT_THROW(ArtifactCrypto::unpack(directory / "missing.pkg", extracted()), std::system_error);

    // Packing a file onto itself and unpacking onto the package lose nothing.
    JSON own = JSON::object({{"ipa_sha256", ArtifactCrypto::sha256(ipa())}});
    ArtifactCrypto::package(ipa(), own, ipa());
    EXPECT_EQ(ArtifactCrypto::unpack(ipa(), ipa()), own);
    EXPECT_EQ(readFile(ipa()), "the IPA");
    EXPECT_TRUE(temporaryFiles(directory).empty());
}

TEST_F(BuildPackageTest, WriteFailuresLeaveNoPartialFile) {
    std::string content = Platform::randomBytes(3 * 1024 * 1024);
    writeFile(ipa(), content);
    JSON manifest = JSON::object({{"ipa_sha256", ArtifactCrypto::sha256(ipa())}});
    ArtifactCrypto::package(ipa(), manifest, packaged());
    int status = inChildWithFileSizeLimit(
        1024 * 1024, [&] { ArtifactCrypto::package(ipa(), manifest, directory / "out"); });
    EXPECT_EQ(status, EFBIG);
    status = inChildWithFileSizeLimit(
        1024 * 1024, [&] { ArtifactCrypto::unpack(packaged(), directory / "out"); });
    EXPECT_EQ(status, EFBIG);
    EXPECT_FALSE(fs::exists(directory / "out"));
    EXPECT_TRUE(temporaryFiles(directory).empty());
}

TEST_F(BuildPackageTest, ATenMiBBuildSurvivesTheWholeJourney) {
    // Builder: hash, package, encrypt. Receiver: decrypt, unpack.
    std::string content = Platform::randomBytes(10 * 1024 * 1024);
    writeFile(ipa(), content);
    JSON manifest = JSON::object({{"ipa_sha256", ArtifactCrypto::sha256(ipa())}, {"job", "J"}});
    ArtifactCrypto::package(ipa(), manifest, packaged());
    ArtifactCrypto::encrypt(packaged(), directory / "build.zuqenc", keyText, "J");
    ArtifactCrypto::decrypt(directory / "build.zuqenc", directory / "received.pkg", keyText, "J");
    EXPECT_EQ(ArtifactCrypto::unpack(directory / "received.pkg", extracted()), manifest);
    EXPECT_TRUE(readFile(extracted()) == content);
}

} // namespace
