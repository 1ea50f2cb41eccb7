#include "Platform/PropertyList.hpp"
#include "Support.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <functional>
#include <pthread.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Platform::PropertyList;
using TestSupport::failure;

namespace {

using namespace std::chrono;

// One document in both forms, as Python's plistlib writes them.
const char xmlForm[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>big</key>
	<integer>1099511627776</integer>
	<key>blob</key>
	<data>
	AAH/
	</data>
	<key>count</key>
	<integer>-5</integer>
	<key>empty</key>
	<dict/>
	<key>expires</key>
	<date>2100-03-04T05:06:07Z</date>
	<key>list</key>
	<array>
		<string>a</string>
		<dict>
			<key>inner</key>
			<string>x</string>
		</dict>
	</array>
	<key>made</key>
	<date>2025-01-02T03:04:05Z</date>
	<key>name</key>
	<string>App &lt;&amp;&gt;</string>
	<key>no</key>
	<false/>
	<key>ratio</key>
	<real>0.5</real>
	<key>utf</key>
	<string>é✓</string>
	<key>yes</key>
	<true/>
</dict>
</plist>
)";

const std::string binaryForm(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xdc\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d"
    "\x0e\x0f\x10\x11\x12\x17\x18\x19\x1a\x1b\x1c\x53\x62\x69\x67\x54\x62\x6c\x6f\x62\x55\x63"
    "\x6f\x75\x6e\x74\x55\x65\x6d\x70\x74\x79\x57\x65\x78\x70\x69\x72\x65\x73\x54\x6c\x69\x73"
    "\x74\x54\x6d\x61\x64\x65\x54\x6e\x61\x6d\x65\x52\x6e\x6f\x55\x72\x61\x74\x69\x6f\x53\x75"
    "\x74\x66\x53\x79\x65\x73\x13\x00\x00\x01\x00\x00\x00\x00\x00\x43\x00\x01\xff\x13\xff\xff"
    "\xff\xff\xff\xff\xff\xfb\xd0\x33\x41\xe7\x51\x12\x67\xe0\x00\x00\xa2\x13\x14\x51\x61\xd1"
    "\x15\x16\x55\x69\x6e\x6e\x65\x72\x51\x78\x33\x41\xc6\x93\x1c\xd2\x80\x00\x00\x57\x41\x70"
    "\x70\x20\x3c\x26\x3e\x08\x23\x3f\xe0\x00\x00\x00\x00\x00\x00\x62\x00\xe9\x27\x13\x09\x08"
    "\x21\x25\x2a\x30\x36\x3e\x43\x48\x4d\x50\x56\x5a\x5e\x67\x6b\x74\x75\x7e\x81\x83\x86\x8c"
    "\x8e\x97\x9f\xa0\xa9\xae\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x1d"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xaf",
    236);

PropertyList::Date utc(int year, unsigned month, unsigned day, int hour, int minute, int second) {
    return sys_days(std::chrono::year(year) / month / day) + hours(hour) + minutes(minute) +
           seconds(second);
}

PropertyList expected() {
    return PropertyList::Dictionary{
        {"big", std::int64_t(1) << 40},
        {"blob", PropertyList::Data{std::string("\0\1\xff", 3)}},
        {"count", -5},
        {"empty", PropertyList::Dictionary{}},
        {"expires", utc(2100, 3, 4, 5, 6, 7)},
        {"list", PropertyList::Array{"a", PropertyList::Dictionary{{"inner", "x"}}}},
        {"made", utc(2025, 1, 2, 3, 4, 5)},
        {"name", "App <&>"},
        {"no", false},
        {"ratio", 0.5},
        {"utf", "é✓"},
        {"yes", true},
    };
}

class PropertyListTest : public TestSupport::TemporaryDirectoryTest {};

// A binary list of one dictionary {key: "x"}, the key's object given whole (marker and bytes).
std::string oneKeyDictionary(const std::string& key) {
    std::string list = "bplist00";
    list += "\xd1\x01\x02"; // a dictionary of one member: key object 1, value object 2
    list += key;
    list += "\x51x";
    auto table = static_cast<char>(list.size());
    list += {'\x08', '\x0b', static_cast<char>(0x0b + key.size())};
    list += std::string(6, '\0') + "\x01\x01"; // one-byte offsets and references
    list += std::string(7, '\0') + "\x03" + std::string(8, '\0') + std::string(7, '\0') + table;
    return list;
}

TEST_F(PropertyListTest, ReadsTheXMLAndBinaryFormsAlike) {
    EXPECT_TRUE(PropertyList::decode(xmlForm) == expected());
    EXPECT_TRUE(PropertyList::decode(binaryForm) == expected());

    PropertyList value = PropertyList::decode(binaryForm);
    EXPECT_EQ(value["name"].text(), "App <&>");
    EXPECT_EQ(value["count"].integer(), -5);
    EXPECT_EQ(value["expires"].date(), utc(2100, 3, 4, 5, 6, 7)) << "years past 2038 stay whole";
    EXPECT_EQ(value["list"].items().size(), 2u);
    EXPECT_EQ(value["list"].items()[1]["inner"].text(), "x");
    // Lenient readers: a missing member or another kind reads as nothing.
    EXPECT_TRUE(value["missing"].isNone());
    EXPECT_TRUE(value["missing"]["deeper"].isNone());
    EXPECT_EQ(value["count"].string(), std::nullopt);
    EXPECT_EQ(value["name"].boolean(), std::nullopt);
    EXPECT_EQ(value["yes"].integer(), std::nullopt);
    EXPECT_EQ(value["name"].date(), std::nullopt);
    EXPECT_TRUE(value["name"].fields().empty());
    EXPECT_TRUE(value["name"]["x"].isNone());
}

// A binary list whose only object is a date `seconds` after 2001.
std::string binaryDate(double seconds) {
    std::string list = "bplist00\x33";
    auto bits = std::bit_cast<std::uint64_t>(seconds);
    for (int shift = 56; shift >= 0; shift -= 8) {
        list += static_cast<char>((bits >> shift) & 0xFF);
    }
    list += '\x08';                                    // the offset table: object 0 at byte 8
    list += std::string(6, '\0') + "\x01\x01";        // one-byte offsets and references
    list += std::string(7, '\0') + "\x01" + std::string(8, '\0') + std::string(7, '\0') + "\x11";
    return list;
}

TEST_F(PropertyListTest, KeepsDatesFarFromNow) {
    // Far dates are real: the toolkit's "distant future" and "distant past" are years 4001 and 1.
    const std::pair<std::string, PropertyList::Date> dates[] = {
        {"4001-01-01T00:00:00Z", utc(4001, 1, 1, 0, 0, 0)},
        {"0001-01-01T00:00:00Z", utc(1, 1, 1, 0, 0, 0)},
        {"5995-06-01T12:00:00Z", utc(5995, 6, 1, 12, 0, 0)},
        {"1601-12-31T23:59:59Z", utc(1601, 12, 31, 23, 59, 59)},
    };
    for (const auto& [text, date] : dates) {
        SCOPED_TRACE(text);
        PropertyList value = PropertyList::decode("<plist version=\"1.0\"><dict><key>at</key><date>" +
                                                  text + "</date></dict></plist>");
        EXPECT_EQ(value["at"].date(), date);
        EXPECT_EQ(PropertyList::decode(value.xml()), value) << "written and read back";
    }
    // A binary date is any double; those that name no year still read as some date.
    for (double seconds : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(), 86400.0}) {
        SCOPED_TRACE(seconds);
        EXPECT_TRUE(PropertyList::decode(binaryDate(seconds)).date().has_value());
    }
    EXPECT_EQ(PropertyList::decode(binaryDate(86400.0)).date(), utc(2001, 1, 2, 0, 0, 0));
    PropertyList ancient = PropertyList::decode(binaryDate(-103'501'455'360.0));
    EXPECT_EQ(ancient.date(), utc(-1279, 3, 4, 11, 44, 0));
    EXPECT_THROW((void)ancient.xml(), std::invalid_argument) << "the XML form has four-digit years";
}

TEST_F(PropertyListTest, RefusesWhatIsNotAPropertyList) {
    const std::string cases[] = {
        "",
        "garbage",
        "{\"json\": true}",
        "<plist version=\"1.0\"><array><string>cut",
        binaryForm.substr(0, 100),
        "bplist00",
        // A key holding U+0000, as ASCII and as UTF-16 text: libplist cannot keep one.
        oneKeyDictionary(std::string("\x53" "a\0b", 4)),
        oneKeyDictionary(std::string("\x62\0a\0\0", 5)),
        // A key that is not text.
        oneKeyDictionary("\x10\x07"),
    };
    EXPECT_EQ(PropertyList::decode(oneKeyDictionary("\x53" "abc"), "A list"),
              PropertyList(PropertyList::Dictionary{{"abc", "x"}}))
        << "the same list with a plain key";
    for (const auto& bytes : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(failure([&] { PropertyList::decode(bytes, "The output of security"); }),
                  "The output of security is not a property list");
    }

    fs::path text = directory / "Info.plist";
    TestSupport::writeFile(text, "not a plist");
    EXPECT_EQ(failure([&] { PropertyList::read(text); }),
              text.string() + " is not a property list");
    EXPECT_THROW(PropertyList::read(directory / "missing.plist"), std::system_error);
}

TEST_F(PropertyListTest, WritesXMLThatReadsBackTheSame) {
    fs::path file = directory / "written.plist";
    TestSupport::writeFile(file, expected().xml());
    EXPECT_TRUE(PropertyList::read(file) == expected());
    PropertyList options = PropertyList::Dictionary{{"thinning", "<none>"}, {"flag", false}};
    EXPECT_EQ(options.xml(), R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>flag</key>
	<false/>
	<key>thinning</key>
	<string>&lt;none&gt;</string>
</dict>
</plist>
)");
    PropertyList holed = PropertyList::Dictionary{{"gone", PropertyList()}};
    EXPECT_THROW(holed.xml(), std::invalid_argument);
}

// Arrays nested `depth` deep in the XML form, with `noise` between the levels.
std::string nestedXML(std::size_t depth, const std::string& noise = "") {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) {
        text += "<array>" + noise;
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</plist>\n";
}

// The binary form with one object per level: object k is an array holding object k + 1
// (`references` times over, so that levels share their child), and the last is empty, or
// holds object 0 again when `cyclic`.
std::string nestedBinary(std::size_t depth, int references = 1, bool cyclic = false) {
    auto big = [](std::string& out, std::uint64_t value, int size) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
            out += static_cast<char>((value >> shift) & 0xFF);
        }
    };
    std::string bytes = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (std::size_t k = 0; k < depth; ++k) {
        offsets.push_back(bytes.size());
        bool last = k + 1 == depth;
        if (last && cyclic) {
            bytes += '\xA1';
            big(bytes, 0, 4);
            continue;
        }
        bytes += static_cast<char>(0xA0 | (last ? 0 : references));
        for (int r = 0; !last && r < references; ++r) {
            big(bytes, k + 1, 4);
        }
    }
    std::uint64_t table = bytes.size();
    for (std::uint64_t offset : offsets) {
        big(bytes, offset, 4);
    }
    bytes += std::string(6, '\0');
    bytes += "\x04\x04";
    big(bytes, offsets.size(), 8);
    big(bytes, 0, 8);
    big(bytes, table, 8);
    return bytes;
}

