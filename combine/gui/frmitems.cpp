// The items behind a lookup entry.
#include "frmitems.h"

#include "ui.h"

#include <QAbstractTableModel>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// The rows read so far; the view asks for the next page when it scrolls
// near their end.
class ItemsModel : public QAbstractTableModel {
public:
    ItemsModel(QWidget* parent, std::unique_ptr<itemrows::ItemPages> pages)
        : QAbstractTableModel(parent), parent_(parent), pages_(std::move(pages)) {
        for (const std::string& c : pages_->columns())
            headers_ << ui::utf8(c);
    }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(headers_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid())
            return {};
        const auto& value =
            rows_[static_cast<size_t>(index.row())][static_cast<size_t>(index.column())];
        return value ? QVariant(ui::utf8(*value)) : QVariant();
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (o == Qt::Horizontal && role == Qt::DisplayRole && section < headers_.size())
            return headers_[section];
        return QAbstractTableModel::headerData(section, o, role);
    }

    bool canFetchMore(const QModelIndex& parent) const override {
        return !parent.isValid() && !failed_ && !pages_->atEnd();
    }
    // Reads the next page; a failure is reported once and ends the reading.
    void fetchMore(const QModelIndex& parent) override {
        if (!canFetchMore(parent))
            return;
        std::vector<itemrows::Row> page;
        try {
            page = pages_->next();
        } catch (const engine::Error& e) {
            failed_ = true;
            ui::msgBox(parent_,
                       QStringLiteral("The items cannot be read.\n\n%1 (error %2)")
                           .arg(ui::utf8(e.Text()))
                           .arg(e.Number()),
                       ui::mb::Critical);
            return;
        }
        if (page.empty())
            return;
        const int first = static_cast<int>(rows_.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(page.size()) - 1);
        std::move(page.begin(), page.end(), std::back_inserter(rows_));
        endInsertRows();
    }

private:
    QWidget* parent_;
    std::unique_ptr<itemrows::ItemPages> pages_;
    QStringList headers_;
    std::vector<itemrows::Row> rows_;
    bool failed_ = false;
};

} // namespace

frmItems::frmItems(QWidget* parent, const QString& name, std::unique_ptr<itemrows::ItemPages> pages,
                   long long count)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmItems"));
    setWindowTitle(QStringLiteral("Items of '%1'").arg(name));
    resize(860, 480);

    auto* countLabel = new QLabel(ui::plural(count, "item", "items"), this);
    countLabel->setObjectName(QStringLiteral("countLabel"));
    auto* model = new ItemsModel(this, std::move(pages));
    auto* table = new QTableView(this);
    table->setObjectName(QStringLiteral("itemTable"));
    table->setModel(model);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setMaximumSectionSize(320);
    model->fetchMore(QModelIndex());
    table->resizeColumnsToContents();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("closeButton"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(countLabel);
    layout->addWidget(table, 1);
    layout->addWidget(buttons);
}
