// The combine operation: prompts, the statements' effect on the catalogue,
// the lists afterwards, and the cases that change nothing.
#include "window.h"

#include <set>

using namespace testsupport;

namespace {

const std::string obrien = "O'Brien'); DROP TABLE [Subjects];--";
const std::string bracket = "[Bracket] \"quoted\" ; semi";
const std::string longName = [] {
    std::string s;
    for (int i = 0; i < 120; ++i)
        s += "\xc5\x9ctudoj ";
    return s + "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";
}();

const std::vector<Entry> subjects = {{12, "Computer"}, {4, "Computers"}, {31, "Computing"},
                                     {7, obrien},      {5, bracket},     {9, longName}};
const std::vector<Entry> publishers = {{1, "Penguin"}, {2, "Penguin Books"}, {3, "Penguin  Books"}};
const std::vector<Entry> types = {{1, "Book"}, {2, "Books"}, {3, "CD"}};
const std::vector<Item> items = {{12, 31, 1, 1}, {31, 12, 3, 2}, {4, -1, 2, 3},    {-1, 12, -1, 2},
                                 {7, 5, 1, 1},   {5, 9, 3, 3},   {-1, -1, -1, -1}, {12, 12, 2, 2}};
const QString nothing = QStringLiteral("Nothing to Combine!");

QString into(const std::string& names, const std::string& target) {
    return qs("Are you sure you want to combine '" + names + "' into '" + target + "'?");
}

// Both lists' rows: text, item data and mark.
using Snapshot = std::vector<std::tuple<QString, int, bool>>;
Snapshot snapshot(QWidget& w) {
    Snapshot s;
    for (ListBox* l : {list(w, "List1"), list(w, "List2")})
        for (int i = 0; i < l->ListCount(); ++i)
            s.emplace_back(l->List(i), l->ItemData(i), l->Selected(i));
    return s;
}

struct CombineRow {
    const char* name;
    int category;
    QStringList marked;
    QString target;
    QString prompt;
};

class Combine : public WindowTest, public ::testing::WithParamInterface<CombineRow> {};

// The prompt, then exactly the merged entries gone from both lists and the
// catalogue, and their items re-pointed to the target.
TEST_P(Combine, PromptsThenRepointsAndDeletes) {
    const CombineRow& r = GetParam();
    const std::string path = writeCatalogue(dir / "Books.M17", subjects, publishers, types, items);
    auto w = startWindow({path});
    chooseCategory(*w, r.category);
    mark(*w, r.marked, r.target);
    ListBox* l2 = list(*w, "List2");
    const Snapshot before = snapshot(*w);
    const int targetCode = l2->ItemData(l2->ListIndex());
    std::set<int> merged;
    for (const QString& text : r.marked)
        if (const int code = l2->ItemData(rowOf(l2, text)); code != targetCode)
            merged.insert(code);

    press(*w, "Command2", {ui::mb::Yes});
    const auto& seam = ui::seam();
    ASSERT_EQ(seam.messages.size(), 1u);
    const ui::ShownMessage& m = seam.messages[0];
    EXPECT_EQ(m.text, r.prompt);
    EXPECT_EQ(m.buttons, ui::Buttons::YesNo);
    EXPECT_EQ(m.defaultButton, ui::mb::No);
    EXPECT_EQ(m.icon, ui::Icon::None);
    EXPECT_EQ(m.title, ui::AppTitle);

    // Both lists lose exactly the merged rows; marks and target stay.
    Snapshot expected = before;
    std::erase_if(expected, [&](const auto& row) { return merged.count(std::get<1>(row)) > 0; });
    EXPECT_EQ(snapshot(*w), expected);
    EXPECT_EQ(l2->List(l2->ListIndex()), r.target);
    EXPECT_EQ(l2->ItemData(l2->ListIndex()), targetCode);
    EXPECT_TRUE(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
    press(*w, "Command2");
    EXPECT_EQ(seam.messages.back().text, nothing);
    EXPECT_FALSE(seam.endCode);

    w->close();
    std::vector<Item> want = items;
    for (Item& it : want)
        for (int col : r.category == 0 ? std::vector{0, 1} : std::vector{r.category + 1})
            it[col] = merged.count(it[col]) ? targetCode : it[col];
    EXPECT_EQ(readItems(path), want);
    const std::pair<const char*, const std::vector<Entry>*> lookups[] = {
        {"Subject", &subjects}, {"Publisher", &publishers}, {"Type", &types}};
    for (int c = 0; c < 3; ++c) {
        Lookup expectedLookup = lookupOf(*lookups[c].second);
        if (c == r.category)
            std::erase_if(expectedLookup, [&](const auto& e) { return merged.count(e.first); });
        EXPECT_EQ(readLookup(path, lookups[c].first), expectedLookup) << lookups[c].first;
    }
}

const QString del = QStringLiteral("Are you sure you want to delete the selected items?");
INSTANTIATE_TEST_SUITE_P(
    Rows, Combine,
    ::testing::Values(
        CombineRow{"OneSubject", 0, {"Computer"}, "Computers", into("Computer", "Computers")},
        CombineRow{"SeveralSubjects",
                   0,
                   {"Computer", "Computing"},
                   "Computers",
                   into("Computer, Computing", "Computers")},
        CombineRow{"TargetAlsoMarked",
                   0,
                   {"Computer", "Computers"},
                   "Computers",
                   into("Computer", "Computers")},
        CombineRow{"BlankTarget", 0, {"Computer", "Computing"}, "", del},
        CombineRow{
            "BlankRowMarked", 0, {"", "Computer"}, "Computers", into(", Computer", "Computers")},
        CombineRow{"BlankRowAlone", 0, {""}, "Computing", into("", "Computing")},
        CombineRow{"OddNames",
                   0,
                   {qs(obrien), qs(bracket)},
                   qs(longName),
                   into(bracket + ", " + obrien, longName)},
        CombineRow{"Publishers",
                   1,
                   {"Penguin", "Penguin  Books"},
                   "Penguin Books",
                   into("Penguin, Penguin  Books", "Penguin Books")},
        CombineRow{"Types", 2, {"Books"}, "Book", into("Books", "Book")},
        CombineRow{"TypesBlankTarget", 2, {"CD", "Book"}, "", del}),
    byName);

struct NothingRow {
    const char* name;
    QStringList marked;
    std::optional<QString> target;
    int answer; // 0: none asked for
    QString message;
    std::string trigger; // makes a statement fail
};

class NothingChanges : public WindowTest, public ::testing::WithParamInterface<NothingRow> {};

// Refusals, a No and failing statements leave the lists and the catalogue
// as they were; a failure rolls back what ran before it and ends the program.
TEST_P(NothingChanges, ListsAndCatalogueAsTheyWere) {
    const NothingRow& r = GetParam();
    std::vector<std::string> extra;
    if (!r.trigger.empty())
        extra.push_back("CREATE TRIGGER [stop] BEFORE " + r.trigger +
                        " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    const std::string path =
        writeCatalogue(dir / "Books.M17", subjects, publishers, types, items, extra);
    const Dump before = dump(path, true);
    auto w = startWindow({path});
    mark(*w, r.marked, r.target);
    const Snapshot shown = snapshot(*w);
    const int current = list(*w, "List2")->ListIndex();
    press(*w, "Command2", r.answer ? std::deque{r.answer} : std::deque<int>{});

    const auto& seam = ui::seam();
    ASSERT_FALSE(seam.messages.empty());
    EXPECT_EQ(seam.messages.back().text, r.message);
    EXPECT_EQ(seam.endCode, r.trigger.empty() ? std::nullopt : std::optional(1));
    EXPECT_EQ(snapshot(*w), shown);
    EXPECT_EQ(list(*w, "List2")->ListIndex(), current);
    w->close();
    releaseCatalogue();
    EXPECT_EQ(dump(path, true), before);
}

const QString refused = QStringLiteral("An error has ended the program.\n\nError %1: refused")
                            .arg(engine::err::ConstraintViolation);
INSTANTIATE_TEST_SUITE_P(
    Rows, NothingChanges,
    ::testing::Values(
        NothingRow{"NothingMarked", {}, std::nullopt, 0, nothing, ""},
        NothingRow{"NothingMarkedTargetChosen", {}, "Computers", 0, nothing, ""},
        NothingRow{"OnlyTheTargetMarked", {"Computers"}, "Computers", 0, nothing, ""},
        NothingRow{"NoTargetChosen",
                   {"Computer"},
                   std::nullopt,
                   0,
                   "Please choose the entry to combine into.",
                   ""},
        NothingRow{
            "AnswerNo", {"Computer"}, "Computers", ui::mb::No, into("Computer", "Computers"), ""},
        NothingRow{"SecondUpdateFails",
                   {"Computer", "Computing"},
                   "Computers",
                   ui::mb::Yes,
                   refused,
                   "UPDATE OF [Subject 2] ON [MERVANE RECORDS]"},
        NothingRow{"DeleteFails",
                   {"Computer"},
                   "Computers",
                   ui::mb::Yes,
                   refused,
                   "DELETE ON [Subjects]"}),
    byName);

} // namespace
