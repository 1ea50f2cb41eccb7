// An encrypted build as the relay hands it over, opened with the group's key: refused with one
// of the format's sentences and nothing written, or, only when the stream is whole and every
// frame authentic, the plaintext of its data frames.
#include "ArtifactCrypto.hpp"
#include "FuzzTarget.hpp"
#include "Platform/File.hpp"

#include <array>

namespace {

// The key and job the example inputs were sealed with.
constexpr std::string_view key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr std::string_view job = "6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8";

constexpr std::array<std::string_view, 6> sentences = {
    "Invalid ZUQ artifact header", "Truncated encrypted build", "Invalid encrypted chunk",
    ArtifactCrypto::authenticationFailure, "Unexpected data after encrypted build",
    "Invalid group encryption key",
};

// The plaintext size of a well-framed stream (magic, then boxes, the last one empty), or -1.
long long framedPlaintext(std::string_view bytes) {
    if (!bytes.starts_with(ArtifactCrypto::magic)) {
        return -1;
    }
    bytes.remove_prefix(ArtifactCrypto::magic.size());
    long long plaintext = 0;
    while (bytes.size() >= 4) {
        std::size_t box = 0;
        for (int index = 0; index < 4; ++index) {
            box = box << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(index)]);
        }
        bytes.remove_prefix(4);
        if (box < ArtifactCrypto::boxOverhead || box > ArtifactCrypto::maximumBox ||
            bytes.size() < box) {
            return -1;
        }
        bytes.remove_prefix(box);
        if (box == ArtifactCrypto::boxOverhead) {
            return bytes.empty() ? plaintext : -1;
        }
        plaintext += static_cast<long long>(box - ArtifactCrypto::boxOverhead);
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes = Fuzz::text(data, size);
    std::filesystem::path sealed = Fuzz::scratch() / "build.zuqenc";
    std::filesystem::path opened = Fuzz::scratch() / "build.zuqpkg";
    Platform::atomicWrite(sealed, bytes);
    std::filesystem::remove(opened);
    try {
        ArtifactCrypto::decrypt(sealed, opened, key, job);
    } catch (const ZUQError& refused) {
        bool known = false;
        for (std::string_view sentence : sentences) {
            known = known || sentence == refused.what();
        }
        FUZZ_CHECK(known);
        FUZZ_CHECK(!std::filesystem::exists(opened));
        return 0;
    }
    long long plaintext = framedPlaintext(bytes);
    FUZZ_CHECK(plaintext >= 0);
    FUZZ_CHECK(std::filesystem::file_size(opened) == static_cast<std::uintmax_t>(plaintext));
    // Sealed again, it opens to the same bytes.
    std::string content = Platform::readFile(opened);
    ArtifactCrypto::encrypt(opened, sealed, key, job);
    ArtifactCrypto::decrypt(sealed, opened, key, job);
    FUZZ_CHECK(Platform::readFile(opened) == content);
    return 0;
}
