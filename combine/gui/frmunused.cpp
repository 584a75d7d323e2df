// The unused entries dialog.
#include "frmunused.h"

#include "ui.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

frmUnused::frmUnused(QWidget* parent, const QString& caption,
                     const std::vector<unused::Entry>& entries,
                     std::function<bool(const std::vector<std::int32_t>&)> deleteChecked)
    : QDialog(parent), deleteChecked_(std::move(deleteChecked)) {
    setObjectName(QStringLiteral("frmUnused"));
    setWindowTitle(QStringLiteral("Unused Entries: %1").arg(caption));
    resize(480, 400);
    auto* count = new QLabel(
        ui::plural(static_cast<long long>(entries.size()), "unused entry", "unused entries"), this);
    count->setObjectName(QStringLiteral("countLabel"));
    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("unusedTree"));
    tree_->setRootIsDecorated(false);
    tree_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Code")});
    tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tree_->header()->setStretchLastSection(false);
    for (const unused::Entry& e : entries) {
        auto* row = new QTreeWidgetItem(tree_);
        row->setText(0, ui::utf8(e.name));
        row->setText(1, QString::number(e.code));
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        row->setCheckState(0, Qt::Checked);
        row->setData(0, Qt::UserRole, e.code);
    }
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* del =
        buttons->addButton(QStringLiteral("&Delete Checked"), QDialogButtonBox::DestructiveRole);
    del->setObjectName(QStringLiteral("deleteButton"));
    del->setEnabled(!entries.empty());
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(del, &QPushButton::clicked, this, [this] {
        if (deleteChecked_(checked()))
            accept();
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(count);
    layout->addWidget(tree_);
    layout->addWidget(buttons);
}

std::vector<std::int32_t> frmUnused::checked() const {
    std::vector<std::int32_t> out;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i)
        if (tree_->topLevelItem(i)->checkState(0) == Qt::Checked)
            out.push_back(tree_->topLevelItem(i)->data(0, Qt::UserRole).toInt());
    return out;
}
