// The duplicate finder dialog.
#include "frmduplicates.h"
#include "ui.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <mutex>

namespace {

constexpr int GroupRole = Qt::UserRole;
constexpr int MemberRole = Qt::UserRole + 1;

} // namespace

// One run of the clustering: what the worker hands back to the dialog.
struct frmDuplicates::Search {
    dedupe::Progress progress;
    std::mutex lock;
    bool done = false;
    std::optional<std::vector<dedupe::Found>> clusters;
    std::string failure;
};

frmDuplicates::frmDuplicates(QWidget* parent, const QString& caption,
                             std::vector<dupes::Entry> entries, const ItemCounts& counts,
                             std::function<bool(const std::vector<dupes::Group>&)> combine)
    : QDialog(parent), entries_(std::move(entries)), counts_(counts), combine_(std::move(combine)) {
    setObjectName(QStringLiteral("frmDuplicates"));
    setWindowTitle(QStringLiteral("Find Duplicates - ") + caption);
    resize(640, 480);
    names_.reserve(entries_.size());
    for (const dupes::Entry& e : entries_)
        names_.push_back(e.name);

    method_ = new QComboBox(this);
    method_->setObjectName(QStringLiteral("methodCombo"));
    method_->addItems({QStringLiteral("Fingerprint"), QStringLiteral("N-gram fingerprint"),
                       QStringLiteral("Stemmed fingerprint"),
                       QStringLiteral("Nearest neighbours")});
    parameter_ = new QSpinBox(this);
    parameter_->setObjectName(QStringLiteral("parameterSpin"));
    parameter_->setRange(1, 3);
    findButton_ = new QPushButton(QStringLiteral("&Find"), this);
    findButton_->setObjectName(QStringLiteral("findButton"));
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("cancelButton"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("findProgress"));
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("summaryLabel"));

    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("ClusterTree"));
    tree_->setHeaderLabels(
        {QStringLiteral("Name"), QStringLiteral("Items"), QStringLiteral("Target")});
    tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tree_->header()->setStretchLastSection(false);
    tree_->setUniformRowHeights(true);

    auto* buttons = new QDialogButtonBox(this);
    targetButton_ =
        buttons->addButton(QStringLiteral("Make &Target"), QDialogButtonBox::ActionRole);
    targetButton_->setObjectName(QStringLiteral("targetButton"));
    markButton_ =
        buttons->addButton(QStringLiteral("&Mark in Lists"), QDialogButtonBox::ActionRole);
    markButton_->setObjectName(QStringLiteral("markButton"));
    combineButton_ =
        buttons->addButton(QStringLiteral("Com&bine Checked"), QDialogButtonBox::ActionRole);
    combineButton_->setObjectName(QStringLiteral("combineButton"));
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeButton"));

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Method:"), this));
    top->addWidget(method_, 1);
    top->addWidget(parameter_);
    top->addWidget(findButton_);
    auto* busyRow = new QHBoxLayout;
    busyRow->addWidget(progress_, 1);
    busyRow->addWidget(cancelButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(busyRow);
    layout->addWidget(summary_);
    layout->addWidget(tree_, 1);
    layout->addWidget(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(50);
    connect(timer_, &QTimer::timeout, this, &frmDuplicates::poll);
    connect(method_, &QComboBox::currentIndexChanged, this, &frmDuplicates::methodChanged);
    connect(findButton_, &QPushButton::clicked, this, &frmDuplicates::find);
    connect(cancelButton_, &QPushButton::clicked, this, &frmDuplicates::cancel);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(targetButton_, &QPushButton::clicked, this, &frmDuplicates::makeTarget);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item->parent())
            makeTarget();
    });
    connect(tree_, &QTreeWidget::currentItemChanged, this, &frmDuplicates::updateButtons);
    connect(tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (column != 0)
            return;
        const int g = item->data(0, GroupRole).toInt();
        const bool on = item->checkState(0) == Qt::Checked;
        if (item->parent())
            groups_[static_cast<size_t>(g)]
                .members[static_cast<size_t>(item->data(0, MemberRole).toInt())]
                .checked = on;
        else
            groups_[static_cast<size_t>(g)].checked = on;
    });
    connect(markButton_, &QPushButton::clicked, this, [this] {
        QTreeWidgetItem* item = tree_->currentItem();
        if (!item)
            return;
        if (item->parent())
            item = item->parent();
        marked_ = groups_[static_cast<size_t>(item->data(0, GroupRole).toInt())];
        accept();
    });
    connect(combineButton_, &QPushButton::clicked, this, [this] {
        if (combine_(groups()))
            accept();
    });

    methodChanged();
    find();
}

frmDuplicates::~frmDuplicates() {
    if (search_)
        search_->progress.cancel = true;
    if (worker_)
        worker_->join();
}

void frmDuplicates::methodChanged() {
    const int m = method_->currentIndex();
    parameter_->setEnabled(m == 1 || m == 3);
    parameter_->setValue(m == 1 ? 2 : 1);
    parameter_->setToolTip(m == 1   ? QStringLiteral("Characters per n-gram")
                           : m == 3 ? QStringLiteral("Largest edit distance")
                                    : QString());
}

