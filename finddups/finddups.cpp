// finddups: the command line, the report and the run.
#include "finddups.h"

#include "combine1.h"
#include "itemcounts.h"
#include "ruledout.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

namespace finddups {

namespace {

// The names the command line gives the categories (by lookup word), the
// methods and the formats.
const std::pair<const char*, const char*> categoryNames[] = {
    {"subjects", "Subject"}, {"publishers", "Publisher"}, {"types", "Type"}};
const std::pair<const char*, dedupe::Method> methodNames[] = {
    {"suggested", dedupe::Method::Suggested},
    {"core", dedupe::Method::Core},
    {"words", dedupe::Method::Words},
    {"acronym", dedupe::Method::Acronym},
    {"fingerprint", dedupe::Method::Fingerprint},
    {"ngram", dedupe::Method::NGram},
    {"stemmed", dedupe::Method::Stemmed},
    {"nearest", dedupe::Method::Nearest}};
const std::pair<const char*, Format> formatNames[] = {{"tsv", Format::Tsv}, {"json", Format::Json}};

// The value named in table. Raises UsageError for any other.
template <class T, size_t N>
T lookUp(const std::pair<const char*, T> (&table)[N], const std::string& option,
         const std::string& value) {
    for (const auto& [name, found] : table)
        if (value == name)
            return found;
    throw UsageError("unknown " + option.substr(2) + " '" + value + "'");
}

// Where --param goes for the method, with its range; null for a method that
// takes none.
int* parameterOf(dedupe::Settings& s, int& low, int& high) {
    switch (s.method) {
    case dedupe::Method::NGram:
        low = 1, high = 3;
        return &s.ngram;
    case dedupe::Method::Nearest:
        low = 1, high = 3;
        return &s.radius;
    case dedupe::Method::Words:
        low = 50, high = 95;
        return &s.similarity;
    default:
        return nullptr;
    }
}

// text as a TSV field: tab, newline, carriage return and backslash escaped.
std::string tsvField(std::string_view text) {
    std::string out;
    for (char c : text)
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    return out;
}

// The length of the well-formed UTF-8 character at s[i], 0 when none starts
// there (a stray or missing continuation byte, an overlong form, a surrogate
// or a value beyond U+10FFFF).
size_t characterLength(std::string_view s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80)
        return 1;
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if (d < (k == 1 ? low : 0x80) || d > (k == 1 ? high : 0xBF))
            return 0;
    }
    return n;
}

// text as a JSON string: quote, backslash and control characters escaped,
// each byte outside well-formed UTF-8 replaced by U+FFFD.
std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const size_t n = characterLength(text, i);
        const char c = text[i];
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += text.substr(i, n);
        }
        i += n;
    }
    return out + '"';
}

// The report of the catalogue options name: opens it read-only and shared,
// checks its marker, reads the category and finds its clusters. Raises the
// engine's errors, NotADatabase when the version check refuses the file, and
// std::bad_alloc.
std::string report(const Options& options) {
    std::unique_ptr<engine::Database> db =
        engine::DatabaseEngine().OpenDatabase(options.path, false, true);
    if (!CheckCatalogueVersion(options.path))
        throw engine::Error(engine::err::NotADatabase, "'" + options.path + "' is not a " +
                                                           catalogue::ProductVersion +
                                                           " catalogue.");
    const catalogue::Category& category = *options.category;
    const std::vector<dupes::Entry> entries = dupes::ReadEntries(*db, category);
    const ItemCounts counts(*db, category);
    const dedupe::Pairs ruledOut = ruledout::AmongEntries(entries, ruledout::Read(*db, category));
    db->Close();

    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const dupes::Entry& e : entries)
        names.push_back(e.name);
    const std::vector<dedupe::Found> found =
        dedupe::findScored(names, dupes::SettingsFor(category, options.settings), ruledOut).value();
    std::ostringstream out;
    WriteReport(out, options.format, entries, dupes::MakeGroups(entries, found, counts));
    return out.str();
}

} // namespace

std::string Usage() {
    const dedupe::Settings defaults;
    return "Usage: finddups [OPTIONS] CATALOGUE\n"
           "Reports the likely duplicate entries of one category of the catalogue, each\n"
           "cluster with its certainty, reason and members. The file is only read.\n"
           "\n"
           "  --category NAME  subjects (default), publishers or types\n"
           "  --method NAME    suggested (default), core, words, acronym, fingerprint,\n"
           "                   ngram, stemmed or nearest\n"
           "  --param N        ngram: the n-gram size, 1 to 3 (default " +
           std::to_string(defaults.ngram) +
           ");\n"
           "                   nearest: the edit distance, 1 to 3 (default " +
           std::to_string(defaults.radius) +
           ");\n"
           "                   words: the least similarity in percent, 50 to 95 (default " +
           std::to_string(defaults.similarity) +
           ")\n"
           "  --format NAME    tsv (default) or json\n"
           "  --help           show this text and exit\n"
           "  --version        show the version and exit\n"
           "\n"
           "Options may also be written --name=VALUE; \"--\" ends them.\n";
}

