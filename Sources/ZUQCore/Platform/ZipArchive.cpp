#include "Platform/ZipArchive.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;

namespace Platform {

namespace {

constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t end64Signature = 0x06064b50;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t localSignature = 0x04034b50;
constexpr std::uint32_t descriptorSignature = 0x08074b50;

constexpr std::size_t endSize = 22, locatorSize = 20, end64Size = 56, centralSize = 46,
                      localSize = 30;
constexpr std::uint16_t zip64Field = 0x0001, unicodePathField = 0x7075;
constexpr std::uint16_t dataDescriptorFlag = 1 << 3;
// A central directory this large would describe far more entries than any reader allows.
constexpr std::uint64_t maxDirectoryBytes = 256u << 20;

[[noreturn]] void damaged(const std::string& what) {
    throw ZipError(what);
}

// Little-endian fields of a record, read in order; running past the end is damage.
class Fields {
public:
    Fields(std::string_view bytes, const char* record) : bytes_(bytes), record_(record) {}
    // The bytes must outlive the reader.
    Fields(std::string&& bytes, const char* record) = delete;

    std::uint64_t take(std::size_t size) {
        if (size > bytes_.size() - at_) {
            damaged(std::string(record_) + " is cut short");
        }
        std::uint64_t value = 0;
        for (std::size_t i = size; i-- > 0;) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[at_ + i]);
        }
        at_ += size;
        return value;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }
    std::string_view bytes(std::size_t size) {
        if (size > bytes_.size() - at_) {
            damaged(std::string(record_) + " is cut short");
        }
        std::string_view result = bytes_.substr(at_, size);
        at_ += size;
        return result;
    }
    std::size_t position() const { return at_; }
    bool done() const { return at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    const char* record_;
    std::size_t at_ = 0;
};

std::uint64_t sum(std::uint64_t a, std::uint64_t b) {
    if (b > std::numeric_limits<std::uint64_t>::max() - a) {
        damaged("an offset runs past any file");
    }
    return a + b;
}

// The values a record's 32-bit fields stand for when they hold all ones.
struct Wide {
    bool size = false, compressedSize = false, offset = false, disk = false;
};

// Reads the extra fields of a record: ZIP64 values into `entry` (only those `wide` says are
// there, in their fixed order) and Unicode path names into its alternative names.
void readExtra(std::string_view extra, ZipEntry& entry, std::uint64_t* offset, Wide wide) {
    Fields fields(extra, "an extra field");
    while (!fields.done()) {
        std::uint16_t id = fields.u16();
        std::uint16_t length = fields.u16();
        std::string_view data = fields.bytes(length);
        if (id == zip64Field) {
            Fields values(data, "a ZIP64 field");
            if (wide.size) {
                entry.size = values.u64();
            }
            if (wide.compressedSize) {
                entry.compressedSize = values.u64();
            }
            if (wide.offset && offset) {
                *offset = values.u64();
            }
            if (wide.disk && values.u32() != 0) {
                damaged("an entry lies on another disk");
            }
        } else if (id == unicodePathField) {
            Fields path(data, "a Unicode path field");
            path.take(1); // version
            path.u32();   // CRC-32 of the plain name
            entry.alternativeNames.emplace_back(path.bytes(data.size() - path.position()));
        }
    }
}

} // namespace

ZipTooManyEntries::ZipTooManyEntries(std::uint64_t entries)
    : ZipError("the archive lists " + std::to_string(entries) + " entries"), count(entries) {}

ZipArchive::ZipArchive(const fs::path& path, std::uint64_t maxEntries)
    : ZipArchive(openFile(path, O_RDONLY), {}, path, maxEntries) {}

ZipArchive ZipArchive::fromBytes(std::string bytes, std::uint64_t maxEntries) {
    return ZipArchive(FileDescriptor(), std::move(bytes), "the archive", maxEntries);
}

ZipArchive::ZipArchive(FileDescriptor file, std::string bytes, fs::path origin,
                       std::uint64_t maxEntries)
    : file_(std::move(file)), bytes_(std::move(bytes)), origin_(std::move(origin)) {
    size_ = file_ ? fileSize(file_.get(), origin_) : bytes_.size();
    readDirectory(maxEntries);
}

std::string ZipArchive::read(std::uint64_t offset, std::size_t size) const {
    if (offset > size_ || size > size_ - offset) {
        damaged("the archive ends inside a record");
    }
    if (!file_) {
        return bytes_.substr(static_cast<std::size_t>(offset), size);
    }
    std::string result(size, '\0');
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(file_.get(), result.data() + done, size - done,
                            static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throwErrno("Cannot read", origin_);
        }
        if (n == 0) {
            damaged("the archive ends inside a record");
        }
        done += static_cast<std::size_t>(n);
    }
    return result;
}