void frmDuplicates::find() {
    cancel();
    if (worker_) {
        worker_->join();
        worker_.reset();
    }
    dedupe::Settings settings;
    settings.method = static_cast<dedupe::Method>(method_->currentIndex() +
                                                  static_cast<int>(dedupe::Method::Fingerprint));
    settings.ngram = parameter_->value();
    settings.radius = parameter_->value();
    auto search = std::make_shared<Search>();
    search_ = search;
    progress_->setRange(0, 0);
    summary_->setText(QStringLiteral("Looking for duplicates among %1 entries...")
                          .arg(ui::number(static_cast<long long>(names_.size()))));
    // The worker reads its own copy of the names; the engine stays on this thread.
    worker_ = std::make_unique<std::thread>([search, names = names_, settings] {
        std::optional<std::vector<dedupe::Found>> result;
        std::string failure;
        try {
            result = dedupe::findScored(names, settings, {}, &search->progress);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        std::lock_guard<std::mutex> hold(search->lock);
        search->clusters = std::move(result);
        search->failure = failure;
        search->done = true;
    });
    timer_->start();
    updateButtons();
}

void frmDuplicates::cancel() {
    if (search_)
        search_->progress.cancel = true;
}

void frmDuplicates::poll() {
    if (!search_)
        return;
    const long total = search_->progress.total;
    if (total > 0) {
        progress_->setRange(0, static_cast<int>(std::min<long>(total, 1 << 30)));
        progress_->setValue(static_cast<int>(std::min<long>(search_->progress.done, total)));
    }
    std::optional<std::vector<dedupe::Found>> clusters;
    std::string failure;
    {
        std::lock_guard<std::mutex> hold(search_->lock);
        if (!search_->done)
            return;
        clusters = std::move(search_->clusters);
        failure = search_->failure;
    }
    timer_->stop();
    worker_->join();
    worker_.reset();
    const bool cancelled = search_->progress.cancel;
    search_.reset();
    progress_->setRange(0, 1);
    progress_->setValue(1);
    if (clusters) {
        fill(*clusters);
    } else {
        groups_.clear();
        tree_->clear();
        summary_->setText(cancelled ? QStringLiteral("Cancelled.")
                                    : QStringLiteral("The search failed: ") + ui::utf8(failure));
    }
    updateButtons();
    emit found();
}

void frmDuplicates::fill(const std::vector<dedupe::Found>& clusters) {
    groups_ = dupes::MakeGroups(entries_, clusters, counts_);
    const QSignalBlocker quiet(tree_);
    tree_->clear();
    long long items = 0;
    QList<QTreeWidgetItem*> tops;
    for (size_t g = 0; g < groups_.size(); ++g) {
        const dupes::Group& group = groups_[g];
        auto* top = new QTreeWidgetItem;
        top->setFlags(top->flags() | Qt::ItemIsUserCheckable);
        top->setCheckState(0, Qt::Checked);
        top->setData(0, GroupRole, static_cast<int>(g));
        for (size_t m = 0; m < group.members.size(); ++m) {
            const dupes::Member& mb = group.members[m];
            auto* child = new QTreeWidgetItem(top);
            child->setText(0, ui::utf8(entries_[static_cast<size_t>(mb.entry)].name));
            child->setText(1, ui::number(mb.items));
            child->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
            child->setCheckState(0, Qt::Checked);
            child->setData(0, GroupRole, static_cast<int>(g));
            child->setData(0, MemberRole, static_cast<int>(m));
        }
        showTarget(top);
        items += group.repointed();
        tops.push_back(top);
    }
    tree_->addTopLevelItems(tops);
    tree_->resizeColumnToContents(1);
    summary_->setText(
        QStringLiteral("%1 clusters; combining all would re-point %2 items.")
            .arg(ui::number(static_cast<long long>(groups_.size())), ui::number(items)));
}

void frmDuplicates::showTarget(QTreeWidgetItem* top) {
    const QSignalBlocker quiet(tree_);
    const dupes::Group& g = groups_[static_cast<size_t>(top->data(0, GroupRole).toInt())];
    const dupes::Entry& target =
        entries_[static_cast<size_t>(g.members[static_cast<size_t>(g.target)].entry)];
    top->setText(0, QStringLiteral("%1 entries into '%2'")
                        .arg(static_cast<int>(g.members.size()))
                        .arg(ui::utf8(target.name)));
    top->setText(1, ui::number(g.repointed()));
    top->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    for (int i = 0; i < top->childCount(); ++i) {
        QTreeWidgetItem* child = top->child(i);
        const bool isTarget = i == g.target;
        child->setText(2, isTarget ? QStringLiteral("target") : QString());
        QFont f = child->font(0);
        f.setBold(isTarget);
        child->setFont(0, f);
    }
}

void frmDuplicates::makeTarget() {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item || !item->parent())
        return;
    dupes::Group& g = groups_[static_cast<size_t>(item->data(0, GroupRole).toInt())];
    g.target = item->data(0, MemberRole).toInt();
    showTarget(item->parent());
}

std::vector<dupes::Group> frmDuplicates::groups() const {
    return groups_;
}

void frmDuplicates::updateButtons() {
    const bool idle = !busy();
    cancelButton_->setEnabled(!idle);
    findButton_->setEnabled(true);
    combineButton_->setEnabled(idle && !groups_.empty());
    markButton_->setEnabled(idle && tree_->currentItem());
    targetButton_->setEnabled(idle && tree_->currentItem() && tree_->currentItem()->parent());
}
