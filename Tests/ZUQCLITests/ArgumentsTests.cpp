#include "Arguments.hpp"
#include "JSON.hpp"
#include "ZUQCLI.hpp"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

std::string failure(const Words& words) {
    try {
        Arguments arguments(words);
        return "parsed";
    } catch (const ZUQError& error) {
        return error.what();
    }
}

TEST(Arguments, SortsWordsOptionsAndFlags) {
    Arguments arguments({"logs", "--follow", "JOB", "--timeout", "5", "--mode", "debug", "--json",
                         "--mode", "adhoc", "--name", "-x", "--follow"});
    EXPECT_EQ(arguments.positional, (Words{"logs", "JOB"}));
    EXPECT_EQ(arguments.values.at("--timeout"), "5");
    EXPECT_EQ(arguments.values.at("--mode"), "adhoc") << "the last occurrence wins";
    EXPECT_EQ(arguments.values.at("--name"), "-x") << "a single dash may start a value";
    EXPECT_EQ(arguments.flags, (std::set<std::string, std::less<>>{"--follow", "--json"}));

    Arguments empty(Words{});
    EXPECT_TRUE(empty.positional.empty());
    EXPECT_TRUE(empty.values.empty());
    EXPECT_TRUE(empty.flags.empty());
}

TEST(Arguments, RefusesWhatItDoesNotKnow) {
    struct Case {
        Words words;
        const char* message;
    };
    const Case cases[] = {
        {{"jobs", "--bogus"}, "Unknown option: --bogus"},
        {{"--name=x"}, "Unknown option: --name=x"},
        {{"-h"}, "Unknown option: -h"},
        {{"-"}, "Unknown option: -"},
        {{"--"}, "Unknown option: --"},
        {{"--help", "--nope"}, "Unknown option: --nope"},
        {{"--name", "--local"}, "Missing value for --name"},
        {{"run", "--project"}, "Missing value for --project"},
        {{"--timeout", "--", "x"}, "Missing value for --timeout"},
        {{"--bogus", "--name"}, "Unknown option: --bogus"},
        {{"--name", "--bogus"}, "Missing value for --name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failure(c.words), c.message);
    }
}

TEST(Arguments, RequireTreatsEmptyAsMissing) {
    Arguments arguments({"--name", "", "--scheme", "App"});
    EXPECT_EQ(arguments.require("--scheme"), "App");
    EXPECT_EQ(arguments.value("--name"), "");
    EXPECT_FALSE(arguments.value("--team").has_value());
    for (const char* name : {"--name", "--project"}) {
        try {
            arguments.require(name);
            ADD_FAILURE() << name;
        } catch (const ZUQError& error) {
            EXPECT_EQ(std::string(error.what()), std::string("Required option: ") + name);
        }
    }
}

TEST(Arguments, TimeoutRange) {
    struct Case {
        const char* text; // nullptr: option absent
        double seconds;   // 0: refused
    };
    const Case cases[] = {
        {nullptr, 7200}, {"1", 1},   {"86400", 86400}, {"1.5", 1.5}, {"0x10", 16}, {"1e3", 1000},
        {"86400.5", 0},  {"0.5", 0}, {"0", 0},         {"-5", 0},    {"abc", 0},   {"", 0},
        {" 5", 0},       {"5 ", 0},  {"inf", 0},       {"nan", 0},   {"5s", 0},
    };
    for (const auto& c : cases) {
        Words words{"run"};
        if (c.text) {
            words = {"run", "--timeout", c.text};
        }
        Arguments arguments(words);
        if (c.seconds > 0) {
            EXPECT_EQ(ZUQCLI::timeout(arguments), c.seconds) << (c.text ? c.text : "absent");
        } else {
            try {
                ZUQCLI::timeout(arguments);
                ADD_FAILURE() << "accepted " << c.text;
            } catch (const ZUQError& error) {
                EXPECT_STREQ(error.what(), "Timeout must be between 1 and 86400 seconds");
            }
        }
    }
}

} // namespace
