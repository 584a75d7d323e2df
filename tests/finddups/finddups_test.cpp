// The finddups program run as a shell would: each command line against the
// report, the error or the usage it gives, the catalogue never touched.
#include "../repair/harness.h"
#include "catalogues.h"
#include "finddups.h"
#include "ruledout.h"

#include <sys/stat.h>

#include <regex>

using namespace testsupport;
namespace err = engine::err;

namespace {

// A command line and its outcome: exit 0 with the report (certainties and
// reasons masked, the finder's scoring decides them), 1 with the error's
// number, 2 with the usage.
struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    std::string out;
    long error = 0;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

const std::string fffd = "\xEF\xBF\xBD"; // U+FFFD, for each byte outside UTF-8
const std::string header = "cluster\tcertainty\treason\tcode\tname\titems\ttarget\n";
// Subject 9 sorts first by name but was written after 3, the target.
const std::string subjects = header + "1\t*\t*\t9\tTab\\tand\\\\slash\\r\\n\t1\t\n" +
                             "1\t*\t*\t3\ttab\\tand\\\\slash.\t2\tyes\n";

// out with each cluster's certainty and reason as "*".
std::string masked(const std::string& out) {
    static const std::regex json(R"("certainty": \d+, "reason": "([^"\\]|\\.)*")");
    static const std::regex tsv(R"((^|\n)(\d+)\t\d+\t[^\t\n]*\t)");
    return std::regex_replace(std::regex_replace(out, json, R"("certainty": *, "reason": *)"), tsv,
                              "$1$2\t*\t*\t");
}

class FinddupsTest : public testing::TestWithParam<Case> {};

TEST_P(FinddupsTest, ReportsOrRefusesAndLeavesTheFileAlone) {
    const Case& c = GetParam();
    TempDir dir("finddups-test");
    // clang-format off
    writeCatalogue(dir / "cat.M17",
        {{3, "tab\tand\\slash."}, {8, "Zebra"}, {9, "Tab\tand\\slash\r\n"}, {1, ""}, {6, {}}},
        {{7, "caf\xE9\xED\xA0\x80 \"noir\" \xC3\xBC\x01!"}, {4, "Caf\xE9\xED\xA0\x80 \"Noir\" \xC3\xBC\x01"},
         {1, "Penguin Books"}, {2, "penguin books,"}},
        {{1, "Book"}, {2, "CD"}},
        {{3, 9, 7, 1}, {3, -1, 7, 1}, {8, -1, 4, 2}});
    // clang-format on
    { // the window's user said the two Penguins are not one publisher
        auto db = engine::DatabaseEngine().OpenDatabase(dir / "cat.M17");
        engine::Transaction t(*db);
        ruledout::Add(*db, *catalogue::CategoryOfWord("Publisher"),
                      ruledout::PairsOf({{1, "Penguin Books"}, {2, "penguin books,"}}));
        t.Commit();
    }
    writeCatalogue(dir / "old.M17", {}, {}, {}, {}, {"UPDATE FILEINFO SET [Product Name] = 'x'"});
    struct stat before {};
    ASSERT_EQ(::stat((dir / "cat.M17").c_str(), &before), 0);
    const auto files = snapshot(dir.path());
    std::unique_ptr<engine::Database> holder; // as the combine window holds it
    if (c.name == std::string("HeldByCombine"))
        holder = engine::DatabaseEngine().OpenDatabase(dir / "cat.M17", true);

    const Outcome o = run(dir, FINDDUPS_EXE, c.args);
    holder.reset();
    EXPECT_EQ(o.exitCode, c.exit) << o.err;
    EXPECT_EQ(masked(o.out), c.out);
    const std::string line = c.error ? "finddups: error " + std::to_string(c.error) + ": " : "";
    EXPECT_TRUE(c.exit == 0 ? o.err.empty()
                : c.exit == 1
                    ? o.err.starts_with(line)
                    : o.err.starts_with("finddups: ") && o.err.ends_with(finddups::Usage()))
        << o.err;
    struct stat after {};
    ASSERT_EQ(::stat((dir / "cat.M17").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(snapshot(dir.path()), files);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(CommandLines, FinddupsTest, testing::Values(
    Case{"Defaults", {"cat.M17"}, 0, subjects},
    Case{"Fingerprint", {"--method", "fingerprint", "cat.M17"}, 0, subjects},
    Case{"CoreAfterPath", {"cat.M17", "--method=core"}, 0, subjects},
    Case{"Words95", {"--param", "95", "--method", "words", "cat.M17"}, 0, subjects},
    Case{"Acronym", {"--method", "acronym", "cat.M17"}, 0, subjects},
    Case{"NGram1", {"--method=ngram", "--param=1", "cat.M17"}, 0, subjects},
    Case{"Stemmed", {"--method", "stemmed", "--format", "tsv", "cat.M17"}, 0, subjects},
    Case{"Nearest3", {"--method", "nearest", "--param", "3", "--", "cat.M17"}, 0, subjects},
    Case{"Json", {"--format=json", "--category", "publishers", "cat.M17"}, 0,
         "[\n{\"certainty\": *, \"reason\": *, \"members\": ["
         "{\"code\": 4, \"name\": \"Caf" + fffd + fffd + fffd + fffd + " \\\"Noir\\\" \xC3\xBC\\u0001\", \"items\": 1, \"target\": false}, "
         "{\"code\": 7, \"name\": \"caf" + fffd + fffd + fffd + fffd + " \\\"noir\\\" \xC3\xBC\\u0001!\", \"items\": 2, \"target\": true}]}\n]\n"},
    Case{"TsvBytesAsStored", {"--category=publishers", "cat.M17"}, 0, header +
         "1\t*\t*\t4\tCaf\xE9\xED\xA0\x80 \"Noir\" \xC3\xBC\x01\t1\t\n1\t*\t*\t7\tcaf\xE9\xED\xA0\x80 \"noir\" \xC3\xBC\x01!\t2\tyes\n"},
    Case{"JsonNone", {"--category=types", "--format", "json", "cat.M17"}, 0, "[]\n"},
    Case{"TsvNone", {"--category", "types", "cat.M17"}, 0, header},
    Case{"Help", {"cat.M17", "--help"}, 0, finddups::Usage()},
    Case{"NoFile", {}, 2, ""},
    Case{"TwoFiles", {"cat.M17", "old.M17"}, 2, ""},
    Case{"ParamWithoutOne", {"--param", "2", "cat.M17"}, 2, ""},
    Case{"ParamOutOfRange", {"--method", "ngram", "--param", "4", "cat.M17"}, 2, ""},
    Case{"ParamBelowRange", {"--method=words", "--param=49", "cat.M17"}, 2, ""},
    Case{"ParamNotANumber", {"--method=nearest", "--param=2x", "cat.M17"}, 2, ""},
    Case{"UnknownFormat", {"--format", "xml", "cat.M17"}, 2, ""},
    Case{"UnknownCategory", {"--category", "authors", "cat.M17"}, 2, ""},
    Case{"UnknownOption", {"--bogus", "cat.M17"}, 2, ""},
    Case{"MissingValue", {"cat.M17", "--method"}, 2, ""},
    Case{"MissingFile", {"none.M17"}, 1, "", err::CannotFindFile},
    Case{"Folder", {"."}, 1, "", err::NotValidPath},
    Case{"OtherMarker", {"old.M17"}, 1, "", err::NotADatabase},
    Case{"HeldByCombine", {"cat.M17"}, 1, "", err::FileInUse}),
    [](const auto& row) { return row.param.name; });
// clang-format on

} // namespace
