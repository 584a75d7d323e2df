// The repair program's command line: each argument vector read in-process,
// the reading rules at their 16-bit and multi-byte limits included, and run
// through the built program as a shell would start it.
#include "harness.h"

#include "module1.h"

#include <climits>

using namespace testsupport;
namespace err = engine::err;

namespace {

const std::string my = "My Books.M17", books = "Books.M17";

// One argument vector and what reading it gives: the path (with or without
// the switch) or an error.
struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string path;
    bool version4;
    long error; // 0: no error
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

class CommandLineTest : public testing::TestWithParam<Case> {};

// The program fails with the reading's error, runs on the path read when it
// names one of the two catalogues and otherwise finds no file. The stale
// copies are links, which the new copies must replace rather than write
// through. A failure touches nothing.
TEST_P(CommandLineTest, ReadsPathAndSwitchAndRunsOnThatPathOrTouchesNothing) {
    const Case& c = GetParam();
    std::vector<const char*> argv{"repair"};
    for (const auto& a : c.args)
        argv.push_back(a.c_str());
    const std::string text = Module1::ArgumentText(int(argv.size()), argv.data());
    Module1::CommandLine cl;
    ASSERT_EQ(errorOf([&] { cl = Module1::ReadCommandLine(text); }), c.error);
    EXPECT_EQ(cl.path, c.path);
    EXPECT_EQ(cl.version4, c.version4);

    TempDir dir("repair-test");
    writeFile(dir / "victim", "not to be written");
    for (const auto& name : {my, books}) {
        writeFile(dir / name, sampleBytes(300));
        for (const char* copy : {".FIX", ".KEEP"})
            ASSERT_EQ(::symlink("victim", (dir / name + copy).c_str()), 0);
    }
    writeFile(dir / "My.FIX", "stale"); // a failure before the run must leave it
    const std::string original = readBack(dir / books);
    const auto before = snapshot(dir.path());
    const Outcome o = run(dir, REPAIR_EXE, c.args);
    const bool found = c.path == my || c.path == books;
    const long exit = c.error                    ? c.error
                      : found                    ? 0
                      : c.path.size() > NAME_MAX ? err::PathFileAccess
                                                 : err::FileNotFound;
    EXPECT_EQ(o.out, "");
    ASSERT_TRUE(endedWith(o, exit));
    EXPECT_TRUE(exit || o.err.empty()) << o.err;
    expectLeft(dir, exit ? my : c.path, before, exit ? Leaves::Nothing : Leaves::Repaired, original,
               c.version4 ? 4 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTest,
    testing::Values(
        Case{"QuotedWithSwitch", {my, "-v4"}, my, true, 0}, Case{"QuotedAlone", {my}, my, false, 0},
        Case{"RestTrimmed", {my, "", "", "-v4"}, my, true, 0},
        Case{"HyphenPassedOver", {"\"My", "Books.M17\"-v4"}, my, false, 0},
        Case{"LetterPassedOver", {"\"My", "Books.M17\"x-v4"}, my, true, 0},
        Case{"OnlyFieldZeroWhenQuoted", {my, "extra", "-v4"}, my, false, 0},
        Case{"TextBeforeQuoteIgnored", {"-v4", my}, my, false, 0},
        Case{"UnquotedWithSwitch", {books, "-v4"}, books, true, 0},
        Case{"SwitchIsCaseSensitive", {books, "-V4"}, books, false, 0},
        Case{"TwoBlanksGiveEmptyField", {books, "", "-v4"}, books, false, 0},
        Case{"LaterFieldsIgnored", {books, "-v4", "x"}, books, true, 0},
        Case{"UnquotedAlone", {books}, books, false, 0},
        Case{"LongTextBeforeQuote", {std::string(30000, 'a'), my}, my, false, 0},
        Case{"OwnQuotesKept", {"\"My Books.M17\"", "-v4"}, my, true, 0},
        Case{"WholeLineAsOneArgument", {"\"My Books.M17\" -v4"}, my, true, 0},
        Case{"UnquotedPathCutAtBlank", {"My", books}, "My", false, 0},
        Case{"SwitchFirstIsPath", {"-v4", books}, "-v4", false, 0},
        Case{"EmptyPath", {"", "-v4"}, "", true, 0},
        Case{"OnlyBlanks", {"", "", "", ""}, "", false, 0},
        Case{"QuotedEmptyPath", {"\"\"", "-v4"}, "", true, 0},
        Case{"LongUnquotedText", {repeat("b", 100000), "-v4"}, repeat("b", 100000), true, 0},
        // Positions count characters, not bytes: 20,000 two-byte characters fit.
        Case{"MultiByteCharacters", {repeat("\xc3\xa9", 20000) + "\"x\"", "-v4"}, "x", true, 0},
        Case{"MultiBytePassedOver", {"\"a\"\xc3\xa9-v4"}, "a", true, 0},
        // The quote at 32,767 fits, but the search behind it starts at 32,768.
        Case{"FirstQuoteAtLimit", {repeat("a", 32766) + "\"x\""}, "", false, err::Overflow},
        Case{"SecondQuoteTooFar", {repeat("a", 32765) + "\"\""}, "", false, err::Overflow},
        Case{"RestStartsAtLimit", {repeat("a", 32763) + "\"\"x-v4"}, "", true, 0},
        Case{"RestBeyondEnd", {repeat("a", 32763) + "\"\""}, "", false, 0},
        Case{"QuoteBeyondLimit", {repeat("a", 32767) + "\"x\""}, "", false, err::Overflow},
        Case{"NoClosingQuote", {"\"My", books}, "", false, err::InvalidArgument},
        Case{"NoArguments", {}, "", false, err::Subscript}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SwitchIndexTest, QuotedFormLowersBaseAndOverflowsBelowRange) {
    EXPECT_EQ(Module1::SwitchIndex(true, 1), 1);
    EXPECT_EQ(Module1::SwitchIndex(false, 1), 0);
    EXPECT_EQ(Module1::SwitchIndex(true, -32768), -32768);
    EXPECT_EQ(errorOf([] { Module1::SwitchIndex(false, -32768); }), err::Overflow);
}

} // namespace