// Runs `body` on a thread with a 512 KiB stack, which is what macOS gives secondary threads.
void onSmallStack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    pthread_t thread;
    auto call = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, call, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// Levels of containers in `value`, itself included.
std::size_t depthOf(const PropertyList& value) {
    std::size_t deepest = 0;
    for (const PropertyList& item : value.items()) {
        deepest = std::max(deepest, depthOf(item));
    }
    for (const auto& [key, member] : value.fields()) {
        deepest = std::max(deepest, depthOf(member));
    }
    bool container = value.kind() == PropertyList::Kind::array ||
                     value.kind() == PropertyList::Kind::dictionary;
    return deepest + (container ? 1 : 0);
}

TEST_F(PropertyListTest, RefusesDeepOrExplodingDocumentsBeforeBuildingThem) {
    const std::string tooDeep = "Info.plist is nested deeper than 512 levels";
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected; // the error, or the depth read back
    };
    const Case cases[] = {
        {"XML at the limit", nestedXML(512), "depth 512"},
        {"binary at the limit", nestedBinary(512), "depth 512"},
        {"XML one deeper", nestedXML(513), tooDeep},
        {"binary one deeper", nestedBinary(513), tooDeep},
        {"XML 100,000 deep", nestedXML(100'000), tooDeep},
        {"binary 100,000 deep", nestedBinary(100'000), tooDeep},
        // Closing tags that a parser never sees do not hide a level.
        {"XML with closing tags in comments", nestedXML(600, "<!-- </array></array> -->"),
         tooDeep},
        {"XML with closing tags in CDATA", nestedXML(600, "<![CDATA[</array></array>]]>"),
         tooDeep},
        {"XML with comments between levels", nestedXML(300, "<!-- a note --><?pi x?>"), "depth 300"},
        {"XML with empty containers between levels", nestedXML(500, "<dict/><array />"),
         "depth 501"},
        // 40 levels that each hold the next one twice describe 2^40 values in 400 bytes.
        {"binary sharing its levels", nestedBinary(40, 2),
         "Info.plist expands to more than 1000000 values"},
        {"binary sharing within bounds", nestedBinary(16, 2), "depth 16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string result;
        onSmallStack([&] {
            try {
                result = "depth " +
                         std::to_string(depthOf(PropertyList::decode(c.bytes, "Info.plist")));
            } catch (const std::exception& error) {
                result = error.what();
            }
        });
        EXPECT_EQ(result, c.expected);
    }

    // A reference cycle: the last level holds the first again.
    std::string cycle = nestedBinary(3, 1, true);
    EXPECT_EQ(failure([&] { PropertyList::decode(cycle, "Info.plist"); }),
              "Info.plist is not a property list");
}

} // namespace
