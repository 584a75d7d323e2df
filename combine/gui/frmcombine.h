// The combine window: its controls below a menu bar, the opening of a
// catalogue, the lookup lists and the combine operation.
#pragma once

#include "engine.h"
#include "listbox.h"
#include "operation.h"
#include "ui.h"

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QMenuBar;
class QPushButton;
class ListCounts;
class ListMenu;

class frmCombine : public QWidget {
    Q_OBJECT
public:
    explicit frmCombine(QWidget* parent = nullptr);

    // Twips to pixels at 96 dots per inch: the controls' places and sizes
    // within the client area, below the menu bar, are given in twips.
    static constexpr int px(int twips) { return twips / 15; }

    // A catalogue path given on the command line: the first activation takes
    // it as the open dialog's answer; relative paths count from the current
    // folder.
    void setStartupPath(const QString& path);

    // The mouse pointer setting of the window: DefaultPointer or Hourglass.
    static constexpr std::int16_t DefaultPointer = 0;
    static constexpr std::int16_t Hourglass = 11;
    std::int16_t MousePointer() const { return mousePointer_; }
    void SetMousePointer(std::int16_t value);

    // Shows the hourglass for its lifetime, then the pointer it found.
    class Busy {
    public:
        explicit Busy(frmCombine& w) : w_(w), saved_(w.MousePointer()) {
            w_.SetMousePointer(Hourglass);
        }
        ~Busy() { w_.SetMousePointer(saved_); }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        frmCombine& w_;
        std::int16_t saved_;
    };

    // After an operation of the lists' menu: announces the change and fills
    // the lists anew, as a choice of the category does.
    void showChange(const CatalogueChange& change);

public slots:
    // Event procedures. Each catches every error at its edge and reports it
    // as an unhandled error, which ends the program.
    void Form_Load();
    void Form_Activate();
    void Form_Unload();
    void Command1_Click();
    void Combo3_Click();
    void Command2_Click();
    // The help file's contents, and the about box.
    void mnuHelpContents_Click();
    void mnuHelpAbout_Click();

signals:
    // An operation on the catalogue has been committed.
    void changed(const CatalogueChange& change);

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    // The working values of FillLists, kept from one fill to the next.
    struct FillListsState {
        std::int16_t SavedPointer = 0;
        std::int16_t NameFieldIndex = 0;
        std::int16_t CodeFieldIndex = 0;
        std::int16_t FieldIndex = 0;
        QString FieldName;
    };

    template <class Body> void atEdge(Body&& body);

    // The menu bar above the client area, offering the lists' menu's actions
    // and the help.
    QMenuBar* buildMenuBar();

    void SelectCatalogue();
    bool OpenCatalogue(const QString& path);
    void refillLists();
    void FillLists(engine::Recordset& LookupTable, const std::string& LookupWord);
    std::int32_t targetCode() const;

    ComboBox* Combo3;
    QLabel* Label1;
    QLabel* Label2;
    QPushButton* Command1;
    QPushButton* Command2;
    ListBox* List1;
    ListBox* List2;
    ui::CommonDialog CMDialog1;

    std::int16_t FirstActivate = 0;
    FillListsState fillState_;
    std::int16_t mousePointer_ = 0;
    std::optional<QString> startupPath_;
    ListCounts* counts_ = nullptr; // the item counts the lists show
    ListMenu* menu_ = nullptr;     // the lists' context menu and what it offers
    int eventDepth_ = 0;           // event procedures running, nested ones counted
};
