// The duplicate finder dialog.
#include "frmduplicates.h"
#include "frmruledout.h"
#include "ui.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>

namespace {

constexpr int GroupRole = Qt::UserRole;
constexpr int MemberRole = Qt::UserRole + 1;
enum Column { NameColumn, CertaintyColumn, ItemsColumn, TargetColumn, ReasonColumn };

// The method list's texts, in the order of dedupe::Method.
const char* const methodTexts[] = {
    "Suggested",   "Core name",          "Similar words",       "Acronym",
    "Fingerprint", "N-gram fingerprint", "Stemmed fingerprint", "Nearest neighbours"};

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
                             Actions actions)
    : QDialog(parent), entries_(std::move(entries)), counts_(counts), actions_(std::move(actions)) {
    setObjectName(QStringLiteral("frmDuplicates"));
    setWindowTitle(QStringLiteral("Find Duplicates - ") + caption);
    resize(760, 520);
    names_.reserve(entries_.size());
    for (const dupes::Entry& e : entries_)
        names_.push_back(e.name);

    method_ = new QComboBox(this);
    method_->setObjectName(QStringLiteral("methodCombo"));
    for (const char* text : methodTexts)
        method_->addItem(QString::fromLatin1(text));
    parameter_ = new QSpinBox(this);
    parameter_->setObjectName(QStringLiteral("parameterSpin"));
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
    tree_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Certainty"),
                            QStringLiteral("Items"), QStringLiteral("Target"),
                            QStringLiteral("Reason")});
    tree_->setColumnWidth(NameColumn, 300);
    tree_->setUniformRowHeights(true);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    tree_->installEventFilter(this);

    checkAllButton_ = new QPushButton(QStringLiteral("C&heck All"), this);
    checkAllButton_->setObjectName(QStringLiteral("checkAllButton"));
    uncheckAllButton_ = new QPushButton(QStringLiteral("&Uncheck All"), this);
    uncheckAllButton_->setObjectName(QStringLiteral("uncheckAllButton"));
    notDuplicatesButton_ = new QPushButton(QStringLiteral("&Not Duplicates"), this);
    notDuplicatesButton_->setObjectName(QStringLiteral("notDuplicatesButton"));
    notDuplicatesButton_->setToolTip(
        QStringLiteral("Rules out the current cluster, or its current member against the others, "
                       "so that the finder no longer suggests them together (Del)"));
    ruledOutButton_ = new QPushButton(QStringLiteral("&Ruled Out..."), this);
    ruledOutButton_->setObjectName(QStringLiteral("ruledOutButton"));
    ruledOutButton_->setToolTip(QStringLiteral("The pairs ruled out as not duplicates"));
    showItemsButton_ = new QPushButton(QStringLiteral("Show &Items..."), this);
    showItemsButton_->setObjectName(QStringLiteral("showItemsButton"));
    showItemsButton_->setToolTip(QStringLiteral("The items that refer to the current member"));

    auto* buttons = new QDialogButtonBox(this);
    targetButton_ =
        buttons->addButton(QStringLiteral("Make &Target"), QDialogButtonBox::ActionRole);
    targetButton_->setObjectName(QStringLiteral("targetButton"));
    markButton_ =
        buttons->addButton(QStringLiteral("&Mark in Lists"), QDialogButtonBox::ActionRole);
    markButton_->setObjectName(QStringLiteral("markButton"));
    markButton_->setToolTip(
        QStringLiteral("Marks the current cluster in the lists and closes the finder (Enter)"));
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
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(checkAllButton_);
    listRow->addWidget(uncheckAllButton_);
    listRow->addStretch(1);
    listRow->addWidget(notDuplicatesButton_);
    listRow->addWidget(ruledOutButton_);
    listRow->addWidget(showItemsButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(busyRow);
    layout->addWidget(summary_);
    layout->addWidget(tree_, 1);
    layout->addLayout(listRow);
    layout->addWidget(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(50);
    connect(timer_, &QTimer::timeout, this, &frmDuplicates::poll);
    connect(method_, &QComboBox::currentIndexChanged, this, &frmDuplicates::methodChanged);
    connect(findButton_, &QPushButton::clicked, this, &frmDuplicates::find);
    connect(cancelButton_, &QPushButton::clicked, this, &frmDuplicates::cancel);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(targetButton_, &QPushButton::clicked, this, &frmDuplicates::makeTarget);
    connect(checkAllButton_, &QPushButton::clicked, this, [this] { checkAll(true); });
    connect(uncheckAllButton_, &QPushButton::clicked, this, [this] { checkAll(false); });
    connect(notDuplicatesButton_, &QPushButton::clicked, this, &frmDuplicates::notDuplicates);
    connect(ruledOutButton_, &QPushButton::clicked, this, &frmDuplicates::showRuledOut);
    connect(showItemsButton_, &QPushButton::clicked, this, &frmDuplicates::showItems);
    connect(tree_, &QWidget::customContextMenuRequested, this, &frmDuplicates::showMenu);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item->parent())
            makeTarget();
    });
    connect(tree_, &QTreeWidget::currentItemChanged, this, &frmDuplicates::updateButtons);
    connect(tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (column != NameColumn)
            return;
        dupes::Group& g = groups_[static_cast<size_t>(item->data(0, GroupRole).toInt())];
        const bool on = item->checkState(0) == Qt::Checked;
        if (item->parent())
            g.members[static_cast<size_t>(item->data(0, MemberRole).toInt())].checked = on;
        else
            g.checked = on;
        showTarget(item->parent() ? item->parent() : item);
        showSummary();
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
        if (actions_.combine(groups()))
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

// The spin box holds the parameter of the method chosen, at its default.
void frmDuplicates::methodChanged() {
    using dedupe::Method;
    const auto m = static_cast<Method>(method_->currentIndex());
    const bool words = m == Method::Words;
    const dedupe::Settings defaults;
    parameter_->setEnabled(words || m == Method::NGram || m == Method::Nearest);
    parameter_->setRange(words ? 50 : 1, words ? 95 : 3);
    parameter_->setSingleStep(words ? 5 : 1);
    parameter_->setSuffix(words ? QStringLiteral(" %") : QString());
    parameter_->setValue(words                ? defaults.similarity
                         : m == Method::NGram ? defaults.ngram
                                              : defaults.radius);
    parameter_->setToolTip(words ? QStringLiteral("Least similarity of the names' words")
                           : m == Method::NGram   ? QStringLiteral("Characters per n-gram")
                           : m == Method::Nearest ? QStringLiteral("Largest edit distance")
                                                  : QString());
}

void frmDuplicates::find() {
    cancel();
    if (worker_) {
        worker_->join();
        worker_.reset();
    }
    dedupe::Settings settings = actions_.base;
    settings.method = static_cast<dedupe::Method>(method_->currentIndex());
    if (settings.method == dedupe::Method::Words)
        settings.similarity = parameter_->value();
    else if (settings.method == dedupe::Method::NGram)
        settings.ngram = parameter_->value();
    else if (settings.method == dedupe::Method::Nearest)
        settings.radius = parameter_->value();
    const dedupe::Pairs ruledOut = ruledout::AmongEntries(entries_, actions_.ruledOut());
    auto search = std::make_shared<Search>();
    search_ = search;
    progress_->setRange(0, 0);
    summary_->setText(
        QStringLiteral("Looking for duplicates among %1...")
            .arg(ui::plural(static_cast<long long>(names_.size()), "entry", "entries")));
    setCursor(Qt::BusyCursor);
    // The worker reads its own copy of the names; the engine stays on this thread.
    worker_ = std::make_unique<std::thread>([search, names = names_, settings, ruledOut] {
        std::optional<std::vector<dedupe::Found>> result;
        std::string failure;
        try {
            result = dedupe::findScored(names, settings, ruledOut, &search->progress);
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
    unsetCursor();
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
    showGroups(0, -1);
}

void frmDuplicates::showGroups(int current, int member) {
    QList<QTreeWidgetItem*> tops;
    {
        const QSignalBlocker quiet(tree_);
        tree_->clear();
        for (size_t g = 0; g < groups_.size(); ++g) {
            const dupes::Group& group = groups_[g];
            auto* top = new QTreeWidgetItem;
            top->setFlags(top->flags() | Qt::ItemIsUserCheckable);
            top->setCheckState(0, group.checked ? Qt::Checked : Qt::Unchecked);
            top->setData(0, GroupRole, static_cast<int>(g));
            top->setText(CertaintyColumn, QStringLiteral("%1%").arg(group.certainty));
            top->setTextAlignment(CertaintyColumn, Qt::AlignRight | Qt::AlignVCenter);
            top->setText(ReasonColumn, ui::utf8(group.reason));
            top->setToolTip(ReasonColumn, top->text(ReasonColumn));
            for (size_t m = 0; m < group.members.size(); ++m) {
                const dupes::Member& mb = group.members[m];
                auto* child = new QTreeWidgetItem(top);
                child->setText(NameColumn, ui::utf8(entries_[static_cast<size_t>(mb.entry)].name));
                child->setText(ItemsColumn, ui::number(mb.items));
                child->setTextAlignment(ItemsColumn, Qt::AlignRight | Qt::AlignVCenter);
                child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
                child->setCheckState(0, mb.checked ? Qt::Checked : Qt::Unchecked);
                child->setData(0, GroupRole, static_cast<int>(g));
                child->setData(0, MemberRole, static_cast<int>(m));
            }
            showTarget(top);
            tops.push_back(top);
        }
        tree_->addTopLevelItems(tops);
        tree_->expandAll();
        tree_->resizeColumnToContents(CertaintyColumn);
        tree_->resizeColumnToContents(ItemsColumn);
    }
    if (!tops.empty()) {
        QTreeWidgetItem* top = tops[std::clamp<qsizetype>(current, 0, tops.size() - 1)];
        tree_->setCurrentItem(member >= 0 ? top->child(std::min(member, top->childCount() - 1))
                                          : top);
    }
    showSummary();
    updateButtons();
}

void frmDuplicates::showSummary() {
    if (groups_.empty()) {
        summary_->setText(
            QStringLiteral("No likely duplicates among %1.")
                .arg(ui::plural(static_cast<long long>(entries_.size()), "entry", "entries")));
        return;
    }
    long long checked = 0, items = 0;
    for (const dupes::Group& g : groups_)
        if (g.checked) {
            ++checked;
            items += g.repointed();
        }
    summary_->setText(
        QStringLiteral("%1, %2 checked; combining them would re-point %3.")
            .arg(ui::plural(static_cast<long long>(groups_.size()), "cluster", "clusters"),
                 ui::number(checked), ui::plural(items, "item", "items")));
}

void frmDuplicates::showTarget(QTreeWidgetItem* top) {
    const QSignalBlocker quiet(tree_);
    const dupes::Group& g = groups_[static_cast<size_t>(top->data(0, GroupRole).toInt())];
    const dupes::Entry& target =
        entries_[static_cast<size_t>(g.members[static_cast<size_t>(g.target)].entry)];
    top->setText(NameColumn,
                 QStringLiteral("%1 into '%2'")
                     .arg(ui::plural(static_cast<long long>(g.members.size()), "entry", "entries"),
                          ui::utf8(target.name)));
    top->setText(ItemsColumn, ui::number(g.repointed()));
    top->setTextAlignment(ItemsColumn, Qt::AlignRight | Qt::AlignVCenter);
    for (int i = 0; i < top->childCount(); ++i) {
        QTreeWidgetItem* child = top->child(i);
        const bool isTarget = i == g.target;
        child->setText(TargetColumn, isTarget ? QStringLiteral("target") : QString());
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

void frmDuplicates::notDuplicates() {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item || busy())
        return;
    const int g = item->data(0, GroupRole).toInt();
    int m = item->parent() ? item->data(0, MemberRole).toInt() : -1;
    dupes::Group& group = groups_[static_cast<size_t>(g)];
    std::vector<dupes::Entry> members;
    for (const dupes::Member& mb : group.members)
        members.push_back(entries_[static_cast<size_t>(mb.entry)]);
    if (!actions_.ruleOut(ruledout::PairsOf(members, m)))
        return;
    if (m < 0 || !dupes::DropMember(group, m)) {
        groups_.erase(groups_.begin() + g);
        m = -1;
    }
    showGroups(g, m);
}

void frmDuplicates::checkAll(bool on) {
    QTreeWidgetItem* item = tree_->currentItem();
    for (dupes::Group& g : groups_) {
        g.checked = on;
        for (dupes::Member& m : g.members)
            m.checked = on;
    }
    showGroups(item ? item->data(0, GroupRole).toInt() : 0,
               item && item->parent() ? item->data(0, MemberRole).toInt() : -1);
}

void frmDuplicates::showRuledOut() {
    auto* box =
        new frmRuledOut(this, actions_.ruledOut, [this](const std::vector<ruledout::Pair>& pairs) {
            if (!actions_.takeBack(pairs))
                return false;
            find();
            return true;
        });
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void frmDuplicates::showItems() {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item || !item->parent() || !actions_.showItems)
        return;
    const dupes::Group& g = groups_[static_cast<size_t>(item->data(0, GroupRole).toInt())];
    actions_.showItems(g.members[static_cast<size_t>(item->data(0, MemberRole).toInt())].entry);
}

bool frmDuplicates::eventFilter(QObject* watched, QEvent* event) {
    if (watched != tree_ || event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    QPushButton* button = nullptr;
    switch (static_cast<QKeyEvent*>(event)->key()) {
    case Qt::Key_Space:
        if (QTreeWidgetItem* item = tree_->currentItem())
            item->setCheckState(0,
                                item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        button = markButton_;
        break;
    case Qt::Key_Delete:
        button = notDuplicatesButton_;
        break;
    default:
        return false;
    }
    if (button->isEnabled())
        button->click();
    return true;
}

void frmDuplicates::showMenu(const QPoint& pos) {
    QTreeWidgetItem* item = tree_->itemAt(pos);
    if (!item)
        return;
    tree_->setCurrentItem(item);
    QMenu menu(tree_);
    menu.setObjectName(QStringLiteral("clusterMenu"));
    // The keys are those of the tree, shown beside the entries.
    const std::pair<QPushButton*, QString> entries[] = {
        {notDuplicatesButton_, QStringLiteral("Del")},
        {markButton_, QStringLiteral("Enter")},
        {targetButton_, QString()},
        {showItemsButton_, QString()}};
    for (const auto& [button, key] : entries) {
        QString text = button->text();
        if (!key.isEmpty())
            text += u'\t' + key;
        menu.addAction(text, button, &QPushButton::click)->setEnabled(button->isEnabled());
    }
    menu.exec(tree_->viewport()->mapToGlobal(pos));
}

std::vector<dupes::Group> frmDuplicates::groups() const {
    return groups_;
}

void frmDuplicates::updateButtons() {
    const bool idle = !busy();
    QTreeWidgetItem* current = tree_->currentItem();
    cancelButton_->setEnabled(!idle);
    findButton_->setEnabled(true);
    combineButton_->setEnabled(idle && !groups_.empty());
    for (QPushButton* b : {checkAllButton_, uncheckAllButton_})
        b->setEnabled(idle && !groups_.empty());
    markButton_->setEnabled(idle && current);
    notDuplicatesButton_->setEnabled(idle && current);
    targetButton_->setEnabled(idle && current && current->parent());
    showItemsButton_->setEnabled(idle && current && current->parent() && actions_.showItems);
}
