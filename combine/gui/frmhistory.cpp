// The combine history dialog.
#include "frmhistory.h"

#include "catalogue.h"
#include "ui.h"
#include "wording.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QSaveFile>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString captionOf(const std::string& word) {
    const catalogue::Category* c = catalogue::CategoryOfWord(word);
    return c ? ui::utf8(c->caption) : ui::utf8(word);
}

QString when(const std::string& iso) {
    return ui::utf8(wording::ShownTime(iso));
}

} // namespace

frmHistory::frmHistory(QWidget* parent, Actions actions)
    : QDialog(parent), actions_(std::move(actions)) {
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(QStringLiteral("Combine History"));
    resize(760, 360);

    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("historyTree"));
    tree_->setRootIsDecorated(false);
    tree_->setHeaderLabels({QStringLiteral("When"), QStringLiteral("Category"),
                            QStringLiteral("Combined"), QStringLiteral("Items"),
                            QStringLiteral("Undone")});
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(2, QHeaderView::Stretch);

    auto* buttons = new QDialogButtonBox(this);
    auto add = [&](const char* text, const char* name, QDialogButtonBox::ButtonRole role) {
        QPushButton* b = buttons->addButton(QString::fromUtf8(text), role);
        b->setObjectName(QString::fromUtf8(name));
        return b;
    };
    undoButton_ = add("&Undo", "undoButton", QDialogButtonBox::ActionRole);
    redoButton_ = add("&Redo", "redoButton", QDialogButtonBox::ActionRole);
    csvButton_ = add("Save as &CSV...", "csvButton", QDialogButtonBox::ActionRole);
    forgetButton_ = add("&Forget History...", "forgetButton", QDialogButtonBox::DestructiveRole);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    for (auto [button, action] :
         {std::pair{undoButton_, &actions_.undo}, std::pair{redoButton_, &actions_.redo}})
        connect(button, &QPushButton::clicked, this, [this, action] {
            const history::StepInfo* step = chosen();
            if (step && (*action)(history::StepInfo(*step)))
                fill();
        });
    connect(forgetButton_, &QPushButton::clicked, this, [this] {
        if (actions_.forget())
            fill();
    });
    connect(csvButton_, &QPushButton::clicked, this, &frmHistory::saveCsv);
    connect(tree_, &QTreeWidget::currentItemChanged, this, &frmHistory::updateButtons);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_);
    layout->addWidget(buttons);
    fill();
}

QString frmHistory::describe(const history::StepInfo& step) {
    QStringList parts;
    for (const history::MergeInfo& m : step.merges) {
        if (step.action == "delete") {
            parts << u'\'' + ui::utf8(m.mergedNames) + QStringLiteral("' deleted as unused");
            continue;
        }
        if (step.action == "clear") {
            long long items = 0;
            for (long long c : m.changed)
                items += c;
            parts << QStringLiteral("Second subject cleared where it repeated the first, on %1")
                         .arg(ui::plural(items, "item", "items"));
            continue;
        }
        if (step.action == "rename") {
            parts << u'\'' + ui::utf8(m.mergedNames) + QStringLiteral("' renamed '") +
                         ui::utf8(m.targetName) + u'\'';
            continue;
        }
        const QString target = m.targetName.empty() ? QStringLiteral("(deleted)")
                                                    : u'\'' + ui::utf8(m.targetName) + u'\'';
        parts << u'\'' + ui::utf8(m.mergedNames) + QStringLiteral("' into ") + target;
    }
    return parts.join(QStringLiteral("; "));
}

QString frmHistory::kindName(const history::StepInfo& step) {
    return ui::utf8(step.kind);
}

const history::StepInfo* frmHistory::chosen() const {
    const int row = tree_->indexOfTopLevelItem(tree_->currentItem());
    return row >= 0 && row < static_cast<int>(steps_.size()) ? &steps_[static_cast<size_t>(row)]
                                                             : nullptr;
}

void frmHistory::updateButtons() {
    const history::StepInfo* step = chosen();
    undoButton_->setEnabled(step && step->undoable());
    redoButton_->setEnabled(step && step->redoable);
    csvButton_->setEnabled(!steps_.empty());
    forgetButton_->setEnabled(!steps_.empty());
}

void frmHistory::fill() {
    tree_->clear();
    steps_ = actions_.reload();
    QTreeWidgetItem* first = nullptr;
    for (const history::StepInfo& s : steps_) {
        auto* row = new QTreeWidgetItem(tree_);
        row->setText(0, when(s.at));
        row->setText(1, captionOf(s.category));
        QString text = describe(s);
        if (s.kind == "undo" || s.kind == "redo") {
            QString of = ui::utf8(s.action);
            for (const history::StepInfo& t : steps_)
                if (s.undoes && t.step == *s.undoes)
                    of = kindName(t);
            const QString numbered = QStringLiteral(" of the %1 numbered %2")
                                         .arg(of, QString::number(s.undoes.value_or(0)));
            text = s.kind == "undo"
                       ? QStringLiteral("Undo") + numbered
                       : QStringLiteral("Redo") + numbered + QStringLiteral(": ") + text;
        }
        row->setText(2, text);
        if (s.kind != "undo")
            row->setText(4, s.undoneAt ? when(*s.undoneAt) : QStringLiteral("no"));
        row->setText(3, ui::number(s.items));
        row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        row->setToolTip(2, row->text(2));
        row->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(s.step));
        if (!first && s.undoable())
            first = row;
    }
    for (int c : {0, 1, 3, 4})
        tree_->resizeColumnToContents(c);
    tree_->setCurrentItem(first ? first : tree_->topLevelItem(0));
    updateButtons();
}

void frmHistory::saveCsv() {
    const std::optional<QString> path =
        ui::saveFile(this, QStringLiteral("Save History as CSV"),
                     QStringLiteral("combine-history.csv"), QStringLiteral("CSV files (*.csv)"));
    if (!path)
        return;
    QSaveFile file(*path);
    QString why;
    try {
        const std::string text = history::HistoryCsv(steps_);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(text.data(), static_cast<qint64>(text.size())) !=
                static_cast<qint64>(text.size()) ||
            !file.commit())
            why = file.errorString();
    } catch (const std::exception& e) {
        why = QString::fromUtf8(e.what());
    }
    if (!why.isEmpty())
        ui::msgBox(this, QStringLiteral("The history cannot be saved in '%1': %2").arg(*path, why),
                   ui::mb::Critical);
}
