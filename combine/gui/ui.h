// The combine program's dealings with the user outside its window: message
// boxes, the open dialog, the help file, the beep and the end of the program.
// Each goes through a seam that a test can answer in advance and that records
// what would have been shown.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace ui {

// Title of every message box that names none of its own.
inline const QString AppTitle = QStringLiteral("Mervane 1.7 Combine Utility");

// Message box styles and answers, summed and numbered as the classic
// message-box call numbers them.
namespace mb {
constexpr int OkOnly = 0;
constexpr int YesNo = 4;
constexpr int Critical = 16;
constexpr int Exclamation = 48;
constexpr int Information = 64;
constexpr int DefaultButton2 = 256;

constexpr int Ok = 1;
constexpr int Yes = 6;
constexpr int No = 7;
} // namespace mb

enum class Icon { None, Critical, Warning, Information };
enum class Buttons { Ok, YesNo };

// One message box as it was shown.
struct ShownMessage {
    QString text;
    QString title;
    Icon icon = Icon::None;
    Buttons buttons = Buttons::Ok;
    int defaultButton = mb::Ok; // mb::Ok, mb::Yes or mb::No
    int answer = mb::Ok;
};

// One showing of the open dialog with the settings it was given.
struct ShownDialog {
    QString title;
    QString fileName;
    QString filter;
    int filterIndex = 0;
    QString defaultExt;
    QString initDir;
    long flags = 0;
    QString helpFile;
    int helpCommand = 0;
    long helpContext = 0;
    bool cancelError = false;
};

// One help topic as it was shown, with the titles of every topic of its
// file, which the help window lists to choose from.
struct ShownHelp {
    QString file;
    long context = 0;
    QString title;
    QString text;
    QStringList topics;
};

// What a test sets up in advance and reads back afterwards. When testing is
// false everything is shown for real and nothing is recorded.
struct Seam {
    bool testing = false;
    // Answers to the next message boxes; an empty queue answers with the
    // default button.
    std::deque<int> answers;
    // Names the next open dialogs return, as if typed; nullopt cancels. An
    // empty queue cancels.
    std::deque<std::optional<QString>> fileNames;
    // Shows Qt's dialog itself, for a test that drives it, while message
    // boxes and help still go to the seam.
    bool realDialog = false;

    std::vector<ShownMessage> messages;
    std::vector<ShownDialog> dialogs;
    std::vector<ShownHelp> helps;
    int beeps = 0;
    std::optional<int> endCode; // set when the program was ended

    void reset() { *this = Seam{}; }
};

Seam& seam();

// Shows a modal message box. style is a sum of the mb constants; an empty
// title shows the application title. Returns mb::Ok, mb::Yes or mb::No.
int msgBox(QWidget* parent, const QString& prompt, int style = mb::OkOnly,
           const QString& title = QString());

// The system beep.
void beep();

// Text of the program's own (UTF-8) as the window shows it.
QString utf8(const std::string& text);
// A count as every dialog of the program shows it ("1,234"), and with the
// noun that agrees with it ("1 item", "2 items").
QString number(long long n);
QString plural(long long n, const char* one, const char* many);

// Ends the program with the given exit status: the event loops are left and
// no further event procedure of the window runs.
void endProgram(int exitStatus);
bool programEnded();

// The report with which an error that no procedure handles ends the program:
// a message box with the error's number and text, then endProgram(1).
void reportUnhandledError(QWidget* parent, long number, const QString& text);

// A help topic read from a help file.
struct HelpTopic {
    long context = 0;
    QString title;
    QString text;
};

// Reads every topic of a help file, in the file's order: lines starting
// "@<number> <title>" open a topic, lines starting ";" are comments. Empty
// when the file cannot be read.
std::vector<HelpTopic> readHelpTopics(const QString& path);
// The topic with the given context number (the first topic for 0), or
// nullopt when the file cannot be read or has no such topic.
std::optional<HelpTopic> readHelpTopic(const QString& path, long context);

// The folders in which a relative help file name is looked for, in this
// order: the program's own folder, then the data folder that an installed
// program keeps beside its own (fixed relative to it at build time).
QStringList helpFolders(const QString& programDir);

// The path of a help file: an absolute name as it is, a relative one in the
// first of the folders that holds a file of that name. Returns nullopt when
// there is no such file.
std::optional<QString> locateHelpFile(const QString& helpFile, const QStringList& folders);

// The help commands of showHelp: a topic by its context number, or the
// contents (the file's first topic).
constexpr int HelpTopicCommand = 1;
constexpr int HelpContentsCommand = 3;

// Shows a help file in a modal window: the list of its topics to choose
// from and the text of the one chosen, at first the topic of the command.
// A relative file name is looked for in helpFolders() of the executable's
// folder. A missing help file, or one without the topic, gets a warning that
// says which instead.
void showHelp(QWidget* parent, const QString& helpFile, int helpCommand, long helpContext);

// The error number and text of a cancelled open dialog.
constexpr long CancelErrorNumber = 32755;
inline const QString CancelErrorText = QStringLiteral("Cancel was selected.");

// Settings of the open dialog, named as the dialog component names them.
struct CommonDialog {
    // Flag values that the dialog honours.
    static constexpr long HideReadOnly = 4;
    static constexpr long HelpButton = 16;
    static constexpr long FileMustExist = 4096;
    static constexpr long NoReadOnlyReturn = 32768;

    QString HelpFile;
    int HelpCommand = 0;
    long HelpContext = 0;
    QString DialogTitle;
    QString DefaultExt;
    QString InitDir;
    long Flags = 0;
    QString FileName;
    QString Filter; // "description|pattern|description|pattern..."
    int FilterIndex = 1;
    bool CancelError = false;

    // A name to take as the user's first answer, as if typed into the
    // dialog; it is shown only when that name is refused.
    std::optional<QString> preset;

    // Shows the modal Open dialog (the classic Action = 1). On return
    // FileName holds the full path of the chosen file. With CancelError a
    // cancel raises engine::Error(CancelErrorNumber); without it FileName is
    // left empty.
    void showOpen(QWidget* parent);

    // What the dialog makes of a typed name: made absolute against InitDir
    // (or the current folder when InitDir is empty) and given DefaultExt when
    // it has no extension.
    QString resolve(const QString& typed) const;
    // Why the dialog refuses a resolved path under its Flags (the warning
    // it shows), or nullopt when it accepts it.
    std::optional<QString> refusal(const QString& path) const;

    // The filter text as Qt name filters ("description (pattern)").
    QStringList nameFilters() const;
};

// Shows the modal Save dialog with a title, a suggested name and Qt name
// filters ("CSV files (*.csv)"); returns the chosen path, or nullopt when
// cancelled. Under the seam it records the showing and takes the next of
// fileNames instead (nullopt or an empty queue cancels).
std::optional<QString> saveFile(QWidget* parent, const QString& title, const QString& suggested,
                                const QString& filter);

// True when the file, or the folder that holds it, is read-only: no write
// permission for this user, or no write permission bit at all (which counts
// also for a user whom the system lets write anyway).
bool isReadOnlyPath(const QString& path);

} // namespace ui
