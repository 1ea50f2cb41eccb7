// ZIP archives written byte by byte for tests, so that they can hold what no archiver writes:
// hidden entries, shared data, names that differ between records, sizes that lie.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

class ZipWriter {
public:
    struct Entry {
        std::string name;
        std::string data; // what the entry expands to
        bool deflate = true;
        std::uint32_t mode = 0100644; // Unix mode; 0 writes an MS-DOS entry
        bool descriptor = false;      // sizes and CRC after the data
        bool signedDescriptor = true;
        std::optional<std::uint64_t> declaredSize =
            std::nullopt;                                    // the size to claim instead of data's
        std::optional<std::string> localName = std::nullopt; // a different name in the local header
        std::optional<std::string> unicodeName = std::nullopt; // an Info-ZIP Unicode path field
        std::uint16_t method = 0; // overrides deflate/stored when non-zero
        std::uint16_t flags = 0;
    };

    ZipWriter& add(Entry entry) {
        entries_.push_back(std::move(entry));
        return *this;
    }
    ZipWriter& add(std::string name, std::string data) {
        return add(Entry{std::move(name), std::move(data)});
    }
    /// Raw bytes written before the next entry's local header, listed by no entry.
    ZipWriter& hide(std::string bytes) {
        hidden_[entries_.size()] += bytes;
        return *this;
    }
    /// The central directory gets one more record for entry `index`, sharing its data.
    ZipWriter& duplicateRecord(std::size_t index) {
        duplicates_.push_back(index);
        return *this;
    }
    /// Writes the ZIP64 end records and ZIP64 fields for every entry.
    ZipWriter& zip64() {
        zip64_ = true;
        return *this;
    }
    ZipWriter& comment(std::string text) {
        comment_ = std::move(text);
        return *this;
    }

    std::string bytes() const;

    /// Raw deflate of `data`.
    static std::string deflate(const std::string& data);
    static std::uint32_t crc(const std::string& data);

private:
    std::vector<Entry> entries_;
    std::vector<std::size_t> duplicates_;
    std::map<std::size_t, std::string> hidden_; // before the entry of that index
    bool zip64_ = false;
    std::string comment_;
};

} // namespace TestSupport