void ZipArchive::readDirectory(std::uint64_t maxEntries) {
    // The end record sits at the very end, followed only by its comment.
    if (size_ < endSize) {
        damaged("the archive has no end record");
    }
    std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(size_, endSize + 0xFFFF));
    std::string tail = read(size_ - window, window);
    std::optional<std::uint64_t> endAt;
    for (std::size_t at = window - endSize + 1; at-- > 0;) {
        Fields probe(std::string_view(tail).substr(at), "the end record");
        if (probe.u32() != endSignature) {
            continue;
        }
        Fields end(std::string_view(tail).substr(at + 20, 2), "the end record");
        if (at + endSize + end.u16() == window) {
            endAt = size_ - window + at;
            break;
        }
    }
    if (!endAt) {
        damaged("the archive has no end record");
    }
    std::string endRecord = read(*endAt, endSize);
    Fields end(endRecord, "the end record");
    end.u32();
    std::uint64_t disk = end.u16(), directoryDisk = end.u16();
    std::uint64_t entriesHere = end.u16(), count = end.u16();
    std::uint64_t directorySize = end.u32(), directoryOffset = end.u32();
    std::uint64_t directoryEnd = *endAt;

    // A ZIP64 locator right before the end record names the ZIP64 end record, which then
    // holds the real values.
    if (*endAt >= locatorSize && read(*endAt - locatorSize, 4) == "PK\x06\x07") { // its signature
        std::string locatorRecord = read(*endAt - locatorSize, locatorSize);
        Fields locator(locatorRecord, "the ZIP64 locator");
        locator.u32();
        std::uint32_t locatorDisk = locator.u32();
        std::uint64_t at = locator.u64();
        std::uint32_t disks = locator.u32();
        if (locatorDisk != 0 || disks > 1) {
            damaged("the archive spans several disks");
        }
        std::string end64Record = read(at, end64Size);
        Fields record(end64Record, "the ZIP64 end record");
        if (record.u32() != end64Signature) {
            damaged("the ZIP64 locator points at no ZIP64 end record");
        }
        std::uint64_t recordSize = record.u64();
        if (sum(sum(at, 12), recordSize) != *endAt - locatorSize || recordSize < end64Size - 12) {
            damaged("the ZIP64 end record does not end where the locator begins");
        }
        record.u16();
        record.u16();
        disk = record.u32();
        directoryDisk = record.u32();
        entriesHere = record.u64();
        count = record.u64();
        directorySize = record.u64();
        directoryOffset = record.u64();
        directoryEnd = at;
    }
    if (disk != 0 || directoryDisk != 0 || entriesHere != count) {
        damaged("the archive spans several disks");
    }
    if (count > maxEntries) {
        throw ZipTooManyEntries(count);
    }
    if (sum(directoryOffset, directorySize) != directoryEnd) {
        damaged("the central directory does not end where the end record begins");
    }
    if (directorySize > maxDirectoryBytes) {
        damaged("the central directory is larger than " + std::to_string(maxDirectoryBytes >> 20) +
                " MiB");
    }

    std::string directory = read(directoryOffset, static_cast<std::size_t>(directorySize));
    Fields records(directory, "a central directory record");
    std::vector<std::uint64_t> offsets;
    entries_.reserve(static_cast<std::size_t>(count));
    offsets.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        ZipEntry entry;
        if (records.u32() != centralSignature) {
            damaged("the central directory holds something other than entries");
        }
        records.u16(); // version made by
        records.u16(); // version needed
        entry.flags = records.u16();
        entry.method = records.u16();
        records.u32(); // time and date
        entry.crc = records.u32();
        entry.compressedSize = records.u32();
        entry.size = records.u32();
        std::uint16_t nameLength = records.u16(), extraLength = records.u16(),
                      commentLength = records.u16();
        std::uint16_t startDisk = records.u16();
        records.u16(); // internal attributes
        entry.externalAttributes = records.u32();
        std::uint64_t offset = records.u32();
        entry.name = std::string(records.bytes(nameLength));
        Wide wide{entry.size == 0xFFFFFFFF, entry.compressedSize == 0xFFFFFFFF,
                  offset == 0xFFFFFFFF, startDisk == 0xFFFF};
        readExtra(records.bytes(extraLength), entry, &offset, wide);
        records.bytes(commentLength);
        if (startDisk != 0 && !wide.disk) {
            damaged("an entry lies on another disk");
        }
        entries_.push_back(std::move(entry));
        offsets.push_back(offset);
    }
    if (!records.done()) {
        damaged("the central directory holds more than its entries");
    }

    // Every local header must repeat its entry, and the entries must tile the file.
    std::vector<std::size_t> order(entries_.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return offsets[a] < offsets[b]; });
    std::uint64_t expected = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        ZipEntry& entry = entries_[order[k]];
        std::uint64_t offset = offsets[order[k]];
        if (offset != expected) {
            damaged(offset < expected ? "entries overlap"
                                      : "the archive holds bytes that no entry accounts for");
        }
        std::string headerRecord = read(offset, localSize);
        Fields header(headerRecord, "a local header");
        if (header.u32() != localSignature) {
            damaged("an entry's local header is missing");
        }
        header.u16();
        std::uint16_t flags = header.u16(), method = header.u16();
        header.u32();
        header.u32();
        std::uint32_t compressed = header.u32(), size = header.u32();
        std::uint16_t nameLength = header.u16(), extraLength = header.u16();
        std::string rest = read(offset + localSize, std::size_t(nameLength) + extraLength);
        if (std::string_view(rest).substr(0, nameLength) != entry.name) {
            damaged("an entry's local header names another file");
        }
        if (method != entry.method || (flags & 1) != (entry.flags & 1) ||
            (flags & dataDescriptorFlag) != (entry.flags & dataDescriptorFlag)) {
            damaged("an entry's local header disagrees with the central directory");
        }
        ZipEntry local;
        readExtra(std::string_view(rest).substr(nameLength), local, nullptr,
                  {size == 0xFFFFFFFF, compressed == 0xFFFFFFFF, false, false});
        for (std::string& name : local.alternativeNames) {
            entry.alternativeNames.push_back(std::move(name));
        }
        entry.dataOffset = sum(offset, localSize + std::uint64_t(nameLength) + extraLength);
        std::uint64_t dataEnd = sum(entry.dataOffset, entry.compressedSize);
        std::uint64_t next = k + 1 < order.size() ? offsets[order[k + 1]] : directoryOffset;
        if (dataEnd > next) {
            damaged(k + 1 < order.size() ? "entries overlap"
                                         : "an entry runs into the central directory");
        }
        std::uint64_t gap = next - dataEnd;
        if (gap != 0) {
            // Only a data descriptor may follow the data: CRC-32 and both sizes, 4 or 8 bytes
            // each, optionally after its signature.
            bool signed_ = gap == 16 || gap == 24;
            if (!(entry.flags & dataDescriptorFlag) || (gap != 12 && gap != 20 && !signed_)) {
                damaged("the archive holds bytes that no entry accounts for");
            }
            std::string descriptorRecord = read(dataEnd, static_cast<std::size_t>(gap));
            Fields descriptor(descriptorRecord, "a data descriptor");
            if (signed_ && descriptor.u32() != descriptorSignature) {
                damaged("the archive holds bytes that no entry accounts for");
            }
            if (descriptor.u32() != entry.crc) {
                damaged("a data descriptor disagrees with the central directory");
            }
        }
        expected = next;
    }
    if (order.empty() && directoryOffset != 0) {
        damaged("the archive holds bytes that no entry accounts for");
    }
}