Options ReadArguments(const std::vector<std::string>& args) {
    Options options;
    options.category = catalogue::CategoryOfWord("Subject");
    std::optional<std::string> param;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (!options.path.empty())
                throw UsageError("more than one CATALOGUE given");
            options.path = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "--version") {
            (arg == "--help" ? options.help : options.version) = true;
            return options;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (name != "--category" && name != "--method" && name != "--param" && name != "--format")
            throw UsageError("unknown option '" + name + "'");
        if (eq == std::string::npos && i + 1 >= args.size())
            throw UsageError("option " + name + " needs a value");
        const std::string value = eq == std::string::npos ? args[++i] : arg.substr(eq + 1);
        if (name == "--category")
            options.category = catalogue::CategoryOfWord(lookUp(categoryNames, name, value));
        else if (name == "--method")
            options.settings.method = lookUp(methodNames, name, value);
        else if (name == "--format")
            options.format = lookUp(formatNames, name, value);
        else
            param = value;
    }
    if (options.path.empty())
        throw UsageError("no CATALOGUE given");
    if (param) {
        int low = 0, high = 0, n = 0;
        int* target = parameterOf(options.settings, low, high);
        if (!target)
            throw UsageError("--param applies to the ngram, nearest and words methods only");
        const char* const end = param->data() + param->size();
        const auto [stop, ec] = std::from_chars(param->data(), end, n);
        if (param->empty() || ec != std::errc() || stop != end || n < low || n > high)
            throw UsageError("--param must be a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + " for this method");
        *target = n;
    }
    return options;
}

void WriteReport(std::ostream& out, Format format, const std::vector<dupes::Entry>& entries,
                 const std::vector<dupes::Group>& groups) {
    if (format == Format::Tsv)
        out << "cluster\tcertainty\treason\tcode\tname\titems\ttarget\n";
    else
        out << (groups.empty() ? "[" : "[\n");
    for (size_t g = 0; g < groups.size(); ++g) {
        const dupes::Group& group = groups[g];
        if (format == Format::Json)
            out << "{\"certainty\": " << group.certainty
                << ", \"reason\": " << jsonString(group.reason) << ", \"members\": [";
        for (size_t m = 0; m < group.members.size(); ++m) {
            const dupes::Member& member = group.members[m];
            const dupes::Entry& entry = entries[static_cast<size_t>(member.entry)];
            const bool target = static_cast<int>(m) == group.target;
            if (format == Format::Tsv)
                out << g + 1 << '\t' << group.certainty << '\t' << tsvField(group.reason) << '\t'
                    << entry.code << '\t' << tsvField(entry.name) << '\t' << member.items << '\t'
                    << (target ? "yes" : "") << '\n';
            else
                out << (m ? ", " : "") << "{\"code\": " << entry.code
                    << ", \"name\": " << jsonString(entry.name) << ", \"items\": " << member.items
                    << ", \"target\": " << (target ? "true" : "false") << '}';
        }
        if (format == Format::Json)
            out << (g + 1 < groups.size() ? "]},\n" : "]}\n");
    }
    if (format == Format::Json)
        out << "]\n";
}

int Main(int argc, const char* const argv[]) {
    Options options;
    try {
        options = ReadArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "finddups: " << e.what() << '\n' << Usage();
        return 2;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? Usage() : "finddups (catalogue-tools) " FINDDUPS_VERSION "\n");
        return 0;
    }
    try {
        std::cout << report(options) << std::flush;
        if (!std::cout)
            throw engine::Error(engine::err::PathFileAccess,
                                "The report could not be written to standard output.");
        return 0;
    } catch (const engine::Error& e) {
        std::cerr << "finddups: error " << e.Number() << ": " << e.Text() << '\n';
    } catch (const std::bad_alloc&) {
        std::cerr << "finddups: error " << engine::err::OutOfMemory << ": Out of memory\n";
    } catch (const std::exception& e) {
        std::cerr << "finddups: error " << engine::err::EngineFailure << ": " << e.what() << '\n';
    }
    return 1;
}

} // namespace finddups
