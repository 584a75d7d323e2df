// Message boxes, the open dialog, the help file, the beep and the end of the
// program, each shown for real or answered from the seam.
#include "ui.h"
#include "wording.h"

#include "error.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextStream>
#include <QVBoxLayout>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace ui {

namespace {

bool g_ended = false;

// The dialog's Qt side: Qt's own file dialog, so that a Help button can be
// added and a chosen name can be checked before the dialog closes.
class OpenDialog : public QFileDialog {
public:
    OpenDialog(QWidget* parent, const CommonDialog& settings)
        : QFileDialog(parent), settings_(settings) {
        setOption(QFileDialog::DontUseNativeDialog);
        setAcceptMode(QFileDialog::AcceptOpen);
        setFileMode((settings.Flags & CommonDialog::FileMustExist) ? QFileDialog::ExistingFile
                                                                   : QFileDialog::AnyFile);
        setWindowTitle(settings.DialogTitle);
        if (!settings.InitDir.isEmpty())
            setDirectory(settings.InitDir);
        const QStringList filters = settings.nameFilters();
        setNameFilters(filters);
        if (settings.FilterIndex >= 1 && settings.FilterIndex <= filters.size())
            selectNameFilter(filters[settings.FilterIndex - 1]);
        setDefaultSuffix(settings.DefaultExt);
        selectFile(settings.FileName);
        if (settings.Flags & CommonDialog::HelpButton) {
            if (auto* box = findChild<QDialogButtonBox*>()) {
                box->addButton(QDialogButtonBox::Help);
                connect(box, &QDialogButtonBox::helpRequested, this, [this] {
                    showHelp(this, settings_.HelpFile, settings_.HelpCommand,
                             settings_.HelpContext);
                });
            }
        }
    }

    // Refuses a name under the dialog's flags with a warning and stays open.
    void accept() override {
        const QStringList files = selectedFiles();
        if (files.size() == 1 && !QFileInfo(files.first()).isDir()) {
            if (auto why = settings_.refusal(settings_.resolve(files.first()))) {
                msgBox(this, *why, mb::Exclamation, settings_.DialogTitle);
                return;
            }
        }
        QFileDialog::accept();
    }

private:
    const CommonDialog& settings_;
};

// Shows the topics in a modal window, the list of their titles beside the
// text of the one chosen; current is the one chosen first. Expects current
// to index topics.
void showHelpWindow(QWidget* parent, const std::vector<HelpTopic>& topics, size_t current) {
    QDialog box(parent);
    box.setObjectName(QStringLiteral("helpWindow"));
    auto* layout = new QVBoxLayout(&box);
    auto* panes = new QHBoxLayout;
    auto* list = new QListWidget(&box);
    list->setObjectName(QStringLiteral("helpTopics"));
    for (const HelpTopic& topic : topics)
        list->addItem(topic.title);
    list->setFixedWidth(190);
    auto* text = new QTextBrowser(&box);
    text->setObjectName(QStringLiteral("helpText"));
    QObject::connect(list, &QListWidget::currentRowChanged, &box, [&](int row) {
        if (row < 0)
            return;
        box.setWindowTitle(topics[static_cast<size_t>(row)].title);
        text->setPlainText(topics[static_cast<size_t>(row)].text);
    });
    list->setCurrentRow(static_cast<int>(current));
    panes->addWidget(list);
    panes->addWidget(text);
    layout->addLayout(panes);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &box);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    layout->addWidget(buttons);
    box.resize(640, 360);
    box.exec();
}

} // namespace

Seam& seam() {
    static Seam s;
    return s;
}

int msgBox(QWidget* parent, const QString& prompt, int style, const QString& title) {
    ShownMessage m;
    m.text = prompt;
    m.title = title.isEmpty() ? AppTitle : title;
    switch (style & 0x70) {
    case mb::Critical:
        m.icon = Icon::Critical;
        break;
    case mb::Exclamation:
        m.icon = Icon::Warning;
        break;
    case mb::Information:
        m.icon = Icon::Information;
        break;
    default:
        m.icon = Icon::None;
    }
    const bool yesNo = (style & 0x0f) == mb::YesNo;
    m.buttons = yesNo ? Buttons::YesNo : Buttons::Ok;
    m.defaultButton = yesNo ? ((style & mb::DefaultButton2) ? mb::No : mb::Yes) : mb::Ok;

    if (seam().testing) {
        m.answer = m.defaultButton;
        if (!seam().answers.empty()) {
            m.answer = seam().answers.front();
            seam().answers.pop_front();
        }
        seam().messages.push_back(m);
        return m.answer;
    }

    QMessageBox box(parent);
    box.setWindowTitle(m.title);
    // Entry names go into prompts: they are never to be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(m.text);
    switch (m.icon) {
    case Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case Icon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
    }
    if (yesNo) {
        QPushButton* yes = box.addButton(QMessageBox::Yes);
        QPushButton* no = box.addButton(QMessageBox::No);
        box.setDefaultButton(m.defaultButton == mb::No ? no : yes);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? mb::Yes : mb::No;
    }
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    box.exec();
    return mb::Ok;
}

