// The repair program's command line: each argument vector read in-process, up
// to the 16-bit and multi-byte limits, and run through the built program.
#include "harness.h"

#include "module1.h"

#include <climits>

using namespace testsupport;
namespace err = engine::err;

namespace {

const std::string my = "My Books.M17", books = "Books.M17";

// One argument vector and what reading it gives: the path and the switch, or
// an error (0 for none).
struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string path;
    bool version4;
    long error;
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
// names a catalogue and otherwise finds no file; a failure touches nothing. The
// stale copies are links, to be replaced rather than written through.
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
    ASSERT_TRUE(endedWith(o, exit));
    EXPECT_EQ(o.out + (exit ? "" : o.err), ""); // a success prints nothing
    expectLeft(dir, exit ? my : c.path, before, exit ? Leaves::Nothing : Leaves::Repaired, original,
               c.version4 ? 4 : 1);
}

const Case cases[] = {
    {"QuotedWithSwitch", {my, "-v4"}, my, true, 0},
    {"QuotedAlone", {my}, my, false, 0},
    {"RestTrimmed", {my, "", "", "-v4"}, my, true, 0},
    {"HyphenPassedOver", {"\"My", "Books.M17\"-v4"}, my, false, 0},
    {"LetterPassedOver", {"\"My", "Books.M17\"x-v4"}, my, true, 0},
    {"OnlyFieldZeroWhenQuoted", {my, "extra", "-v4"}, my, false, 0},
    {"TextBeforeQuoteIgnored", {"-v4", my}, my, false, 0},
    {"UnquotedWithSwitch", {books, "-v4"}, books, true, 0},
    {"SwitchIsCaseSensitive", {books, "-V4"}, books, false, 0},
    {"TwoBlanksGiveEmptyField", {books, "", "-v4"}, books, false, 0},
    {"LaterFieldsIgnored", {books, "-v4", "x"}, books, true, 0},
    {"UnquotedAlone", {books}, books, false, 0},
    {"LongTextBeforeQuote", {std::string(30000, 'a'), my}, my, false, 0},
    {"OwnQuotesKept", {"\"My Books.M17\"", "-v4"}, my, true, 0},
    {"WholeLineAsOneArgument", {"\"My Books.M17\" -v4"}, my, true, 0},
    {"UnquotedPathCutAtBlank", {"My", books}, "My", false, 0},
    {"SwitchFirstIsPath", {"-v4", books}, "-v4", false, 0},
    {"EmptyPath", {"", "-v4"}, "", true, 0},
    {"OnlyBlanks", {"", "", "", ""}, "", false, 0},
    {"QuotedEmptyPath", {"\"\"", "-v4"}, "", true, 0},
    {"LongUnquotedText", {std::string(100000, 'b'), "-v4"}, std::string(100000, 'b'), true, 0},
    // Positions count characters, not bytes: 20,000 two-byte characters fit.
    {"MultiByteCharacters", {repeat("\xc3\xa9", 20000) + "\"x\"", "-v4"}, "x", true, 0},
    {"MultiBytePassedOver", {"\"a\"\xc3\xa9-v4"}, "a", true, 0},
    // The quote at 32,767 fits, but the search behind it starts at 32,768.
    {"FirstQuoteAtLimit", {std::string(32766, 'a') + "\"x\""}, "", false, err::Overflow},
    {"SecondQuoteTooFar", {std::string(32765, 'a') + "\"\""}, "", false, err::Overflow},
    {"RestStartsAtLimit", {std::string(32763, 'a') + "\"\"x-v4"}, "", true, 0},
    {"RestBeyondEnd", {std::string(32763, 'a') + "\"\""}, "", false, 0},
    {"QuoteBeyondLimit", {std::string(32767, 'a') + "\"x\""}, "", false, err::Overflow},
    {"NoClosingQuote", {"\"My", books}, "", false, err::InvalidArgument},
    {"NoArguments", {}, "", false, err::Subscript}};
INSTANTIATE_TEST_SUITE_P(Arguments, CommandLineTest, testing::ValuesIn(cases),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
