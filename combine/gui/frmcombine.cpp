// The combine window: layout and menu bar, start-up and opening of a
// catalogue, the end of the program, the lookup lists and the combine
// operation.
#include "frmcombine.h"
#include "icon.h"

#include "combine1.h"
#include "countdelegate.h"
#include "fingerprint.h"
#include "listcounts.h"
#include "listmenu.h"
#include "listtips.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <new>
#include <stdexcept>

namespace {

// The window's font, and the labels' larger one. Where MS Sans Serif is
// missing the nearest sans serif face stands in.
QFont windowFont(double points) {
    QFont f;
    f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                   QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                   QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setWeight(QFont::Bold);
    return f;
}

// The about box's text: the program, its version and the libraries it runs
// on, with the versions they give at run time.
QString aboutText() {
    return QStringLiteral("Combine Utility, version %1\n"
                          "Merges duplicate subjects, publishers and media types of %2 "
                          "catalogues.\n\n"
                          "Libraries:\nQt %3\nSQLite %4\nICU %5\nSnowball stemmer (libstemmer)")
        .arg(QStringLiteral(PROJECT_VERSION), QString::fromUtf8(catalogue::ProductVersion),
             QString::fromLatin1(qVersion()), ui::utf8(engine::DatabaseEngine().Version()),
             ui::utf8(dedupe::icuVersion()));
}

engine::Recordset& openTable(const std::unique_ptr<engine::Recordset>& rs) {
    if (!rs)
        throw engine::Error(engine::err::ObjectNotSet, "Object variable not set");
    return *rs;
}

} // namespace

