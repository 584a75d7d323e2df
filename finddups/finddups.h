// finddups: the duplicate finder's report on the command line, for review
// outside the window: the command line, the report in tab-separated text or
// JSON, and Main, the whole run on a catalogue opened read-only.
#pragma once

#include "catalogue.h"
#include "clustering.h"
#include "duplicates.h"

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace finddups {

enum class Format { Tsv, Json };

// What the command line asks for.
struct Options {
    const catalogue::Category* category = nullptr;
    dedupe::Settings settings;
    Format format = Format::Tsv;
    std::string path;
    bool help = false;
    bool version = false;
};

// A mistake on the command line: reported with the usage, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The usage text, ending in a newline.
std::string Usage();

// Reads the arguments that follow the program's name. Options stand before
// or after the path, as --name VALUE or --name=VALUE, the last of a kind
// counting; "--" ends them. --help and --version end the reading at once.
// Raises UsageError for an unknown option or value, a value out of range,
// --param with a method that takes none, and no path or more than one.
Options ReadArguments(const std::vector<std::string>& args);

// Writes groups of entries (as dupes::MakeGroups gives them) in format: TSV
// a header, then one line per member with the cluster's number from 1; JSON
// one array of clusters. Names and reasons go out as stored in TSV, with
// tab, newline, carriage return and backslash written \t, \n, \r and \\; in
// JSON each byte outside well-formed UTF-8 becomes U+FFFD.
void WriteReport(std::ostream& out, Format format, const std::vector<dupes::Entry>& entries,
                 const std::vector<dupes::Group>& groups);

// The program: 0 when the report was written (with clusters or none), 1
// after "finddups: error N: text" on standard error, 2 after a usage error.
int Main(int argc, const char* const argv[]);

} // namespace finddups
