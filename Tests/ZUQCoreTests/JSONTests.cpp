#include "JSON.hpp"

#include <cmath>
#include <limits>
#include <unordered_set>

#include <gtest/gtest.h>

namespace {

TEST(JSON, DecodesEachCaseAndKeepsBooleansApartFromNumbers) {
    EXPECT_EQ(JSON::decode("true").kind(), JSON::Kind::boolean);
    EXPECT_EQ(JSON::decode("1").kind(), JSON::Kind::number);
    EXPECT_EQ(JSON::decode("\"1\"").kind(), JSON::Kind::string);
    EXPECT_EQ(JSON::decode("null").kind(), JSON::Kind::null);
    EXPECT_EQ(JSON::decode("[]").kind(), JSON::Kind::array);
    EXPECT_EQ(JSON::decode("{}").kind(), JSON::Kind::object);
    EXPECT_EQ(JSON::decode("18446744073709551615").number(), 18446744073709551615.0);
    EXPECT_EQ(JSON::decode("-3").number(), -3);
}

TEST(JSON, LenientReadersFallBackToNeutralValues) {
    JSON value = JSON::decode(R"({"a": 1, "s": "5", "f": true, "l": [1, 2], "o": {"x": "y"}})");
    EXPECT_EQ(value["a"].integer(), 1);
    EXPECT_TRUE(value["b"].isNull());
    EXPECT_EQ(value["b"].text(), "");
    EXPECT_EQ(value["s"].number(), 0);
    EXPECT_EQ(value["a"].text(), "");
    EXPECT_FALSE(value["a"].string().has_value());
    EXPECT_EQ(value["s"].string(), "5");
    EXPECT_FALSE(value["a"].flag());
    EXPECT_TRUE(value["f"].flag());
    EXPECT_EQ(value["l"].items().size(), 2u);
    EXPECT_TRUE(value["a"].items().empty());
    EXPECT_TRUE(value["l"].fields().empty());
    EXPECT_EQ(value["o"]["x"].text(), "y");
    EXPECT_EQ(value["o"]["x"]["deeper"]["still"].text(), "");
    for (const char* other : {"[1]", "\"text\"", "3", "false", "null"}) {
        EXPECT_TRUE(JSON::decode(other)["key"].isNull()) << other;
    }
}

TEST(JSON, IntegerTruncatesTowardZeroAndClamps) {
    struct Case {
        double number;
        std::int64_t expected;
    };
    using Limits = std::numeric_limits<std::int64_t>;
    const Case cases[] = {
        {2.9, 2},
        {-2.9, -2},
        {0.0, 0},
        {9007199254740993.0, 9007199254740992},
        {1e300, Limits::max()},
        {-1e300, Limits::min()},
        {9223372036854775808.0, Limits::max()},
        {std::numeric_limits<double>::infinity(), Limits::max()},
        {-std::numeric_limits<double>::infinity(), Limits::min()},
        {std::nan(""), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JSON(c.number).integer(), c.expected) << c.number;
    }
    EXPECT_EQ(JSON("5").integer(), 0);
}

TEST(JSON, PrettyFormIsExact) {
    struct Case {
        JSON value;
        const char* expected;
    };
    const Case cases[] = {
        {JSON::decode(R"({"b": 1, "a": {"d": [1, 2.5, "x"], "c": null}})"),
         "{\n  \"a\" : {\n    \"c\" : null,\n    \"d\" : [\n      1,\n      2.5,\n      \"x\"\n"
         "    ]\n  },\n  \"b\" : 1\n}"},
        {JSON::object({{"path", "/v1/jobs/a"}}), "{\n  \"path\" : \"/v1/jobs/a\"\n}"},
        {JSON("caf\xC3\xA9 \xE2\x9C\x93"), "\"caf\xC3\xA9 \xE2\x9C\x93\""},
        {JSON("quote\" back\\ nl\n tab\t bell\x07"), R"("quote\" back\\ nl\n tab\t bell\u0007")"},
        {JSON(900), "900"},
        {JSON(900.0), "900"},
        {JSON(-0.0), "-0"},
        {JSON(0.1), "0.1"},
        {JSON(1.0 / 3), "0.3333333333333333"},
        {JSON(1e21), "1e+21"},
        {JSON(1234567890123456.0), "1234567890123456"},
        {JSON(true), "true"},
        {JSON(), "null"},
        {JSON::object(), "{}"},
        {JSON::array(), "[]"},
        {JSON::object({{"n", std::numeric_limits<double>::infinity()}}), "null"},
        {JSON(std::nan("")), "null"},
        {JSON("bad \xFF byte"), "\"bad \xEF\xBF\xBD byte\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.pretty(), c.expected);
    }
}

TEST(JSON, CompactDataRoundTripsAndRefusesNonFiniteNumbers) {
    JSON value = JSON::decode(R"({"b": [1, {"c": "/x"}], "a": -0.5, "u": "é"})");
    std::string data = value.data();
    EXPECT_EQ(data, R"({"a":-0.5,"b":[1,{"c":"/x"}],"u":"é"})");
    EXPECT_EQ(JSON::decode(data), value);
    EXPECT_THROW(JSON::object({{"n", std::nan("")}}).data(), ZUQError);
}

TEST(JSON, EqualityAndHashIgnoreMemberOrderAndSignOfZero) {
    JSON first = JSON::decode(R"({"x": 0, "y": [1, 2], "z": {"p": true}})");
    JSON second = JSON::decode(R"({"z": {"p": true}, "y": [1, 2], "x": -0.0})");
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.hash(), second.hash());
    EXPECT_NE(JSON::decode("[1, 2]"), JSON::decode("[2, 1]"));
    EXPECT_NE(JSON(1), JSON(true));
    EXPECT_NE(JSON("1"), JSON(1));
    EXPECT_NE(JSON(), JSON::object());
    std::unordered_set<JSON> set{first, second, JSON(1), JSON(true), JSON()};
    EXPECT_EQ(set.size(), 4u);
}

TEST(JSON, DecodeRejectsBadInputWithTheParsersMessage) {
    const char* cases[] = {"", "{", "[1,]", "{\"a\" 1}", "tru", "\"\xFF\"", "1 2"};
    for (const char* text : cases) {
        try {
            JSON::decode(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const JSON::ParseError& error) {
            EXPECT_NE(std::string(error.what()).find("parse error"), std::string::npos)
                << error.what();
        }
    }
}

TEST(JSON, DecodeLimitsNestingDepth) {
    std::string acceptable(JSON::maxDepth, '[');
    acceptable += std::string(JSON::maxDepth, ']');
    EXPECT_NO_THROW(JSON::decode(acceptable));
    std::string hostile(100000, '[');
    EXPECT_THROW(JSON::decode(hostile), JSON::ParseError);
}

TEST(JSON, StringsBuildsAnArrayInOrder) {
    EXPECT_EQ(JSON::strings({"b", "a"}).data(), R"(["b","a"])");
    EXPECT_EQ(JSON::strings({}).pretty(), "[]");
}

TEST(ZUQ, TerminalStates) {
    EXPECT_TRUE(ZUQ::isTerminal("succeeded"));
    EXPECT_TRUE(ZUQ::isTerminal("failed"));
    EXPECT_TRUE(ZUQ::isTerminal("cancelled"));
    EXPECT_FALSE(ZUQ::isTerminal("building"));
    EXPECT_FALSE(ZUQ::isTerminal("installing"));
    EXPECT_FALSE(ZUQ::isTerminal(""));
    EXPECT_STREQ(ZUQError("Provide a Mac ID").what(), "Provide a Mac ID");
}

} // namespace
