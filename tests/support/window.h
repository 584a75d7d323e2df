// What the combine window tests share: the fixture that answers the dialog
// seam, the window started through it, its controls found by name and the
// lists read back.
#pragma once

#include "catalogues.h"
#include "frmcombine.h"
#include "support.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

// Failure messages show QStrings as text.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

inline QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The seam answers everything and records what was shown.
void resetSeam();
// Closes whatever a test left in the catalogue variables.
void releaseCatalogue();

// A window test: the seam reset before; the menu's dialog hook and the
// catalogue released after; a fresh folder.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { resetSeam(); }
    void TearDown() override;
    TempDir dir{"combine"};
};

// Shows a new window with these dialog answers queued (nullopt cancels) and
// waits until its first activation has run: the window is active or gone, or
// done says so.
std::unique_ptr<frmCombine> startWindow(const std::vector<std::optional<std::string>>& answers,
                                        const std::optional<QString>& startupPath = std::nullopt,
                                        const std::function<bool()>& done = {});
ListBox* list(QWidget& w, const char* name);
int rowOf(ListBox* box, const QString& text);
// Chooses a category as the user does.
void chooseCategory(QWidget& w, int category);
// Marks the rows showing these texts in List1 and makes the row showing
// target List2's current row (none for nullopt).
void mark(QWidget& w, const QStringList& marked, const std::optional<QString>& target);
// Clicks the named button, or triggers the named action, with these answers
// queued for the message boxes it shows.
void press(QWidget& w, const char* name, std::deque<int> answers = {});

} // namespace testsupport
