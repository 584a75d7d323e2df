// What the combine window tests share: catalogues in temporary
// folders, the window started through the seam, reading a catalogue back.
#pragma once

#include "frmcombine.h"

#include <QProcess>
#include <QTemporaryDir>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct Entry {
    int code;
    std::optional<std::string> name; // nullopt: a Null name
};
using Item = std::array<int, 4>; // Subject 1, Subject 2, Publisher, Item Type
using Lookup = std::map<int, std::optional<std::string>>;

// The seam answers everything and records what was shown.
void resetSeam();
// Closes whatever a test left in the catalogue variables.
void releaseCatalogue();

// Writes a catalogue at dir/name with these entries and items, then runs the
// extra statements. Returns its path.
QString writeCatalogue(const QTemporaryDir& dir, const QString& name,
                       const std::vector<Entry>& subjects, const std::vector<Entry>& publishers,
                       const std::vector<Entry>& types, const std::vector<Item>& items,
                       const std::vector<std::string>& extra = {});
Lookup readLookup(const QString& path, const std::string& word);
std::vector<Item> readItems(const QString& path);

// Entries as the lists show them: non-empty names in name order (ASCII
// letters folded), ties in the order written.
std::vector<Entry> listedOrder(std::vector<Entry> entries);

// Shows a new window with these dialog answers queued and waits until its
// first activation has run: the window is active or gone, or done says so.
std::unique_ptr<frmCombine> startWindow(std::vector<std::optional<QString>> answers,
                                        const std::optional<QString>& startupPath = std::nullopt,
                                        const std::function<bool()>& done = {});
ListBox* list(QWidget& w, const char* name);
ComboBox* combo(QWidget& w);
int rowOf(ListBox* box, const QString& text);
// Chooses a category as the user does.
void chooseCategory(QWidget& w, int category);

// The state every fill leaves: both lists alike, the blank row, then exactly
// the expected entries, nothing selected, both enabled. Empty when it holds.
QString listsDiffer(QWidget& w, const std::vector<Entry>& expected);

// Starts the helper that holds path exclusively; true once it holds it.
bool holdExclusively(QProcess& helper, const QString& path);

} // namespace testsupport
