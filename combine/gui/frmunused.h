// The unused entries dialog: the entries of a category that no item refers
// to, all checked, with their count, and the deletion of the checked ones.
#pragma once

#include "unused.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <vector>

class QTreeWidget;

class frmUnused : public QDialog {
    Q_OBJECT
public:
    // deleteChecked runs the deletion (with its own confirmation) and
    // returns true when it went through; the dialog then closes.
    frmUnused(QWidget* parent, const QString& caption, const std::vector<unused::Entry>& entries,
              std::function<bool(const std::vector<std::int32_t>&)> deleteChecked);

    // The codes of the checked rows, in list order.
    std::vector<std::int32_t> checked() const;

private:
    QTreeWidget* tree_;
    std::function<bool(const std::vector<std::int32_t>&)> deleteChecked_;
};
