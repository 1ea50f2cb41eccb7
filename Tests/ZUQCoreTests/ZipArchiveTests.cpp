#include "Platform/ZipArchive.hpp"
#include "Support.hpp"
#include "ZipWriter.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Platform::ZipArchive;
using TestSupport::ZipWriter;

namespace {

using Entry = ZipWriter::Entry;

// The error of reading `bytes`, or "no error" after verifying every entry.
std::string readAndVerify(const std::string& bytes, std::uint64_t maxEntries = 100) {
    return TestSupport::failure([&] {
        ZipArchive archive = ZipArchive::fromBytes(bytes, maxEntries);
        for (const auto& entry : archive.entries()) {
            archive.verify(entry);
        }
    });
}

class ZipArchiveTest : public TestSupport::TemporaryDirectoryTest {};

TEST_F(ZipArchiveTest, ReadsWhatArchiversWrite) {
    std::string large(300'000, 'x');
    for (std::size_t i = 0; i < large.size(); i += 7) {
        large[i] = static_cast<char>('a' + i % 26);
    }
    struct Case {
        const char* name;
        ZipWriter archive;
    };
    Case cases[] = {
        {"stored and deflated", ZipWriter()
                                    .add(Entry{"a/", "", false, 040755})
                                    .add("a/b", large)
                                    .add(Entry{"a/c", "plain", false})},
        {"data descriptors, signed or not",
         ZipWriter()
             .add(Entry{.name = "one", .data = large, .descriptor = true})
             .add(
                 Entry{.name = "two", .data = "x", .descriptor = true, .signedDescriptor = false})},
        {"ZIP64 records", ZipWriter()
                              .zip64()
                              .add("a", large)
                              .add(Entry{.name = "b", .data = "y", .descriptor = true})},
        {"an MS-DOS entry and a comment",
         ZipWriter().add(Entry{.name = "A", .data = "z", .mode = 0}).comment("made elsewhere")},
        {"no entries", ZipWriter()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readAndVerify(c.archive.bytes()), "no error");
    }

    // The same from a file, with the entries as the central directory lists them.
    fs::path file = directory / "archive.zip";
    TestSupport::writeFile(
        file, ZipWriter()
                  .add(Entry{"Payload/", "", false, 040755})
                  .add(Entry{.name = "Payload/x", .data = large, .unicodeName = "Payload/ü"})
                  .bytes());
    ZipArchive archive(file, 10);
    ASSERT_EQ(archive.entries().size(), 2u);
    EXPECT_EQ(archive.entries()[0].name, "Payload/");
    EXPECT_EQ(archive.entries()[0].unixMode(), 040755u);
    EXPECT_EQ(archive.entries()[1].size, large.size());
    // The Unicode path field of the central record, then the local header's.
    EXPECT_EQ(archive.entries()[1].alternativeNames,
              (std::vector<std::string>{"Payload/ü", "Payload/ü"}));
    archive.verify(archive.entries()[1]);
}

TEST_F(ZipArchiveTest, RefusesArchivesWhoseStructureHidesOrSharesBytes) {
    auto local = ZipWriter().add("hidden", "payload").bytes();
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        // A streaming extractor would find an entry that the central directory never lists.
        {"a local entry between listed ones",
         ZipWriter()
             .add("a", "1")
             .hide(local.substr(0, local.find("PK\x01\x02")))
             .add("b", "2")
             .bytes(),
         "the archive holds bytes that no entry accounts for"},
        {"bytes before the first entry", ZipWriter().hide("MZ prefix").add("a", "1").bytes(),
         "the archive holds bytes that no entry accounts for"},
        {"bytes after the last entry", ZipWriter().add("a", "1").hide("trailing").bytes(),
         "the archive holds bytes that no entry accounts for"},
        // Two records for one piece of data are how small archives expand to petabytes.
        {"two records sharing data", ZipWriter().add("a", "1").duplicateRecord(0).bytes(),
         "entries overlap"},
        {"a local header naming another file",
         ZipWriter().add(Entry{.name = "Payload/a", .data = "1", .localName = "Payload/b"}).bytes(),
         "an entry's local header names another file"},
        {"no end record", "PK\x03\x04 not really", "the archive has no end record"},
        {"empty", "", "the archive has no end record"},
        {"cut short",
         [] {
             std::string whole = ZipWriter().add("a", std::string(1000, 'q')).bytes();
             return whole.substr(0, whole.size() - 10);
         }(),
         "the archive has no end record"},
        {"moved by a prefix", "junk" + ZipWriter().add("a", "1").bytes(),
         "the central directory does not end where the end record begins"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readAndVerify(c.bytes), c.expected);
    }

    std::string many = ZipWriter().add("a", "").add("b", "").add("c", "").bytes();
    try {
        ZipArchive::fromBytes(many, 2);
        ADD_FAILURE() << "three entries read with a limit of two";
    } catch (const Platform::ZipTooManyEntries& error) {
        EXPECT_EQ(error.count, 3u);
    }
}

TEST_F(ZipArchiveTest, AnEntryMustExpandToExactlyWhatItDeclares) {
    std::string zeros(10 << 20, '\0');
    struct Case {
        const char* name;
        Entry entry;
        std::string expected;
    };
    const Case cases[] = {
        {"a bomb declaring 1 KiB", Entry{.name = "bomb", .data = zeros, .declaredSize = 1024},
         "the entry bomb holds more than the 1024 bytes it declares"},
        {"an entry declaring more than it holds",
         Entry{.name = "short", .data = "abc", .declaredSize = 4},
         "the entry short holds 3 bytes, not the 4 it declares"},
        {"a stored entry with two sizes",
         Entry{.name = "s", .data = "abc", .deflate = false, .declaredSize = 9},
         "the entry s is stored with two different sizes"},
        {"another compression method", Entry{.name = "b", .data = "BZh9", .method = 12},
         "the entry b uses compression method 12"},
        {"an encrypted entry", Entry{.name = "e", .data = "x", .flags = 1},
         "the entry e is encrypted"},
        {"data that is not deflate", Entry{.name = "d", .data = "\xff\xff\xff\xff", .method = 8},
         "the entry d is not valid compressed data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readAndVerify(ZipWriter().add(c.entry).bytes()), c.expected);
    }

    // A CRC that does not match.
    std::string bytes = ZipWriter().add("c", "checked").bytes();
    std::size_t crcInDirectory = bytes.find("PK\x01\x02") + 16;
    bytes[crcInDirectory] ^= 1;
    EXPECT_EQ(readAndVerify(bytes), "the entry c does not match its CRC-32");
}

} // namespace