void ZipArchive::verify(const ZipEntry& entry) const {
    const std::string name = "the entry " + entry.name;
    if (entry.encrypted()) {
        damaged(name + " is encrypted");
    }
    if (entry.method != 0 && entry.method != Z_DEFLATED) {
        damaged(name + " uses compression method " + std::to_string(entry.method));
    }
    if (entry.method == 0 && entry.compressedSize != entry.size) {
        damaged(name + " is stored with two different sizes");
    }

    z_stream stream{};
    if (entry.method == Z_DEFLATED && inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw std::bad_alloc();
    }
    struct End {
        z_stream& stream;
        bool deflated;
        ~End() {
            if (deflated) {
                inflateEnd(&stream);
            }
        }
    } end{stream, entry.method == Z_DEFLATED};

    constexpr std::size_t piece = 1 << 20;
    std::string output(entry.method == Z_DEFLATED ? 256 * 1024 : 0, '\0');
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t produced = 0;
    bool ended = entry.method == 0;
    auto account = [&](const char* data, std::size_t size) {
        produced += size;
        if (produced > entry.size) {
            damaged(name + " holds more than the " + std::to_string(entry.size) +
                    " bytes it declares");
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    };
    for (std::uint64_t done = 0; done < entry.compressedSize;) {
        std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece, entry.compressedSize - done));
        std::string input = read(entry.dataOffset + done, size);
        done += size;
        if (entry.method == 0) {
            account(input.data(), input.size());
            continue;
        }
        if (ended) {
            damaged(name + " has bytes after the end of its data");
        }
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(input.size());
        while (stream.avail_in > 0 && !ended) {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            int result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                damaged(name + " is not valid compressed data");
            }
            account(output.data(), output.size() - stream.avail_out);
            ended = result == Z_STREAM_END;
            if (result == Z_BUF_ERROR && stream.avail_out != 0) {
                damaged(name + " is not valid compressed data");
            }
        }
        if (ended && stream.avail_in > 0) {
            damaged(name + " has bytes after the end of its data");
        }
    }
    // What inflate still holds once all input is in.
    while (entry.method == Z_DEFLATED && !ended) {
        stream.next_in = nullptr;
        stream.avail_in = 0;
        stream.next_out = reinterpret_cast<Bytef*>(output.data());
        stream.avail_out = static_cast<uInt>(output.size());
        int result = inflate(&stream, Z_NO_FLUSH);
        std::size_t made = output.size() - stream.avail_out;
        account(output.data(), made);
        ended = result == Z_STREAM_END;
        if (!ended && (made == 0 || (result != Z_OK && result != Z_BUF_ERROR))) {
            damaged(name + " ends before its compressed data does");
        }
    }
    if (produced != entry.size) {
        damaged(name + " holds " + std::to_string(produced) + " bytes, not the " +
                std::to_string(entry.size) + " it declares");
    }
    if (crc != entry.crc) {
        damaged(name + " does not match its CRC-32");
    }
}

} // namespace Platform
