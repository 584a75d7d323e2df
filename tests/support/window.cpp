// Shared helpers of the combine window tests.
#include "window.h"

#include "combine1.h"
#include "samplegen.h"

#include <QTest>

#include <algorithm>

namespace testsupport {

void resetSeam() {
    ui::seam().reset();
    ui::seam().testing = true;
}

void releaseCatalogue() {
    for (auto* rs : {&rsFileInfo, &rsSubjects, &rsTypes, &rsPublishers})
        rs->reset();
    dbCatalogue.reset();
}

QString writeCatalogue(const QTemporaryDir& dir, const QString& name,
                       const std::vector<Entry>& subjects, const std::vector<Entry>& publishers,
                       const std::vector<Entry>& types, const std::vector<Item>& items,
                       const std::vector<std::string>& extra) {
    const QString path = dir.filePath(name);
    auto db = samplegen::CreateCatalogue(path.toStdString());
    auto literal = [](const std::optional<std::string>& text) {
        return text ? "'" + QString::fromStdString(*text).replace("'", "''").toStdString() + "'"
                    : std::string("NULL");
    };
    const std::pair<const char*, const std::vector<Entry>*> tables[] = {
        {"Subject", &subjects}, {"Publisher", &publishers}, {"Type", &types}};
    for (const auto& [word, entries] : tables)
        for (const Entry& e : *entries)
            db->Execute("INSERT INTO [" + std::string(word) + "s] VALUES (" +
                        std::to_string(e.code) + ", " + literal(e.name) + ")");
    for (const Item& it : items) {
        std::string values;
        for (int v : it)
            values += (values.empty() ? "" : ", ") + std::to_string(v);
        db->Execute("INSERT INTO [MERVANE RECORDS] ([Subject 1], [Subject 2], [Publisher], "
                    "[Item Type]) VALUES (" +
                    values + ")");
    }
    for (const std::string& sql : extra)
        db->Execute(sql);
    db->Close();
    return path;
}

Lookup readLookup(const QString& path, const std::string& word) {
    auto db = engine::DatabaseEngine().OpenDatabase(path.toStdString());
    auto rs = db->OpenTable(word + "s");
    Lookup rows;
    for (; !rs->Eof(); rs->MoveNext()) {
        const engine::Variant name = rs->Fields().Item(word + " Name").Value();
        rows[rs->Fields().Item(word + " Code").Value().ToLong()] =
            name.IsNull() ? std::nullopt : std::optional(name.ToText());
    }
    return rows;
}

std::vector<Item> readItems(const QString& path) {
    auto db = engine::DatabaseEngine().OpenDatabase(path.toStdString());
    std::vector<Item> items;
    for (auto rs = db->OpenTable("MERVANE RECORDS"); !rs->Eof(); rs->MoveNext()) {
        Item it{};
        for (int i = 0; const char* column : {"Subject 1", "Subject 2", "Publisher", "Item Type"})
            it[static_cast<size_t>(i++)] = rs->Fields().Item(column).Value().ToLong();
        items.push_back(it);
    }
    return items;
}

std::vector<Entry> listedOrder(std::vector<Entry> entries) {
    auto folded = [](std::string s) {
        for (char& c : s)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return s;
    };
    std::erase_if(entries, [](const Entry& e) { return !e.name || e.name->empty(); });
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        return folded(*a.name) < folded(*b.name);
    });
    return entries;
}

std::unique_ptr<frmCombine> startWindow(std::vector<std::optional<QString>> answers,
                                        const std::optional<QString>& startupPath,
                                        const std::function<bool()>& done) {
    ui::seam().fileNames.insert(ui::seam().fileNames.end(), answers.begin(), answers.end());
    auto w = std::make_unique<frmCombine>();
    if (startupPath)
        w->setStartupPath(*startupPath);
    w->show();
    w->activateWindow();
    if (!QTest::qWaitFor([&] { return w->isActiveWindow() || !w->isVisible() || (done && done()); },
                         5000))
        qWarning("the window was not activated");
    return w;
}

ListBox* list(QWidget& w, const char* name) {
    return w.findChild<ListBox*>(QString::fromLatin1(name));
}

ComboBox* combo(QWidget& w) {
    return w.findChild<ComboBox*>(QStringLiteral("Combo3"));
}

int rowOf(ListBox* box, const QString& text) {
    for (int i = 0; i < box->ListCount(); ++i)
        if (box->List(i) == text)
            return i;
    return -1;
}

void chooseCategory(QWidget& w, int category) {
    combo(w)->setCurrentIndex(category);
    emit combo(w)->activated(category);
}

QString listsDiffer(QWidget& w, const std::vector<Entry>& expected) {
    ListBox* lists[] = {list(w, "List1"), list(w, "List2")};
    const int rows = static_cast<int>(expected.size()) + 1;
    if (lists[1]->ListIndex() != -1)
        return QStringLiteral("List2 has a current row");
    for (ListBox* l : lists) {
        if (l->ListCount() != rows || l->model()->rowCount() != rows || !l->Enabled())
            return l->objectName() + " rows: " + QString::number(l->ListCount());
        for (int i = 0; i < rows; ++i) {
            const QString text = i ? QString::fromStdString(*expected[i - 1].name) : QString();
            const int code = i ? expected[i - 1].code : -1;
            if (l->List(i) != text || l->ItemData(i) != code || l->Selected(i))
                return l->objectName() + " row " + QString::number(i) + ": " + l->List(i);
        }
    }
    return {};
}

bool holdExclusively(QProcess& helper, const QString& path) {
    helper.start(QStringLiteral(LOCKHOLDER_EXE), {path});
    QByteArray out;
    while (!out.contains('\n') && helper.waitForReadyRead(10000))
        out += helper.readAllStandardOutput();
    return out.startsWith("ready");
}

} // namespace testsupport