QString utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString number(long long n) {
    return utf8(wording::Grouped(n));
}

QString plural(long long n, const char* one, const char* many) {
    return utf8(wording::Counted(n, one, many));
}

void beep() {
    if (seam().testing)
        ++seam().beeps;
    else
        QApplication::beep();
}

void endProgram(int exitStatus) {
    if (seam().testing) {
        seam().endCode = exitStatus;
        return;
    }
    g_ended = true;
    for (QWidget* w : QApplication::topLevelWidgets())
        w->hide();
    // Leaves every running event loop, nested modal ones included.
    QCoreApplication::exit(exitStatus);
}

bool programEnded() {
    return seam().testing ? seam().endCode.has_value() : g_ended;
}

void reportUnhandledError(QWidget* parent, long number, const QString& text) {
    msgBox(parent,
           QStringLiteral("An error has ended the program.\n\nError %1: %2").arg(number).arg(text),
           mb::Critical);
    endProgram(1);
}

std::vector<HelpTopic> readHelpTopics(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&file);
    std::vector<HelpTopic> topics;
    bool inTopic = false;
    QStringList lines;
    // The lines gathered become the text of the topic read last.
    auto endTopic = [&] {
        while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
            lines.removeLast();
        while (!lines.isEmpty() && lines.first().trimmed().isEmpty())
            lines.removeFirst();
        if (inTopic)
            topics.back().text = lines.join(u'\n');
        lines.clear();
        inTopic = false;
    };
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(u';'))
            continue;
        if (line.startsWith(u'@')) {
            endTopic();
            const QString head = line.mid(1);
            const qsizetype blank = head.indexOf(u' ');
            bool ok = false;
            const long number = head.left(blank < 0 ? head.size() : blank).toLong(&ok);
            if (ok) {
                topics.push_back(
                    HelpTopic{number, blank < 0 ? QString() : head.mid(blank + 1).trimmed(), {}});
                inTopic = true;
            }
            continue;
        }
        if (inTopic)
            lines << line;
    }
    endTopic();
    return topics;
}

std::optional<HelpTopic> readHelpTopic(const QString& path, long context) {
    for (HelpTopic& topic : readHelpTopics(path))
        if (context <= 0 || topic.context == context)
            return std::move(topic);
    return std::nullopt;
}

QStringList helpFolders(const QString& programDir) {
    QStringList folders{QDir::cleanPath(programDir)};
#ifdef HELP_DATA_DIR
    const QString installed =
        QDir::cleanPath(QDir(programDir).filePath(QStringLiteral(HELP_DATA_DIR)));
    if (!folders.contains(installed))
        folders << installed;
#endif
    return folders;
}

std::optional<QString> locateHelpFile(const QString& helpFile, const QStringList& folders) {
    if (helpFile.isEmpty())
        return std::nullopt;
    if (QFileInfo(helpFile).isAbsolute())
        return QFileInfo(helpFile).isFile() ? std::optional<QString>(helpFile) : std::nullopt;
    for (const QString& folder : folders) {
        const QString path = QDir(folder).filePath(helpFile);
        if (QFileInfo(path).isFile())
            return path;
    }
    return std::nullopt;
}

void showHelp(QWidget* parent, const QString& helpFile, int helpCommand, long helpContext) {
    const QStringList folders = QFileInfo(helpFile).isAbsolute()
                                    ? QStringList{QFileInfo(helpFile).absolutePath()}
                                    : helpFolders(QCoreApplication::applicationDirPath());
    const std::optional<QString> found = locateHelpFile(helpFile, folders);
    const QString path = found ? *found : QDir(folders.first()).filePath(helpFile);
    // Command 1 names a topic; any other command shows the file's first one.
    const long context = helpCommand == HelpTopicCommand ? helpContext : 0;
    const std::vector<HelpTopic> topics = found ? readHelpTopics(path) : std::vector<HelpTopic>();
    const auto topic = std::ranges::find_if(
        topics, [&](const HelpTopic& t) { return context <= 0 || t.context == context; });
    const bool shown = topic != topics.end();
    if (seam().testing) {
        QStringList titles;
        for (const HelpTopic& t : topics)
            titles << t.title;
        seam().helps.push_back({path, context, shown ? topic->title : QString(),
                                shown ? topic->text : QString(), titles});
        if (shown)
            return;
    }
    if (!found) {
        QStringList places;
        for (const QString& folder : folders)
            places << QDir::toNativeSeparators(folder);
        msgBox(parent,
               QStringLiteral("The help file '%1' cannot be found. It was looked for in:\n%2")
                   .arg(QFileInfo(helpFile).fileName(), places.join(u'\n')),
               mb::Exclamation);
        return;
    }
    if (!shown) {
        msgBox(parent,
               QStringLiteral("The help topic %1 cannot be found in the help file '%2'.")
                   .arg(helpContext)
                   .arg(path),
               mb::Exclamation);
        return;
    }
    showHelpWindow(parent, topics, static_cast<size_t>(topic - topics.begin()));
}

