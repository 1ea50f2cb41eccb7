// An IPA from another Mac, as the receiver screens it before anything of it is written: the
// ZIP structure either accounts for every byte or is refused, and an archive the screen lets
// through holds only safe names, plain files and folders, within the limits, each entry
// expanding to exactly what it declares.
#include "BuildPipeline.hpp"
#include "FuzzTarget.hpp"
#include "Platform/File.hpp"
#include "Platform/ZipArchive.hpp"

#include <array>
#include <cstdlib>

namespace {

constexpr BuildPipeline::UnpackLimits limits{64, 1 << 20};

// The screen's own sentences, and the start of those that say more.
constexpr std::array<std::string_view, 4> sentences = {
    "Unsafe IPA archive path",
    "IPAs containing symbolic links are not supported by this ZUQ version.",
    "IPAs containing device files, pipes or sockets are not supported by this ZUQ version.",
    "IPA must contain exactly one iOS app",
};
constexpr std::array<std::string_view, 3> beginnings = {
    "The IPA is not a well-formed ZIP archive: ", "The IPA lists ", "The IPA expands to ",
};

bool safeName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return false;
    }
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = std::min(name.find('/', start), name.size());
        if (name.substr(start, end - start) == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// What holds of an archive the screen let through, checked apart from it.
void checkScreened(const std::string& bytes) {
    Platform::ZipArchive archive = Platform::ZipArchive::fromBytes(bytes, limits.entries);
    std::uint64_t total = 0;
    for (const Platform::ZipEntry& entry : archive.entries()) {
        FUZZ_CHECK(safeName(entry.name));
        for (const std::string& name : entry.alternativeNames) {
            FUZZ_CHECK(safeName(name));
        }
        std::uint32_t type = entry.unixMode() & 0170000;
        FUZZ_CHECK(type == 0 || type == 0100000 || type == 0040000);
        archive.verify(entry);
        total += entry.size;
    }
    FUZZ_CHECK(total <= limits.bytes);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No expanding tool is there: an archive that passes the screen fails at starting it.
    std::filesystem::create_directories(Fuzz::scratch() / "no-tools");
    ::setenv("ZUQ_TOOLS_DIR", (Fuzz::scratch() / "no-tools").c_str(), 1);
    ::setenv("ZUQ_STATE_DIR", (Fuzz::scratch() / "state").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(Fuzz::text(data, size));
    // The structure on its own: refused, or every entry inside the archive.
    try {
        Platform::ZipArchive archive = Platform::ZipArchive::fromBytes(bytes, limits.entries);
        FUZZ_CHECK(archive.entries().size() <= limits.entries);
        for (const Platform::ZipEntry& entry : archive.entries()) {
            FUZZ_CHECK(entry.dataOffset <= bytes.size());
            FUZZ_CHECK(entry.compressedSize <= bytes.size() - entry.dataOffset);
            try {
                archive.verify(entry);
            } catch (const Platform::ZipError&) {
            }
        }
    } catch (const Platform::ZipError&) {
    }

    // The receiver's screen.
    std::filesystem::path ipa = Fuzz::scratch() / "App.ipa";
    std::filesystem::path destination = Fuzz::scratch() / "Unpacked";
    Platform::atomicWrite(ipa, bytes);
    try {
        BuildPipeline::extractIPA(ipa, destination, std::nullopt, std::nullopt, {}, limits);
        FUZZ_CHECK(false && "expanded without the expanding tool");
    } catch (const ZUQError& refused) {
        std::string_view sentence = refused.what();
        bool known = false;
        for (std::string_view whole : sentences) {
            known = known || sentence == whole;
        }
        for (std::string_view start : beginnings) {
            known = known || sentence.starts_with(start);
        }
        if (!known) {
            // Only the missing tool may stop an archive the screen let through.
            FUZZ_CHECK(sentence.find("ditto") != std::string_view::npos);
            checkScreened(bytes);
        }
    } catch (const std::system_error&) {
        // The tool could not be started: the screen let the archive through.
        checkScreened(bytes);
    }
    std::error_code ignored;
    std::filesystem::remove_all(destination, ignored);
    return 0;
}
