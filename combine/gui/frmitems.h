// The items behind a lookup entry: every field of each item that refers to
// it, in key order, read a page at a time as the table scrolls down, under
// the count of them all.
#pragma once

#include "itemrows.h"

#include <QDialog>

#include <memory>

class frmItems : public QDialog {
    Q_OBJECT
public:
    // Shows the items pages reads, count of them, for the entry named name;
    // the first page is read at once. A failing read is reported in a
    // message box and ends the reading.
    frmItems(QWidget* parent, const QString& name, std::unique_ptr<itemrows::ItemPages> pages,
             long long count);
};
