// The rename dialog: the new name of one lookup entry.
#pragma once

#include <QDialog>

class QLineEdit;

class frmRename : public QDialog {
    Q_OBJECT
public:
    // Shows name, all of it selected, in the name field.
    frmRename(QWidget* parent, const QString& name);

    QString name() const;

private:
    QLineEdit* edit_;
};
