// The pairs of entries ruled out as not duplicates in one category: both
// names and when, with the taking back of the pairs chosen.
#pragma once

#include "ruledout.h"

#include <QDialog>

#include <functional>
#include <vector>

class QPushButton;
class QTreeWidget;

class frmRuledOut : public QDialog {
    Q_OBJECT
public:
    // reload reads the pairs; takeBack takes the chosen ones back (with its
    // own error report) and returns true when it did, after which the list
    // is read anew.
    frmRuledOut(QWidget* parent, std::function<std::vector<ruledout::Pair>()> reload,
                std::function<bool(const std::vector<ruledout::Pair>&)> takeBack);

private:
    void fill();

    std::function<std::vector<ruledout::Pair>()> reload_;
    std::vector<ruledout::Pair> pairs_;
    QTreeWidget* tree_;
    QPushButton* takeBackButton_;
};
