// The rename dialog.
#include "frmrename.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

frmRename::frmRename(QWidget* parent, const QString& name) : QDialog(parent) {
    setObjectName(QStringLiteral("frmRename"));
    setWindowTitle(QStringLiteral("Rename Entry"));
    edit_ = new QLineEdit(name, this);
    edit_->setObjectName(QStringLiteral("nameEdit"));
    edit_->selectAll();
    edit_->setMinimumWidth(320);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QFormLayout(this);
    layout->addRow(QStringLiteral("&Name:"), edit_);
    layout->addRow(buttons);
}

QString frmRename::name() const {
    return edit_->text();
}
