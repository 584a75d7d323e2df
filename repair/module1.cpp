// Module1: the repair program's command line and its one run: two copies of
// the catalogue beside it, the repair of one copy and its compaction back
// into the catalogue's path.
#include "module1.h"

#include "catalogue.h"
#include "files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace Module1 {

namespace {

StepHook stepHook = nullptr;

void reached(Step step) {
    if (stepHook)
        stepHook(step);
}

constexpr long maxInteger = 32767; // the largest 16-bit signed value
constexpr const char* versionSwitch = "-v4";

[[noreturn]] void overflow() {
    throw engine::Error(engine::err::Overflow, "Overflow");
}

// A character position (1-based) or length that must fit in 16 bits.
long checked(long value) {
    if (value > maxInteger || value < -maxInteger - 1)
        overflow();
    return value;
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The 1-based character position of the byte at offset in text.
long characterPosition(const std::string& text, size_t offset) {
    long position = 0;
    for (size_t i = 0; i <= offset; ++i)
        if (!isContinuation(text[i]))
            ++position;
    return position;
}

// The byte offset just behind the character that starts at offset.
size_t nextCharacter(const std::string& text, size_t offset) {
    if (offset >= text.size())
        return text.size();
    ++offset;
    while (offset < text.size() && isContinuation(text[offset]))
        ++offset;
    return offset;
}

std::string trimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The run itself, for a command line already read. Every failure raises.
void run(const CommandLine& commandLine) {
    const std::string& path = commandLine.path;
    const std::string fixName = path + ".FIX";
    const std::string keepName = path + ".KEEP";
    repairfiles::removeTempFilesOnSignal();

    // Nothing is touched before the catalogue is known to be a file this run
    // can hold to itself: open elsewhere, missing or read-only, it is refused
    // here. The lock also settles a journal or log, so a byte copy of the file
    // alone holds every committed change.
    repairfiles::SourceFile catalogue(path);
    engine::DBEngine& dbEngine = engine::DatabaseEngine();
    std::unique_ptr<engine::FileLock> lock = dbEngine.LockDatabase(path);
    reached(Step::Locked);
    // A run that died by a signal it could not catch left its temporary files
    // behind; with the lock held, none of them can belong to a live run.
    for (const std::string& name : {path, fixName, keepName})
        repairfiles::removeLeftTempFiles(name);

    ::unlink(fixName.c_str()); // any failure is ignored: the copy replaces the name anyway
    // A journal or log left beside an earlier copy belongs to that file:
    // SQLite would play it into the fresh copy that takes its name.
    for (const std::string& name : {fixName, keepName})
        for (const char* suffix : {"-journal", "-wal", "-shm"})
            ::unlink((name + suffix).c_str());
    reached(Step::FixDeleted);
    repairfiles::copyOver(catalogue, fixName, false, [] { reached(Step::FixWritten); });
    reached(Step::FixCopied);
    // The safety copy is synced before the catalogue can be replaced.
    repairfiles::copyOver(catalogue, keepName, true, [] { reached(Step::KeepWritten); });
    reached(Step::KeepCopied);

    // The engine removes its own temporary files on every way out of its
    // calls; a signal meanwhile waits until it is back.
    engine::RepairNotes notes;
    {
        repairfiles::SignalsDeferred deferred;
        notes = dbEngine.RepairDatabase(fixName, catalogue::RebuildLayout());
    }
    // Every row is back, but names the file lost were made up: the user must
    // know that, while the run goes on as a success.
    for (const std::string& line : NamedFieldsLines(notes))
        std::fprintf(stderr, "%s\n", line.c_str());
    reached(Step::Repaired);

    // The compaction writes a new file beside the catalogue, which replaces it
    // in one rename: the path never lacks a sound catalogue.
    repairfiles::TempFile compacted(path, "tmp", 0600, engine::FileLayer::Program);
    compacted.vacate();
    long options = engine::opt::Decrypt +
                   (commandLine.version4 ? engine::opt::Version40 : engine::opt::Version20);
    {
        repairfiles::SignalsDeferred deferred;
        dbEngine.CompactDatabase(fixName, compacted.path(), engine::GeneralLocale, options);
    }
    if (::chmod(compacted.path().c_str(), catalogue.status().st_mode & 0777) != 0)
        repairfiles::raiseFileError(errno, path);
    reached(Step::Compacted);
    compacted.renameOver();
    reached(Step::Replaced);
}

} // namespace

void SetStepHook(StepHook hook) {
    stepHook = hook;
}

std::string ArgumentText(int argc, const char* const argv[]) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i > 1)
            text += ' ';
        // An argument that holds a double quote of its own already says
        // where its path ends; quoting it again would move that end.
        if (arg.find(' ') != std::string::npos && arg.find('"') == std::string::npos)
            text += '"' + arg + '"';
        else
            text += arg;
    }
    return text;
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
    std::vector<std::string> fields;
    if (text.empty())
        return fields;
    size_t start = 0;
    for (;;) {
        size_t blank = text.find(' ', start);
        fields.push_back(text.substr(start, blank - start));
        if (blank == std::string::npos)
            return fields;
        start = blank + 1;
    }
}

