// The dialog of the pairs ruled out as not duplicates.
#include "frmruledout.h"

#include "ui.h"
#include "wording.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

frmRuledOut::frmRuledOut(QWidget* parent, std::function<std::vector<ruledout::Pair>()> reload,
                         std::function<bool(const std::vector<ruledout::Pair>&)> takeBack)
    : QDialog(parent), reload_(std::move(reload)) {
    setObjectName(QStringLiteral("frmRuledOut"));
    setWindowTitle(QStringLiteral("Ruled Out as Not Duplicates"));
    resize(640, 360);

    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("ruledOutTree"));
    tree_->setRootIsDecorated(false);
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->setHeaderLabels(
        {QStringLiteral("Entry"), QStringLiteral("Not the same as"), QStringLiteral("When")});
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tree_->header()->setSectionResizeMode(1, QHeaderView::Stretch);

    auto* buttons = new QDialogButtonBox(this);
    takeBackButton_ =
        buttons->addButton(QStringLiteral("&Take Back"), QDialogButtonBox::ActionRole);
    takeBackButton_->setObjectName(QStringLiteral("takeBackButton"));
    takeBackButton_->setToolTip(
        QStringLiteral("The finder may suggest the chosen pairs together again"));
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(tree_, &QTreeWidget::itemSelectionChanged, this,
            [this] { takeBackButton_->setEnabled(!tree_->selectedItems().empty()); });
    connect(takeBackButton_, &QPushButton::clicked, this, [this, takeBack] {
        std::vector<ruledout::Pair> chosen;
        for (QTreeWidgetItem* row : tree_->selectedItems())
            chosen.push_back(pairs_[static_cast<size_t>(row->data(0, Qt::UserRole).toInt())]);
        if (!chosen.empty() && takeBack(chosen))
            fill();
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_);
    layout->addWidget(buttons);
    fill();
}

void frmRuledOut::fill() {
    pairs_ = reload_();
    tree_->clear();
    for (size_t i = 0; i < pairs_.size(); ++i) {
        auto* row = new QTreeWidgetItem(tree_);
        row->setText(0, ui::utf8(pairs_[i].name1));
        row->setText(1, ui::utf8(pairs_[i].name2));
        row->setText(2, ui::utf8(wording::ShownTime(pairs_[i].at)));
        row->setData(0, Qt::UserRole, static_cast<int>(i));
    }
    tree_->resizeColumnToContents(2);
    takeBackButton_->setEnabled(false);
}
