// The combine window: its controls, the opening of a catalogue, the lookup
// lists and the combine operation.
#pragma once

#include "engine.h"
#include "listbox.h"
#include "ui.h"

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class ListTools;

class frmCombine : public QWidget {
    Q_OBJECT
public:
    explicit frmCombine(QWidget* parent = nullptr);

    // A catalogue path given on the command line: the first activation takes
    // it as the open dialog's answer; relative paths count from the current
    // folder.
    void setStartupPath(const QString& path);

    // The mouse pointer setting of the window: 0 the default, 11 the hourglass.
    std::int16_t MousePointer() const { return mousePointer_; }
    void SetMousePointer(std::int16_t value);

public slots:
    // Event procedures. Each catches every error at its edge and reports it
    // as an unhandled error, which ends the program.
    void Form_Load();
    void Form_Activate();
    void Form_Unload();
    void Command1_Click();
    void Combo3_Click();
    void Command2_Click();

signals:
    // A combine has been committed: codes of the category at comboIndex were
    // merged into target (-1: deleted).
    void combined(int comboIndex, const std::vector<std::int32_t>& codes, std::int32_t target,
                  bool recorded);

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

    void SelectCatalogue();
    bool OpenCatalogue(const QString& path);
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
    ListTools* tools_ = nullptr; // the lists' context menu and what it offers
    int eventDepth_ = 0;         // event procedures running, nested ones counted
};
