// The combine operation: prompts, the statements' effect on the catalogue,
// the lists afterwards, and the cases that change nothing.
#include "window.h"

#include <filesystem>
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

// A press of Combine with rows marked and a target chosen: the prompt asked
// with No the default, and after Yes exactly the merged entries gone from
// both lists and the catalogue, their items re-pointed to the target and the
// combine recorded, marks and target left as they were. Refusals, a No and
// failing statements leave the lists and the catalogue as they were; a
// failure rolls back what ran before it and ends the program.
TEST_F(WindowTest, CombineButton) {
    const QString del = QStringLiteral("Are you sure you want to delete the selected items?");
    const QString refused = QStringLiteral("An error has ended the program.\n\nError %1: refused")
                                .arg(engine::err::ConstraintViolation);
    const std::string update2 = "UPDATE OF [Subject 2] ON [MERVANE RECORDS]";
    const int yes = ui::mb::Yes, no = ui::mb::No;
    const struct {
        int category;
        QStringList marked;
        std::optional<QString> target;
        int answer; // 0: none asked for
        QString message;
        std::string trigger; // makes a statement fail, which ends the program
    } rows[] = {
        // clang-format off
        {0, {"Computer"}, "Computers", yes, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "Computers", yes, into("Computer, Computing", "Computers"), ""},
        {0, {"Computer", "Computers"}, "Computers", yes, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "", yes, del, ""},
        {0, {"", "Computer"}, "Computers", yes, into(", Computer", "Computers"), ""},
        {0, {""}, "Computing", yes, into("", "Computing"), ""},
        {0, {qs(obrien), qs(bracket)}, qs(longName), yes, into(bracket + ", " + obrien, longName), ""},
        {1, {"Penguin", "Penguin  Books"}, "Penguin Books", yes,
         into("Penguin, Penguin  Books", "Penguin Books"), ""},
        {2, {"Books"}, "Book", yes, into("Books", "Book"), ""},
        {2, {"CD", "Book"}, "", yes, del, ""},
        {0, {}, std::nullopt, 0, nothing, ""},
        {0, {}, "Computers", 0, nothing, ""},
        {0, {"Computers"}, "Computers", 0, nothing, ""},
        {0, {"Computer"}, std::nullopt, 0, "Please choose the entry to combine into.", ""},
        {0, {"Computer"}, "Computers", no, into("Computer", "Computers"), ""},
        {0, {"Computer", "Computing"}, "Computers", yes, into("Computer, Computing", "Computers"), update2},
        {0, {"Computer"}, "Computers", yes, into("Computer", "Computers"), "DELETE ON [Subjects]"}};
    // clang-format on
    std::filesystem::create_directory(dir / "expected");
    for (const auto& r : rows) {
        const std::string name = std::to_string(&r - rows) + ".M17", path = dir / name;
        SCOPED_TRACE(name);
        resetSeam();
        std::vector<std::string> extra;
        if (!r.trigger.empty())
            extra.push_back("CREATE TRIGGER [stop] BEFORE " + r.trigger +
                            " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        writeCatalogue(path, subjects, publishers, types, items, extra);
        auto w = startWindow({path});
        chooseCategory(*w, r.category);
        mark(*w, r.marked, r.target);
        ListBox* l2 = list(*w, "List2");
        const Snapshot before = snapshot(*w);
        const bool done = r.answer == yes && r.trigger.empty();
        const int target = r.target ? l2->ItemData(l2->ListIndex()) : -2;
        std::set<int> merged;
        for (const QString& text : r.marked)
            if (const int code = l2->ItemData(rowOf(l2, text)); done && code != target)
                merged.insert(code);

        press(*w, "Command2", r.answer ? std::deque{r.answer} : std::deque<int>{});
        const auto& seam = ui::seam();
        ASSERT_EQ(seam.messages.size(), r.trigger.empty() ? 1u : 2u);
        EXPECT_EQ(seam.messages[0].text, r.message);
        if (r.answer) {
            const ui::ShownMessage& m = seam.messages[0];
            EXPECT_TRUE(m.buttons == ui::Buttons::YesNo && m.defaultButton == no &&
                        m.icon == ui::Icon::None && m.title == ui::AppTitle);
        }
        if (!r.trigger.empty()) {
            EXPECT_EQ(seam.messages[1].text, refused);
            EXPECT_EQ(seam.endCode, 1);
        } else {
            EXPECT_FALSE(seam.endCode);
            EXPECT_TRUE(w->MousePointer() == 0 && w->cursor().shape() != Qt::WaitCursor);
        }
        Snapshot expected = before;
        std::erase_if(expected, [&](const auto& row) { return merged.count(std::get<1>(row)); });
        EXPECT_EQ(snapshot(*w), expected);
        EXPECT_EQ(l2->ListIndex() < 0 ? std::nullopt : std::optional(l2->List(l2->ListIndex())),
                  r.target);
        if (done) {
            press(*w, "Command2");
            EXPECT_EQ(seam.messages.back().text, nothing);
        }
        w->close();
        releaseCatalogue();

        // The catalogue as written with the merged entries left out and their
        // items re-pointed, the combine recorded beside it.
        std::vector<Entry> lookups[] = {subjects, publishers, types};
        std::erase_if(lookups[r.category], [&](const Entry& e) { return merged.count(e.code); });
        std::vector<Item> want = items;
        for (Item& it : want)
            for (int col : r.category == 0 ? std::vector{0, 1} : std::vector{r.category + 1})
                it[col] = merged.count(it[col]) ? target : it[col];
        writeCatalogue(dir / ("expected/" + name), lookups[0], lookups[1], lookups[2], want);
        EXPECT_EQ(dump(path, false), dump(dir / ("expected/" + name), false));
        EXPECT_EQ(dump(path, true).count("combine_history"), done ? 1u : 0u);
    }
}

} // namespace