std::int16_t SwitchIndex(bool pathUnquoted, std::int16_t base) {
    return static_cast<std::int16_t>(checked(pathUnquoted ? base : base - 1L));
}

CommandLine ReadCommandLine(const std::string& argumentText) {
    CommandLine result;
    std::vector<std::string> fields;
    bool pathUnquoted = false;

    size_t firstByte = argumentText.find('"');
    long firstQuote =
        checked(firstByte == std::string::npos ? 0 : characterPosition(argumentText, firstByte));
    if (firstQuote > 0) {
        checked(firstQuote + 1);
        size_t secondByte = argumentText.find('"', firstByte + 1);
        long secondQuote = checked(
            secondByte == std::string::npos ? 0 : characterPosition(argumentText, secondByte));
        if (checked(secondQuote - firstQuote - 1) < 0)
            throw engine::Error(engine::err::InvalidArgument, "Invalid procedure call or argument");
        result.path = argumentText.substr(firstByte + 1, secondByte - firstByte - 1);
        checked(secondQuote + 2);
        // The closing quote and the one character behind it are passed over.
        size_t restByte = nextCharacter(argumentText, secondByte + 1);
        fields = SplitAtBlanks(trimBlanks(argumentText.substr(restByte)));
    } else {
        fields = SplitAtBlanks(argumentText);
        if (fields.empty())
            throw engine::Error(engine::err::Subscript, "Subscript out of range");
        result.path = fields[0];
        pathUnquoted = true;
    }

    long switchIndex = SwitchIndex(pathUnquoted, 1);
    long highestField = static_cast<long>(fields.size()) - 1;
    result.version4 = switchIndex <= highestField && fields[switchIndex] == versionSwitch;
    return result;
}

std::vector<std::string> NamedFieldsLines(const engine::RepairNotes& notes) {
    std::vector<std::string> lines;
    for (const engine::RepairNotes::Named& table : notes.named) {
        std::string fields;
        for (const std::string& f : table.fields)
            fields += (fields.empty() ? "\"" : ", \"") + f + '"';
        lines.push_back("repair: the field names of table \"" + table.table +
                        "\" were lost with the file's schema; its fields are now " + fields);
    }
    return lines;
}

int Main(int argc, const char* const argv[]) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
            std::printf("Usage: repair PATH [-v4]\n"
                        "Keeps PATH.FIX and PATH.KEEP beside the catalogue PATH, repairs\n"
                        "PATH.FIX and compacts it back into PATH (with -v4 in the version 4.0\n"
                        "file format, else in version 2.0). A path with blanks goes in double\n"
                        "quotes. A catalogue named --help is reached as ./--help.\n");
            return 0;
        }
        run(ReadCommandLine(ArgumentText(argc, argv)));
        return 0;
    } catch (const engine::Error& e) {
        std::fprintf(stderr, "repair: error %ld: %s\n", e.Number(), e.Text().c_str());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "repair: error 7: Out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "repair: error %ld: %s\n", engine::err::EngineFailure, e.what());
    }
    return 1;
}

} // namespace Module1
