// The repair program's command line: the reading rules at their 16-bit and
// multi-byte limits in-process, and the argument table run through the built
// program as a shell would start it.
#include "harness.h"

#include "module1.h"

using namespace testsupport;

namespace {

// One argument vector and what it must give: the path (with or without the
// switch) or an error.
struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string path;
    bool version4;
    long error; // 0: no error
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

const auto caseName = [](const auto& row) { return std::string(row.param.name); };

class ReadCommandLineTest : public testing::TestWithParam<Case> {};

TEST_P(ReadCommandLineTest, ReadsPathAndSwitchOrRaises) {
    const Case& c = GetParam();
    std::vector<const char*> argv{"repair"};
    for (const auto& a : c.args)
        argv.push_back(a.c_str());
    Module1::CommandLine cl;
    ASSERT_EQ(raised([&] {
                  cl = Module1::ReadCommandLine(
                      Module1::ArgumentText(int(argv.size()), argv.data()));
              }),
              c.error);
    EXPECT_EQ(cl.path, c.path);
    EXPECT_EQ(cl.version4, c.version4);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReadCommandLineTest,
    testing::Values(
        // The quote at 32,767 fits, but the search behind it starts at 32,768.
        Case{"FirstQuoteAtLimit", {repeat("a", 32766) + "\"x\""}, "", false, 6},
        Case{"SecondQuoteTooFar", {repeat("a", 32765) + "\"\""}, "", false, 6},
        Case{"RestStartsAtLimit", {repeat("a", 32763) + "\"\"x-v4"}, "", true, 0},
        Case{"RestBeyondEnd", {repeat("a", 32763) + "\"\""}, "", false, 0},
        // Positions count characters, not bytes: 20,000 two-byte characters fit.
        Case{"MultiByteCharacters", {repeat("\xc3\xa9", 20000) + "\"x\"", "-v4"}, "x", true, 0},
        Case{"MultiBytePassedOver", {"\"a\"\xc3\xa9-v4"}, "a", true, 0},
        Case{"LongUnquotedText", {repeat("b", 100000), "-v4"}, repeat("b", 100000), true, 0},
        Case{"OnlyBlanks", {"", "", "", ""}, "", false, 0},
        Case{"QuotedEmptyPath", {"\"\"", "-v4"}, "", true, 0}),
    caseName);

TEST(SwitchIndexTest, QuotedFormLowersBaseAndOverflowsBelowRange) {
    EXPECT_EQ(Module1::SwitchIndex(true, 1), 1);
    EXPECT_EQ(Module1::SwitchIndex(false, 1), 0);
    EXPECT_EQ(Module1::SwitchIndex(true, -32768), -32768);
    EXPECT_EQ(raised([] { Module1::SwitchIndex(false, -32768); }), engine::err::Overflow);
}

class CommandLineRunTest : public testing::TestWithParam<Case> {};

// Each catalogue has stale copies; those of Books.M17 are links, which the
// new copies must replace rather than write through.
TEST_P(CommandLineRunTest, RunsOnThePathItNamesOrTouchesNothing) {
    const Case& c = GetParam();
    ScratchDir dir;
    for (const char* name : {"My Books.M17", "Books.M17"})
        writeFile(dir.at(name), sampleBytes(300));
    writeFile(dir.at("My Books.M17.FIX"), "stale repair copy");
    writeFile(dir.at("My Books.M17.KEEP"), "stale safety copy");
    writeFile(dir.at("victim"), "not to be written");
    for (const char* name : {"Books.M17.FIX", "Books.M17.KEEP"})
        ASSERT_EQ(::symlink("victim", dir.at(name).c_str()), 0);
    writeFile(dir.at("My.FIX"), "stale"); // a failure before the run must leave it
    const std::string original = readBack(dir.at("Books.M17"));
    auto before = snapshot(dir.work);
    const Outcome o = run(dir, REPAIR_EXE, c.args);
    auto after = snapshot(dir.work);
    EXPECT_EQ(o.out, "");
    ASSERT_TRUE(endedWith(o, c.error));
    if (c.error == 0) {
        EXPECT_EQ(o.err, "");
        const std::string path = dir.at(c.path);
        EXPECT_EQ(schemaFormat(path), c.version4 ? 4 : 1);
        EXPECT_EQ(readBack(path), original);
        EXPECT_EQ(readBack(path + ".FIX"), original);
        EXPECT_EQ(readFile(path + ".KEEP"), sampleBytes(300));
        // Nothing but the catalogue and its two copies changed, into files.
        for (const auto& name : {c.path, c.path + ".FIX", c.path + ".KEEP"}) {
            EXPECT_EQ(after[name].rfind("file ", 0), 0u) << name;
            before.erase(name);
            after.erase(name);
        }
    }
    EXPECT_EQ(after, before);
}

const std::string my = "My Books.M17";

INSTANTIATE_TEST_SUITE_P(
    ArgumentTable, CommandLineRunTest,
    testing::Values(Case{"QuotedWithSwitch", {my, "-v4"}, my, true, 0},
                    Case{"QuotedAlone", {my}, my, false, 0},
                    Case{"RestTrimmed", {my, "", "", "-v4"}, my, true, 0},
                    Case{"HyphenPassedOver", {"\"My", "Books.M17\"-v4"}, my, false, 0},
                    Case{"LetterPassedOver", {"\"My", "Books.M17\"x-v4"}, my, true, 0},
                    Case{"OnlyFieldZeroWhenQuoted", {my, "extra", "-v4"}, my, false, 0},
                    Case{"TextBeforeQuoteIgnored", {"-v4", my}, my, false, 0},
                    Case{"UnquotedWithSwitch", {"Books.M17", "-v4"}, "Books.M17", true, 0},
                    Case{"SwitchIsCaseSensitive", {"Books.M17", "-V4"}, "Books.M17", false, 0},
                    Case{
                        "TwoBlanksGiveEmptyField", {"Books.M17", "", "-v4"}, "Books.M17", false, 0},
                    Case{"LaterFieldsIgnored", {"Books.M17", "-v4", "x"}, "Books.M17", true, 0},
                    Case{"UnquotedAlone", {"Books.M17"}, "Books.M17", false, 0},
                    Case{"LongTextBeforeQuote", {std::string(30000, 'a'), my}, my, false, 0},
                    Case{"OwnQuotesKept", {"\"My Books.M17\"", "-v4"}, my, true, 0},
                    Case{"WholeLineAsOneArgument", {"\"My Books.M17\" -v4"}, my, true, 0},
                    Case{"UnquotedPathCutAtBlank", {"My", "Books.M17"}, "", false, 53},
                    Case{"SwitchFirstIsPath", {"-v4", "Books.M17"}, "", false, 53},
                    Case{"EmptyPath", {"", "-v4"}, "", false, 53},
                    Case{"NoClosingQuote", {"\"My", "Books.M17"}, "", false, 5},
                    Case{"NoArguments", {}, "", false, 9},
                    Case{"QuoteBeyondLimit", {std::string(32767, 'a') + "\"x\""}, "", false, 6}),
    caseName);

} // namespace
