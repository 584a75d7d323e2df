// The combine history dialog.
#include "frmhistory.h"

#include "catalogue.h"
#include "ui.h"
#include "wording.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
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

frmHistory::frmHistory(QWidget* parent, std::function<std::vector<history::StepInfo>()> reload,
                       std::function<bool()> undo, std::function<bool()> forget)
    : QDialog(parent), reload_(std::move(reload)) {
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
    undoButton_ =
        buttons->addButton(QStringLiteral("&Undo Last Combine"), QDialogButtonBox::ActionRole);
    undoButton_->setObjectName(QStringLiteral("undoButton"));
    forgetButton_ =
        buttons->addButton(QStringLiteral("&Forget History..."), QDialogButtonBox::DestructiveRole);
    forgetButton_->setObjectName(QStringLiteral("forgetButton"));
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(undoButton_, &QPushButton::clicked, this, [this, undo] {
        if (undo())
            fill();
    });
    connect(forgetButton_, &QPushButton::clicked, this, [this, forget] {
        if (forget())
            fill();
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_);
    layout->addWidget(buttons);
    fill();
}

QString frmHistory::describe(const history::StepInfo& step) {
    QStringList parts;
    for (const history::MergeInfo& m : step.merges) {
        const QString target = m.targetName.empty() ? QStringLiteral("(deleted)")
                                                    : u'\'' + ui::utf8(m.targetName) + u'\'';
        parts << u'\'' + ui::utf8(m.mergedNames) + QStringLiteral("' into ") + target;
    }
    return parts.join(QStringLiteral("; "));
}

void frmHistory::fill() {
    tree_->clear();
    const std::vector<history::StepInfo> steps = reload_();
    bool undoable = false;
    for (const history::StepInfo& s : steps) {
        auto* row = new QTreeWidgetItem(tree_);
        row->setText(0, when(s.at));
        row->setText(1, captionOf(s.category));
        if (s.kind == "undo") {
            row->setText(2, QStringLiteral("Undo of the combine numbered %1").arg(*s.undoes));
            row->setText(4, QString());
        } else {
            row->setText(2, describe(s));
            row->setText(4, s.undoneAt ? when(*s.undoneAt) : QStringLiteral("no"));
            undoable = undoable || !s.undoneAt;
        }
        row->setText(3, ui::number(s.items));
        row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        row->setToolTip(2, row->text(2));
        row->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(s.step));
    }
    for (int c : {0, 1, 3, 4})
        tree_->resizeColumnToContents(c);
    undoButton_->setEnabled(undoable);
    forgetButton_->setEnabled(!steps.empty());
}
