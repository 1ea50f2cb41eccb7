// ZIP archives read from their own structure, so that an archive from someone else can be
// judged before the platform's tool expands it. Knows nothing of what the entries mean.
#pragma once

#include "Platform/File.hpp"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

/// An archive that is not a well-formed ZIP file; the message says what is wrong.
class ZipError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// An archive that lists more entries than the reader was allowed to take.
class ZipTooManyEntries : public ZipError {
public:
    explicit ZipTooManyEntries(std::uint64_t count);
    std::uint64_t count;
};

/// One entry, as its central directory record and its local header describe it.
struct ZipEntry {
    /// The name's bytes exactly as stored.
    std::string name;
    /// Names an extracting tool may prefer to `name`: the Unicode path fields of the central
    /// record and the local header, when present.
    std::vector<std::string> alternativeNames;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t externalAttributes = 0;
    /// Where the entry's compressed bytes start in the archive.
    std::uint64_t dataOffset = 0;

    /// The Unix file mode in the high half of the external attributes (0 when none is set).
    std::uint32_t unixMode() const { return externalAttributes >> 16; }
    bool encrypted() const { return (flags & 1) != 0; }
};

/// A ZIP archive whose every byte is accounted for. Construction reads the end record (with
/// its ZIP64 form), the central directory and every local header, and throws ZipError unless:
/// the archive is on one disk; the central directory ends where the end records begin; every
/// local header matches its central record by name, method and encryption; and the entries,
/// taken in order of their offsets, tile the file from its first byte to the central
/// directory with no gap, no overlap and nothing between them but data descriptors. So a tool
/// that reads the archive from its central directory and one that streams through the local
/// headers find exactly the same entries. Reads only through `pread`; immutable afterwards and
/// safe to use from several threads.
class ZipArchive {
public:
    /// Reads the archive at `path`. Throws ZipTooManyEntries when it lists more than
    /// `maxEntries`, before reading them; file errors are std::system_error.
    ZipArchive(const std::filesystem::path& path, std::uint64_t maxEntries);

    /// The same over bytes in memory.
    static ZipArchive fromBytes(std::string bytes, std::uint64_t maxEntries);

    ZipArchive(ZipArchive&&) noexcept = default;
    ZipArchive& operator=(ZipArchive&&) noexcept = default;

    /// In the order of the central directory.
    const std::vector<ZipEntry>& entries() const { return entries_; }

    /// Expands `entry` without keeping its bytes and throws ZipError unless it yields exactly
    /// its declared size with its CRC-32, from exactly its compressed bytes. Stops reading as
    /// soon as the entry yields more than it declares, so a lying entry costs no more than an
    /// honest one. Entries stored or deflated are read; others (and encrypted ones) throw.
    void verify(const ZipEntry& entry) const;

private:
    ZipArchive(FileDescriptor file, std::string bytes, std::filesystem::path origin,
               std::uint64_t maxEntries);
    // `size` bytes at `offset`; throws ZipError when the archive ends first.
    std::string read(std::uint64_t offset, std::size_t size) const;
    void readDirectory(std::uint64_t maxEntries);

    FileDescriptor file_; // the archive on disk, or none for one in `bytes_`
    std::string bytes_;
    std::filesystem::path origin_;
    std::uint64_t size_ = 0;
    std::vector<ZipEntry> entries_;
};

} // namespace Platform
