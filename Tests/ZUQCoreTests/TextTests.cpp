#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Random.hpp"
#include "Platform/Text.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Text, InvalidSequencesBecomeOneReplacementEach) {
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xA9tail", r + "tail"},            // a cut character's last byte
        {"head\xE2\x9C", "head" + r},        // a cut character's first bytes
        {"\xC0\xAF", r + r},                 // overlong
        {"\xED\xA0\x80", r + r + r},         // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r}, // past U+10FFFF
        {"\xFF", r},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::replacingInvalidUTF8(c.bytes), c.expected) << c.bytes;
        EXPECT_EQ(Platform::isValidUTF8(c.bytes), c.bytes == c.expected) << c.bytes;
    }
}

TEST(Text, FirstAndLastCharactersCountWhatAUserSees) {
    struct Case {
        std::string text;
        std::size_t count;
        std::string expected;
    };
    const std::string eAcute = "e\xCC\x81"; // e + combining acute
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"; // man ZWJ woman
    const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";               // FR
    const Case cases[] = {
        {"abcdef", 3, "def"},
        {"ab", 5, "ab"},
        {"", 3, ""},
        {"x" + eAcute + eAcute, 2, eAcute + eAcute},
        {"x" + family, 1, family},
        {"a\r\nb", 2, "\r\nb"},
        {"a" + flag + flag, 2, flag + flag},
        {"abc", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::lastCharacters(c.text, c.count), c.expected) << c.text;
    }
    const Case firstCases[] = {
        {"abcdef", 3, "abc"},
        {"ab", 5, "ab"},
        {"", 3, ""},
        {eAcute + eAcute + "x", 2, eAcute + eAcute},
        {family + "x", 1, family},
        {"a\r\nb", 2, "a\r\n"},
        {flag + flag + "a", 2, flag + flag},
        {"abc", 0, ""},
    };
    for (const auto& c : firstCases) {
        EXPECT_EQ(Platform::firstCharacters(c.text, c.count), c.expected) << c.text;
    }
}

TEST(Encoding, StrictBase64) {
    EXPECT_EQ(Platform::base64Encode("hello"), "aGVsbG8=");
    EXPECT_EQ(Platform::base64Decode("aGVsbG8="), "hello");
    EXPECT_EQ(Platform::base64Decode(""), "");
    const char* refused[] = {"aGVsbG8",  "aGVsbG8==", " aGVsbG8=", "aGVsbG8=\n", "aGVs bG8=",
                             "aGVsbG9=", "a=Vs",      "aGVsbG8-",  "====",       "aGVsbA==x"};
    for (const char* text : refused) {
        EXPECT_FALSE(Platform::base64Decode(text).has_value()) << text;
    }
    EXPECT_EQ(Platform::base64URLEncode("\xFB\xFF"), "-_8");
    EXPECT_EQ(Platform::hexEncode(std::string_view("\x00\xAB", 2)), "00ab");
}

TEST(Digest, SHA256InPiecesEqualsWhole) {
    EXPECT_EQ(Platform::sha256Hex(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Platform::SHA256 pieces;
    pieces.update("a");
    pieces.update("bc");
    EXPECT_EQ(pieces.hexDigest(), Platform::sha256Hex("abc"));
    EXPECT_EQ(Platform::sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(Platform::constantTimeEqual("secret", "secret"));
    EXPECT_FALSE(Platform::constantTimeEqual("secret", "secreT"));
    EXPECT_FALSE(Platform::constantTimeEqual("secret", "secret2"));
}

TEST(Random, UUIDs) {
    std::string uuid = Platform::newUUID();
    EXPECT_TRUE(Platform::isUUID(uuid)) << uuid;
    EXPECT_EQ(uuid, [&] {
        std::string upper = uuid;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return upper;
    }());
    EXPECT_NE(uuid, Platform::newUUID());
    EXPECT_TRUE(Platform::isUUID("0a1b2c3d-4e5f-6789-abcd-EF0123456789"));
    for (const char* bad :
         {"", "0a1b2c3d4e5f6789abcdef0123456789", "0a1b2c3d-4e5f-6789-abcd-ef012345678g",
          "0a1b2c3d-4e5f-6789-abcd-ef01234567890", "{0a1b2c3d-4e5f-6789-abcd-ef0123456789}"}) {
        EXPECT_FALSE(Platform::isUUID(bad)) << bad;
    }
}

} // namespace
