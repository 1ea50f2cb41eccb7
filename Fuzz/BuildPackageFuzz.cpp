// A build package as a receiver downloads and decrypts it: refused with one of the package's
// sentences and no IPA written, or split into exactly its manifest and its IPA's bytes.
#include "ArtifactCrypto.hpp"
#include "FuzzTarget.hpp"
#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

namespace {

std::uint32_t bigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (char byte : bytes.substr(0, 4)) {
        value = value << 8 | static_cast<unsigned char>(byte);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes = Fuzz::text(data, size);
    std::filesystem::path package = Fuzz::scratch() / "build.zuqpkg";
    std::filesystem::path ipa = Fuzz::scratch() / "App.ipa";
    Platform::atomicWrite(package, bytes);
    std::filesystem::remove(ipa);
    JSON manifest;
    try {
        manifest = ArtifactCrypto::unpack(package, ipa);
    } catch (const ZUQError& refused) {
        std::string_view sentence = refused.what();
        FUZZ_CHECK(sentence == "Invalid build package" || sentence == "Invalid build manifest" ||
                   sentence == "Package checksum mismatch");
        FUZZ_CHECK(!std::filesystem::exists(ipa));
        return 0;
    } catch (const JSON::ParseError&) {
        FUZZ_CHECK(!std::filesystem::exists(ipa));
        return 0;
    }
    // Accepted: the layout holds, and the IPA is the rest of the file, whose digest the
    // manifest names.
    FUZZ_CHECK(bytes.starts_with(ArtifactCrypto::packageMagic));
    std::size_t header = ArtifactCrypto::packageMagic.size() + 4;
    FUZZ_CHECK(bytes.size() >= header);
    std::uint32_t length = bigEndian(bytes.substr(ArtifactCrypto::packageMagic.size()));
    FUZZ_CHECK(length >= 1 && length <= ArtifactCrypto::maximumManifest);
    FUZZ_CHECK(bytes.size() >= header + length);
    FUZZ_CHECK(JSON::decode(bytes.substr(header, length)) == manifest);
    std::string_view content = bytes.substr(header + length);
    FUZZ_CHECK(Platform::readFile(ipa) == content);
    FUZZ_CHECK(manifest["ipa_sha256"].text() == Platform::sha256Hex(content));
    return 0;
}