frmCombine::frmCombine(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmCombine"));
    setWindowTitle(QStringLiteral("VORNA Mervane Subject, Publisher, Media Type Combine Utility"));
    setWindowIcon(drawIcon());
    setFont(windowFont(8.25));
    // The window's colours are the system's window background and text,
    // which Qt calls Base and Text.
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    pal.setColor(QPalette::WindowText, pal.color(QPalette::Text));
    setPalette(pal);
    setAutoFillBackground(true);
    move(px(1230), px(2730));
    // The controls live in the client area, which the menu bar sits above:
    // the window is as tall as both.
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(px(9150), px(3825));

    Combo3 = new ComboBox(client);
    Combo3->setObjectName(QStringLiteral("Combo3"));
    Combo3->setGeometry(px(4800), px(360), px(2655), px(315));

    Label1 = new QLabel(QStringLiteral("Combine:"), client);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(px(3120), px(360), px(1575), px(255));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label1->setFont(windowFont(9.75));
    Label1->setTextFormat(Qt::PlainText);

    Label2 = new QLabel(QStringLiteral("-->"), client);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(px(3720), px(1080), px(375), px(255));
    Label2->setFont(windowFont(9.75));
    Label2->setTextFormat(Qt::PlainText);

    Command1 = new QPushButton(QStringLiteral("&Done"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(px(7800), px(120), px(1215), px(495));

    Command2 = new QPushButton(QStringLiteral("&Combine..."), client);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(px(7680), px(1560), px(1335), px(495));

    List1 = new ListBox(client);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setGeometry(px(240), px(960), px(3375), px(2760));
    List1->setSelectionMode(QAbstractItemView::ExtendedSelection);

    List2 = new ListBox(client);
    List2->setObjectName(QStringLiteral("List2"));
    List2->setGeometry(px(4200), px(960), px(3375), px(2760));
    List2->setSelectionMode(QAbstractItemView::SingleSelection);

    // Neither button answers Enter or Esc.
    for (QPushButton* b : {Command1, Command2}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    // The flat look: single-line borders, no sunken frames.
    for (ListBox* l : {List1, List2}) {
        l->setFrameShape(QFrame::Box);
        l->setFrameShadow(QFrame::Plain);
    }

    setTabOrder(Combo3, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, List1);
    setTabOrder(List1, List2);
    Combo3->setFocus();

    connect(Command1, &QPushButton::clicked, this, &frmCombine::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmCombine::Command2_Click);
    connect(Combo3, &ComboBox::Click, this, &frmCombine::Combo3_Click);
    counts_ = new ListCounts(this, Combo3);
    for (ListBox* list : {List1, List2}) {
        list->setItemDelegate(
            new CountDelegate(list, [this](std::int32_t code) { return counts_->shown(code); }));
        new ListTips(list, *counts_, Combo3);
    }
    menu_ = new ListMenu(this, List1, List2, Combo3, *counts_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(buildMenuBar());
    layout->addWidget(client);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    Form_Load();
}

QMenuBar* frmCombine::buildMenuBar() {
    auto* bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("menuBar"));
    // The menus in the system's menu font, not the window's.
    bar->setFont(QApplication::font(bar));
    const ListMenu::Actions a = menu_->actions();
    auto* help = new QAction(QStringLiteral("&Contents"), this);
    help->setObjectName(QStringLiteral("actionHelpContents"));
    help->setShortcut(QKeySequence(Qt::Key_F1));
    help->setShortcutContext(Qt::WindowShortcut);
    auto* about = new QAction(QStringLiteral("&About"), this);
    about->setObjectName(QStringLiteral("actionAbout"));
    addAction(help);
    connect(help, &QAction::triggered, this, &frmCombine::mnuHelpContents_Click);
    connect(about, &QAction::triggered, this, &frmCombine::mnuHelpAbout_Click);

    // The entries in their menus' order; no title takes Alt+D or Alt+C,
    // which belong to the buttons.
    QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
    edit->addAction(a.undo);
    edit->addAction(a.redo);
    edit->addAction(a.rename);
    edit->addAction(a.likeThis);
    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    view->addAction(a.showCounts);
    view->addAction(a.showItems);
    QMenu* tools = bar->addMenu(QStringLiteral("&Tools"));
    tools->addAction(a.findDuplicates);
    tools->addAction(a.unusedEntries);
    tools->addAction(a.clearRepeated);
    tools->addAction(a.history);
    QMenu* helpMenu = bar->addMenu(QStringLiteral("&Help"));
    helpMenu->addAction(help);
    helpMenu->addAction(about);
    for (QMenu* m : {edit, view, tools, helpMenu}) {
        m->setToolTipsVisible(true);
        connect(m, &QMenu::aboutToShow, menu_, &ListMenu::updateActions);
    }
    return bar;
}

void frmCombine::setStartupPath(const QString& path) {
    startupPath_ = QFileInfo(path).absoluteFilePath();
}

void frmCombine::SetMousePointer(std::int16_t value) {
    mousePointer_ = value;
    if (value == Hourglass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

template <class Body> void frmCombine::atEdge(Body&& body) {
    if (ui::programEnded())
        return;
    ++eventDepth_;
    try {
        body();
    } catch (const engine::Error& e) {
        ui::reportUnhandledError(this, e.Number(), ui::utf8(e.Text()));
    } catch (const std::bad_alloc&) {
        ui::reportUnhandledError(this, engine::err::OutOfMemory, QStringLiteral("Out of memory"));
    } catch (const std::exception& e) {
        ui::reportUnhandledError(this, engine::err::InternalError, QString::fromUtf8(e.what()));
    }
    --eventDepth_;
}

bool frmCombine::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    // The window becomes active again when a dialog of its own closes; that
    // is no activation of the window, so it is not passed on while one of
    // its event procedures runs.
    if (e->type() == QEvent::WindowActivate && eventDepth_ == 0)
        Form_Activate();
    return handled;
}

void frmCombine::closeEvent(QCloseEvent* e) {
    Form_Unload();
    e->accept();
}

void frmCombine::Form_Load() {
    atEdge([&] { FirstActivate = -1; });
}

void frmCombine::Form_Activate() {
    atEdge([&] {
        if (FirstActivate) {
            SelectCatalogue();
            FirstActivate = 0;
        }
    });
}

// Shows the open dialog and opens the chosen file. A cancelled dialog or a
// refused file is reported and unloads the window; errors of the opening
// itself pass on to the caller.
void frmCombine::SelectCatalogue() {
    CMDialog1.HelpFile = QStringLiteral("M17.HLP");
    CMDialog1.HelpCommand = 1;
    CMDialog1.HelpContext = 240;
    CMDialog1.DialogTitle = QStringLiteral("Opening ") +
                            QString::fromUtf8(catalogue::ProductVersion) +
                            QStringLiteral(" Database");
    CMDialog1.DefaultExt = QStringLiteral("M17");
    CMDialog1.InitDir = QCoreApplication::applicationDirPath();
    CMDialog1.Flags = ui::CommonDialog::HideReadOnly + ui::CommonDialog::HelpButton +
                      ui::CommonDialog::FileMustExist + ui::CommonDialog::NoReadOnlyReturn;
    CMDialog1.FileName = QStringLiteral("*.M17");
    CMDialog1.Filter = QStringLiteral("Mervane 1.7 Database (*.M17)|*.M17|"
                                      "Mervane 1.5 Database (*.M15)|*.M15|"
                                      "Mervane 1.3 Database (*.MRV)|*.MRV");
    CMDialog1.FilterIndex = 1;
    CMDialog1.CancelError = true;
    CMDialog1.preset = startupPath_;
    startupPath_.reset();

    // Only the showing of the dialog is guarded: a cancel arrives as an error.
    try {
        CMDialog1.showOpen(this);
    } catch (const std::exception&) {
        ui::msgBox(this, QStringLiteral("Error opening Database!"), ui::mb::OkOnly);
        close();
        return;
    }

    const QString path = CMDialog1.FileName;
    if (OpenCatalogue(path))
        return;
    ui::msgBox(this, QStringLiteral("Error occurred opening file: '") + path + u'\'',
               ui::mb::Critical, QStringLiteral("Error Opening File!"));
    close();
}

// Opens the catalogue at path exclusively with its four tables and lists the
// subjects. Returns false, after a beep, when the version check refuses the
// file; raises the engine's errors of the exclusive open and of the tables.
bool frmCombine::OpenCatalogue(const QString& path) {
    SetMousePointer(Hourglass);
    bool result = false;
    const std::string file = path.toStdString();
    if (CheckCatalogueVersion(file)) {
        result = true;
        // Qt reads "[*]" in a title as its modified-marker; doubled it shows as itself.
        QString shownPath = CMDialog1.FileName;
        shownPath.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
        setWindowTitle(ui::AppTitle + QStringLiteral(" - [") + shownPath + u']');
        dbCatalogue = engine::DatabaseEngine().OpenDatabase(file, true);
        rsFileInfo = dbCatalogue->OpenTable(catalogue::InfoTable);
        rsSubjects = dbCatalogue->OpenTable("Subjects");
        rsTypes = dbCatalogue->OpenTable("Types");
        rsPublishers = dbCatalogue->OpenTable("Publishers");
        for (const catalogue::Category& category : catalogue::Categories())
            Combo3->AddItem(ui::utf8(category.caption));
        Combo3->SetListIndex(0);
    } else {
        ui::beep();
    }
    SetMousePointer(DefaultPointer);
    return result;
}

void frmCombine::Command1_Click() {
    atEdge([&] { close(); });
}

// Closes the tables and the database, every failure ignored, and releases
// them so that the file is free at once.
void frmCombine::Form_Unload() {
    atEdge([&] {
        auto ignoring = [](auto&& step) {
            try {
                step();
            } catch (const std::exception&) {
            }
        };
        for (auto* rs : {&rsFileInfo, &rsTypes, &rsPublishers, &rsSubjects})
            ignoring([rs] {
                if (*rs)
                    (*rs)->Close();
            });
        ignoring([] {
            if (dbCatalogue)
                dbCatalogue->Close();
        });
        rsFileInfo.reset();
        rsTypes.reset();
        rsPublishers.reset();
        rsSubjects.reset();
        dbCatalogue.reset();
    });
}

void frmCombine::mnuHelpContents_Click() {
    atEdge([&] { ui::showHelp(this, QStringLiteral("M17.HLP"), ui::HelpContentsCommand, 0); });
}

void frmCombine::mnuHelpAbout_Click() {
    atEdge([&] {
        ui::msgBox(this, aboutText(), ui::mb::Information, QStringLiteral("About ") + ui::AppTitle);
    });
}

void frmCombine::Combo3_Click() {
    atEdge([&] { refillLists(); });
}

void frmCombine::showChange(const CatalogueChange& change) {
    emit changed(change);
    atEdge([&] { refillLists(); });
}

// Fills the lists with the entries of the category chosen in Combo3.
void frmCombine::refillLists() {
    switch (Combo3->ListIndex()) {
    case 0:
        FillLists(openTable(rsSubjects), "Subject");
        break;
    case 1:
        FillLists(openTable(rsPublishers), "Publisher");
        break;
    case 2:
        FillLists(openTable(rsTypes), "Type");
        break;
    default:
        break;
    }
}

// Fills both lists with the blank row and the entries of LookupTable in the
// order of its name index, starting after the empty name. Raises the
// engine's errors, and ItemNotFound when the table lacks the name or the
// code field of LookupWord.
void frmCombine::FillLists(engine::Recordset& LookupTable, const std::string& LookupWord) {
    FillListsState& s = fillState_;
    s.SavedPointer = MousePointer();
    SetMousePointer(Hourglass);

    List1->SetEnabled(false);
    List1->Clear();
    List2->SetEnabled(false);
    List2->Clear();
    {
        ListBox::Batch batch1(*List1);
        ListBox::Batch batch2(*List2);

        List1->AddItem(QString());
        List1->SetItemData(List1->NewIndex(), -1);
        List2->AddItem(QString());
        List2->SetItemData(List2->NewIndex(), -1);

        const catalogue::Category* category = catalogue::CategoryOfWord(LookupWord);
        if (!category)
            throw engine::Error(engine::err::InvalidOperation,
                                "'" + LookupWord + "' is no lookup word of a catalogue.");
        LookupTable.Index(category->nameIndex);

        const std::string& nameField = category->nameField;
        const std::string& codeField = category->codeField;
        bool nameFound = false;
        bool codeFound = false;
        const int fieldCount = LookupTable.Fields().Count();
        for (s.FieldIndex = 0; s.FieldIndex <= fieldCount - 1; ++s.FieldIndex) {
            const std::string& name = LookupTable.Fields().Item(s.FieldIndex).Name();
            s.FieldName = ui::utf8(name);
            if (name == nameField) {
                s.NameFieldIndex = s.FieldIndex;
                nameFound = true;
            } else if (name == codeField) {
                s.CodeFieldIndex = s.FieldIndex;
                codeFound = true;
            }
        }
        // Rows read from whatever field stands at a stale position would be
        // wrong without any sign of it.
        if (!nameFound || !codeFound)
            throw engine::Error(engine::err::ItemNotFound,
                                "The table '" + LookupTable.TableName() + "' has no field '" +
                                    (nameFound ? codeField : nameField) + "'.");

        LookupTable.Seek(">", engine::Variant(std::string()));
        if (!LookupTable.NoMatch()) {
            const engine::FieldCollection fields = LookupTable.Fields();
            while (!LookupTable.Eof()) {
                List1->AddItem(ui::utf8(fields.Item(s.NameFieldIndex).Value().ToText()));
                List1->SetItemData(List1->NewIndex(),
                                   fields.Item(s.CodeFieldIndex).Value().ToLong());
                List2->AddItem(ui::utf8(fields.Item(s.NameFieldIndex).Value().ToText()));
                List2->SetItemData(List2->NewIndex(),
                                   fields.Item(s.CodeFieldIndex).Value().ToLong());
                LookupTable.MoveNext();
            }
        }
    }

    List1->SetEnabled(true);
    List2->SetEnabled(true);
    SetMousePointer(s.SavedPointer);
}

// The item data of List2's current row. Raises when it has none.
std::int32_t frmCombine::targetCode() const {
    return List2->ItemData(List2->ListIndex());
}

// Re-points the items that refer to the entries selected in List1 to the
// entry chosen in List2, deletes those entries and removes their rows, after
// the user's confirmation. The statements run in one transaction, together
// with the combine's record in the history where the catalogue keeps one.
void frmCombine::Command2_Click() {
    atEdge([&] {
        QString names;
        std::string codes;
        std::vector<std::int32_t> collected;
        const int count = List1->ListCount();
        for (int i = 0; i <= count - 1; ++i) {
            if (!List1->Selected(i))
                continue;
            if (List2->ListIndex() < 0) {
                ui::msgBox(this, QStringLiteral("Please choose the entry to combine into."),
                           ui::mb::OkOnly);
                return;
            }
            const std::int32_t code = List1->ItemData(i);
            if (code != targetCode()) {
                names += QStringLiteral(", ") + List1->List(i);
                codes += ", " + std::to_string(code);
                collected.push_back(code);
            }
        }
        if (names.startsWith(QStringLiteral(", ")))
            names.remove(0, 2);
        if (codes.starts_with(", "))
            codes.erase(0, 2);

        if (codes.empty()) {
            ui::msgBox(this, QStringLiteral("Nothing to Combine!"), ui::mb::OkOnly);
            return;
        }

        const QString targetText = List2->List(List2->ListIndex());
        const QString prompt =
            targetText.isEmpty()
                ? QStringLiteral("Are you sure you want to delete the selected items?")
                : QStringLiteral("Are you sure you want to combine '") + names +
                      QStringLiteral("' into '") + targetText + QStringLiteral("'?");
        if (ui::msgBox(this, prompt, ui::mb::YesNo + ui::mb::DefaultButton2) != ui::mb::Yes)
            return;

        if (!dbCatalogue)
            throw engine::Error(engine::err::ObjectNotSet, "Object variable not set");
        const catalogue::Category* category = catalogue::CategoryAt(Combo3->ListIndex());
        // A combine of many entries re-points many items: show the hourglass
        // while it runs. An error ends the program, so only success restores it.
        const std::int16_t savedPointer = MousePointer();
        SetMousePointer(Hourglass);
        if (category) {
            // All statements of one combine, and its record in the history,
            // take effect together or not at all: a failure rolls back
            // whatever ran before it.
            history::Merge merge;
            merge.codes = collected;
            merge.names = names.toStdString();
            merge.targetName = targetText.toStdString();
            merge.target = [this] { return targetCode(); };
            emit changed(CatalogueOperation(*dbCatalogue).Combine(*category, {merge}));
        }

        ListBox::Batch batch1(*List1);
        ListBox::Batch batch2(*List2);
        const int remaining = List1->ListCount();
        for (int i = remaining - 1; i >= 0; --i) {
            if (List1->Selected(i) && List1->ItemData(i) != targetCode()) {
                List1->RemoveItem(i);
                List2->RemoveItem(i);
            }
        }
        SetMousePointer(savedPointer);
    });
}
