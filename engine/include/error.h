// The one error type of the tools: a number and a text.
#pragma once

#include <stdexcept>
#include <string>

namespace engine {

// Error numbers. The 3000s are the engine's own; the small numbers are the
// run-time errors that the programs raise themselves. docs/catalogue-format.md
// lists them all.
namespace err {
constexpr long InvalidArgument = 5;        // invalid procedure call or argument
constexpr long Overflow = 6;               // overflow
constexpr long OutOfMemory = 7;            // out of memory
constexpr long Subscript = 9;              // subscript out of range
constexpr long TypeMismatch = 13;          // a value that cannot be converted
constexpr long InternalError = 51;         // internal error: an unexpected failure
constexpr long FileNotFound = 53;          // file not found
constexpr long DiskFull = 61;              // disk full
constexpr long PermissionDenied = 70;      // permission denied
constexpr long PathFileAccess = 75;        // path/file access error
constexpr long PathNotFound = 76;          // path not found
constexpr long ObjectNotSet = 91;          // object variable not set
constexpr long InvalidUseOfNull = 94;      // a Null where a value is needed
constexpr long InvalidPropertyIndex = 381; // a list row outside the list

constexpr long EngineFailure = 3000;       // any other failure of the engine
constexpr long InvalidOperation = 3001;    // invalid argument to an engine operation
constexpr long NoCurrentRecord = 3021;     // no current record
constexpr long CannotFindFile = 3024;      // the database file does not exist
constexpr long IoFailure = 3026;           // not enough space on disk / write failed
constexpr long NotValidPath = 3044;        // a folder, or a path that cannot be used
constexpr long FileInUse = 3045;           // the file is held by another process
constexpr long CannotOpenDatabase = 3049;  // damaged beyond opening
constexpr long ReadOnlyFile = 3051;        // the file or its folder cannot be written
constexpr long TableNotFound = 3078;       // no such table
constexpr long SqlSyntax = 3134;           // a statement the engine does not accept
constexpr long ExtraCharacters = 3142;     // more than one statement
constexpr long DatabaseExists = 3204;      // destination of a compaction exists
constexpr long ItemNotFound = 3265;        // no field of that name or position
constexpr long ObjectClosed = 3420;        // object no longer open
constexpr long BadLocale = 3129;           // locale other than the general sort order
constexpr long NotADatabase = 3343;        // unrecognised database format
constexpr long ConstraintViolation = 3022; // a change the schema forbids
constexpr long NotAnIndex = 3800;          // no such index on the table
constexpr long RepairFailed = 3433;        // the repair could not produce a sound file
constexpr long HistoryDamaged = 3910;      // the combine history cannot be read or applied
} // namespace err

// A failure: its number and a text, which is never empty.
class Error : public std::runtime_error {
public:
    Error(long number, const std::string& text)
        : std::runtime_error(text.empty() ? "Error " + std::to_string(number) + "." : text),
          number_(number) {}
    long Number() const noexcept { return number_; }
    std::string Text() const { return what(); }

private:
    long number_;
};

} // namespace engine
