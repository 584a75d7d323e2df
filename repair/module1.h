// The repair program's one module: reading the command line, and Main, which
// copies a catalogue twice, repairs one copy and compacts it back in place.
#pragma once

#include "engine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Module1 {

// What the command line asks for: the catalogue path, used unchanged, and
// whether the version-4 switch was given.
struct CommandLine {
    std::string path;
    bool version4 = false;
};

// The points of a run at which a step hook is called, in the order they are
// reached. The written-but-not-renamed points fall inside a copy or the
// compaction, while a temporary file of the run exists beside the catalogue.
enum class Step {
    Locked = 1,  // the catalogue is held; nothing is touched yet
    FixDeleted,  // the old repair copy is gone
    FixWritten,  // the repair copy is complete under its temporary name
    FixCopied,   // the repair copy is in place
    KeepWritten, // the safety copy is complete and synced under its temporary name
    KeepCopied,  // the safety copy is in place
    Repaired,    // the repair copy is repaired
    Compacted,   // the compacted catalogue is complete under its temporary name
    Replaced,    // the compacted catalogue is in place
};
using StepHook = void (*)(Step);

// Installs a function called at each Step of later runs (none by default).
// Only test builds install one.
void SetStepHook(StepHook hook);

// The argument text formed from a process's arguments behind its own name:
// the arguments joined with single blanks, one that holds a blank put in
// double quotes. Expects argv to hold argc entries.
std::string ArgumentText(int argc, const char* const argv[]);

// Splits text at every single blank: two blanks in a row give an empty
// field between them, an empty text gives no fields at all.
std::vector<std::string> SplitAtBlanks(const std::string& text);

// The field that may hold the switch: base when pathUnquoted, else base - 1.
// Raises Overflow when the result falls below -32,768.
std::int16_t SwitchIndex(bool pathUnquoted, std::int16_t base);

// Reads the argument text into a catalogue path and the version-4 switch.
// Character positions are counted in characters of the UTF-8 text and are
// 16-bit values. Raises InvalidArgument for an opening double quote without a
// closing one, Subscript for an empty text and Overflow for a position above
// 32,767; it touches no file.
CommandLine ReadCommandLine(const std::string& argumentText);

// The lines that tell the user which tables a repair rebuilt with field
// names of its own making, one a table, each naming the fields.
std::vector<std::string> NamedFieldsLines(const engine::RepairNotes& notes);

// Runs the tool once for the process's arguments and returns the exit
// status: 0 on success, with nothing printed but the lines above where a
// rebuild had to name fields; otherwise 1, after a line on
// standard error with the error's number and text. This is the program's
// only catch site; it raises nothing.
int Main(int argc, const char* const argv[]);

} // namespace Module1