QString CommonDialog::resolve(const QString& typed) const {
    QString path = typed;
    if (QFileInfo(path).isRelative())
        path = QDir(InitDir.isEmpty() ? QDir::currentPath() : InitDir).filePath(path);
    if (!DefaultExt.isEmpty() && QFileInfo(path).suffix().isEmpty() && !QFileInfo(path).isDir())
        path += u'.' + DefaultExt;
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

std::optional<QString> CommonDialog::refusal(const QString& path) const {
    const QFileInfo info(path);
    if ((Flags & FileMustExist) && (!info.exists() || info.isDir()))
        return path + QStringLiteral("\nFile not found.\nCheck the file name and try again.");
    if ((Flags & NoReadOnlyReturn) && info.exists() && isReadOnlyPath(path))
        return path +
               QStringLiteral(
                   "\nThis file is set to read-only.\nTry again with a different file name.");
    return std::nullopt;
}

QStringList CommonDialog::nameFilters() const {
    const QStringList parts = Filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString pattern = parts[i + 1];
        // Qt reads the patterns from the last parentheses of a filter.
        if (description.endsWith(u'(' + pattern + u')'))
            filters << description;
        else
            filters << description + QStringLiteral(" (") + QString(pattern).replace(u';', u' ') +
                           u')';
    }
    return filters;
}

void CommonDialog::showOpen(QWidget* parent) {
    if (preset) {
        const QString path = resolve(*preset);
        preset.reset();
        const std::optional<QString> why = refusal(path);
        if (!why) {
            FileName = path;
            return;
        }
        msgBox(parent, *why, mb::Exclamation, DialogTitle);
    }

    std::optional<QString> chosen;
    if (seam().testing)
        seam().dialogs.push_back({DialogTitle, FileName, Filter, FilterIndex, DefaultExt, InitDir,
                                  Flags, HelpFile, HelpCommand, HelpContext, CancelError});
    if (seam().testing && !seam().realDialog) {
        // The dialog stays open after a refused name: the next answer counts.
        while (!seam().fileNames.empty()) {
            const std::optional<QString> typed = seam().fileNames.front();
            seam().fileNames.pop_front();
            if (!typed)
                break;
            const QString path = resolve(*typed);
            if (const std::optional<QString> why = refusal(path)) {
                msgBox(parent, *why, mb::Exclamation, DialogTitle);
                continue;
            }
            chosen = path;
            break;
        }
    } else {
        OpenDialog dialog(parent, *this);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = resolve(dialog.selectedFiles().first());
    }

    if (!chosen) {
        FileName.clear();
        if (CancelError)
            throw engine::Error(CancelErrorNumber, CancelErrorText.toStdString());
        return;
    }
    FileName = *chosen;
}

std::optional<QString> saveFile(QWidget* parent, const QString& title, const QString& suggested,
                                const QString& filter) {
    if (seam().testing) {
        ShownDialog shown;
        shown.title = title;
        shown.fileName = suggested;
        shown.filter = filter;
        seam().dialogs.push_back(shown);
        if (!seam().realDialog) {
            if (seam().fileNames.empty())
                return std::nullopt;
            const std::optional<QString> typed = seam().fileNames.front();
            seam().fileNames.pop_front();
            return typed;
        }
    }
    const QString chosen = QFileDialog::getSaveFileName(parent, title, suggested, filter);
    return chosen.isEmpty() ? std::nullopt : std::optional<QString>(chosen);
}

bool isReadOnlyPath(const QString& path) {
    auto notWritable = [](const QString& p) {
        const QByteArray local = QFile::encodeName(p);
        struct stat st {};
        if (::stat(local.constData(), &st) != 0)
            return false;
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return true;
        return ::access(local.constData(), W_OK) != 0;
    };
    const QFileInfo info(path);
    return notWritable(info.absoluteFilePath()) || notWritable(info.absolutePath());
}

} // namespace ui
