#include "ZipWriter.hpp"

#include <stdexcept>
#include <zlib.h>

namespace TestSupport {

namespace {

void put(std::string& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace

std::string ZipWriter::deflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int result = ::deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

std::uint32_t ZipWriter::crc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string ZipWriter::bytes() const {
    std::string out, directory;
    struct Written {
        std::uint64_t offset;
        std::string compressed;
    };
    std::vector<Written> written;
    auto extra = [&](const Entry& entry, std::uint64_t size, std::uint64_t compressed,
                     std::optional<std::uint64_t> offset) {
        std::string fields;
        if (zip64_) {
            std::string values;
            put(values, size, 8);
            put(values, compressed, 8);
            if (offset) {
                put(values, *offset, 8);
            }
            put(fields, 0x0001, 2);
            put(fields, values.size(), 2);
            fields += values;
        }
        if (entry.unicodeName) {
            put(fields, 0x7075, 2);
            put(fields, 5 + entry.unicodeName->size(), 2);
            fields += '\x01';
            put(fields, crc(entry.name), 4);
            fields += *entry.unicodeName;
        }
        return fields;
    };
    auto method = [](const Entry& entry) -> std::uint16_t {
        return entry.method ? entry.method : entry.deflate ? 8 : 0;
    };
    auto flags = [](const Entry& entry) -> std::uint16_t {
        return static_cast<std::uint16_t>(entry.flags | (entry.descriptor ? 8 : 0));
    };
    std::uint32_t wide = 0xFFFFFFFF;

    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (auto bytes = hidden_.find(i); bytes != hidden_.end()) {
            out += bytes->second;
        }
        std::string compressed = entry.deflate && !entry.method ? deflate(entry.data) : entry.data;
        std::uint64_t size = entry.declaredSize.value_or(entry.data.size());
        std::uint64_t offset = out.size();
        const std::string& name = entry.localName.value_or(entry.name);
        std::string fields = extra(entry, size, compressed.size(), std::nullopt);
        put(out, 0x04034b50, 4);
        put(out, zip64_ ? 45 : 20, 2);
        put(out, flags(entry), 2);
        put(out, method(entry), 2);
        put(out, 0, 4);
        put(out, entry.descriptor ? 0 : crc(entry.data), 4);
        put(out, entry.descriptor ? 0 : zip64_ ? wide : compressed.size(), 4);
        put(out, entry.descriptor ? 0 : zip64_ ? wide : size, 4);
        put(out, name.size(), 2);
        put(out, fields.size(), 2);
        out += name + fields + compressed;
        if (entry.descriptor) {
            if (entry.signedDescriptor) {
                put(out, 0x08074b50, 4);
            }
            put(out, crc(entry.data), 4);
            put(out, compressed.size(), zip64_ ? 8 : 4);
            put(out, size, zip64_ ? 8 : 4);
        }
        written.push_back({offset, std::move(compressed)});
    }
    if (auto bytes = hidden_.find(entries_.size()); bytes != hidden_.end()) {
        out += bytes->second;
    }

    std::vector<std::size_t> records;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        records.push_back(i);
    }
    records.insert(records.end(), duplicates_.begin(), duplicates_.end());
    std::uint64_t directoryOffset = out.size();
    for (std::size_t i : records) {
        const Entry& entry = entries_[i];
        std::uint64_t size = entry.declaredSize.value_or(entry.data.size());
        std::string fields = extra(entry, size, written[i].compressed.size(), written[i].offset);
        put(directory, 0x02014b50, 4);
        put(directory, entry.mode ? (3 << 8) | 30 : 20, 2); // made on Unix, or MS-DOS
        put(directory, zip64_ ? 45 : 20, 2);
        put(directory, flags(entry), 2);
        put(directory, method(entry), 2);
        put(directory, 0, 4);
        put(directory, crc(entry.data), 4);
        put(directory, zip64_ ? wide : written[i].compressed.size(), 4);
        put(directory, zip64_ ? wide : size, 4);
        put(directory, entry.name.size(), 2);
        put(directory, fields.size(), 2);
        put(directory, 0, 2); // comment
        put(directory, 0, 2); // disk
        put(directory, 0, 2); // internal attributes
        put(directory, std::uint64_t(entry.mode) << 16, 4);
        put(directory, zip64_ ? wide : written[i].offset, 4);
        directory += entry.name + fields;
    }
    out += directory;
    std::uint64_t count = records.size();
    if (zip64_) {
        std::uint64_t end64 = out.size();
        put(out, 0x06064b50, 4);
        put(out, 44, 8);
        put(out, 45, 2);
        put(out, 45, 2);
        put(out, 0, 4);
        put(out, 0, 4);
        put(out, count, 8);
        put(out, count, 8);
        put(out, directory.size(), 8);
        put(out, directoryOffset, 8);
        put(out, 0x07064b50, 4);
        put(out, 0, 4);
        put(out, end64, 8);
        put(out, 1, 4);
    }
    put(out, 0x06054b50, 4);
    put(out, 0, 2);
    put(out, 0, 2);
    put(out, zip64_ ? 0xFFFF : count, 2);
    put(out, zip64_ ? 0xFFFF : count, 2);
    put(out, zip64_ ? wide : directory.size(), 4);
    put(out, zip64_ ? wide : directoryOffset, 4);
    put(out, comment_.size(), 2);
    out += comment_;
    return out;
}

} // namespace TestSupport
