// The repair program's command line: the reading rules at their 16-bit and
// multi-byte limits in-process, and the argument table run through the built
// program as a shell would start it.
#include "harness.h"

#include "module1.h"

#include <gtest/gtest.h>

using namespace repairtest;

namespace {

// The error number a call raises, 0 when it raises none.
template <class F> long raised(F&& f) {
    try {
        f();
    } catch (const engine::Error& e) {
        return e.Number();
    }
    return 0;
}

struct Reading {
    const char* name;
    std::string text;
    long error; // 0: read without error
    std::string path;
    bool version4;
};
void PrintTo(const Reading& r, std::ostream* os) {
    *os << r.name;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

class ReadCommandLineTest : public testing::TestWithParam<Reading> {};

TEST_P(ReadCommandLineTest, ReadsPathAndSwitchOrRaises) {
    const Reading& r = GetParam();
    Module1::CommandLine cl;
    ASSERT_EQ(raised([&] { cl = Module1::ReadCommandLine(r.text); }), r.error);
    EXPECT_EQ(cl.path, r.path);
    EXPECT_EQ(cl.version4, r.version4);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReadCommandLineTest,
    testing::Values(
        // The quote at 32,767 fits, but the search behind it starts at 32,768.
        Reading{"FirstQuoteAtLimit", repeat("a", 32766) + "\"x\"", 6, "", false},
        Reading{"SecondQuoteTooFar", repeat("a", 32765) + "\"\"", 6, "", false},
        Reading{"RestStartsAtLimit", repeat("a", 32763) + "\"\"x-v4", 0, "", true},
        Reading{"RestBeyondEnd", repeat("a", 32763) + "\"\"", 0, "", false},
        // Positions count characters, not bytes: 20,000 two-byte characters fit.
        Reading{"MultiByteCharacters", repeat("\xc3\xa9", 20000) + "\"x\" -v4", 0, "x", true},
        Reading{"MultiBytePassedOver", "\"a\"\xc3\xa9-v4", 0, "a", true},
        Reading{"LongUnquotedText", repeat("b", 100000) + " -v4", 0, repeat("b", 100000), true},
        Reading{"OnlyBlanks", "   ", 0, "", false},
        Reading{"QuotedEmptyPath", "\"\" -v4", 0, "", true}),
    [](const auto& row) { return row.param.name; });

TEST(SwitchIndexTest, QuotedFormLowersBaseAndOverflowsBelowRange) {
    EXPECT_EQ(Module1::SwitchIndex(true, 1), 1);
    EXPECT_EQ(Module1::SwitchIndex(false, 1), 0);
    EXPECT_EQ(Module1::SwitchIndex(true, -32768), -32768);
    EXPECT_EQ(raised([] { Module1::SwitchIndex(false, -32768); }), engine::err::Overflow);
}

// One command line given to the built program as an argument vector, and what
// it must do: run on path (with or without the switch) or fail with error.
struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string path; // "" for an error row
    bool version4;
    long error;
};
void PrintTo(const Row& r, std::ostream* os) {
    *os << r.name;
}

class CommandLineRunTest : public testing::TestWithParam<Row> {};

TEST_P(CommandLineRunTest, RunsOnThePathItNamesOrTouchesNothing) {
    const Row& row = GetParam();
    TempDir dir;
    for (const char* name : {"My Books.M17", "Books.M17"})
        writeFile(dir.at(name), sampleBytes(300));
    writeFile(dir.at("My.FIX"), "stale"); // a failure before the run must leave it
    const std::string original = readBack(dir.at("Books.M17"));
    auto before = snapshot(dir.work());
    Outcome o = run(dir, REPAIR_EXE, row.args);
    auto after = snapshot(dir.work());
    EXPECT_EQ(o.out, "");
    if (row.error != 0) {
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.err.rfind("repair: error " + std::to_string(row.error) + ": ", 0), 0u) << o.err;
        EXPECT_EQ(after, before);
        return;
    }
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.err, "");
    const std::string path = dir.at(row.path);
    EXPECT_EQ(schemaFormat(path), row.version4 ? 4 : 1);
    EXPECT_EQ(readBack(path), original);
    EXPECT_EQ(readBack(path + ".FIX"), original);
    EXPECT_EQ(readFile(path + ".KEEP"), sampleBytes(300));
    // Nothing but the catalogue and its two copies changed.
    for (const auto& name : {row.path, row.path + ".FIX", row.path + ".KEEP"}) {
        before.erase(name);
        EXPECT_EQ(after.erase(name), 1u) << name;
    }
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    ArgumentTable, CommandLineRunTest,
    testing::Values(
        Row{"QuotedWithSwitch", {"My Books.M17", "-v4"}, "My Books.M17", true, 0},
        Row{"QuotedAlone", {"My Books.M17"}, "My Books.M17", false, 0},
        Row{"RestTrimmed", {"My Books.M17", "", "", "-v4"}, "My Books.M17", true, 0},
        Row{"HyphenPassedOver", {"\"My", "Books.M17\"-v4"}, "My Books.M17", false, 0},
        Row{"LetterPassedOver", {"\"My", "Books.M17\"x-v4"}, "My Books.M17", true, 0},
        Row{"OnlyFieldZeroWhenQuoted", {"My Books.M17", "extra", "-v4"}, "My Books.M17", false, 0},
        Row{"TextBeforeQuoteIgnored", {"-v4", "My Books.M17"}, "My Books.M17", false, 0},
        Row{"UnquotedWithSwitch", {"Books.M17", "-v4"}, "Books.M17", true, 0},
        Row{"SwitchIsCaseSensitive", {"Books.M17", "-V4"}, "Books.M17", false, 0},
        Row{"TwoBlanksGiveEmptyField", {"Books.M17", "", "-v4"}, "Books.M17", false, 0},
        Row{"LaterFieldsIgnored", {"Books.M17", "-v4", "extra"}, "Books.M17", true, 0},
        Row{"UnquotedAlone", {"Books.M17"}, "Books.M17", false, 0},
        Row{"LongTextBeforeQuote",
            {std::string(30000, 'a'), "My Books.M17"},
            "My Books.M17",
            false,
            0},
        Row{"OwnQuotesKept", {"\"My Books.M17\"", "-v4"}, "My Books.M17", true, 0},
        Row{"WholeLineAsOneArgument", {"\"My Books.M17\" -v4"}, "My Books.M17", true, 0},
        Row{"UnquotedPathCutAtBlank", {"My", "Books.M17"}, "", false, 53},
        Row{"SwitchFirstIsPath", {"-v4", "Books.M17"}, "", false, 53},
        Row{"EmptyPath", {"", "-v4"}, "", false, 53},
        Row{"NoClosingQuote", {"\"My", "Books.M17"}, "", false, 5},
        Row{"NoArguments", {}, "", false, 9},
        Row{"QuoteBeyondLimit", {std::string(32767, 'a') + "\"x\""}, "", false, 6}),
    [](const auto& row) { return row.param.name; });

} // namespace
