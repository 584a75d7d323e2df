// mkcatalogue: writes a sample catalogue file from the command line.
#include "samplegen.h"

#include <charconv>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

const char* usage = "Usage: mkcatalogue [OPTIONS] PATH\n"
                    "Writes a new sample catalogue at PATH, which must not exist.\n"
                    "\n"
                    "  --items N          items in [MERVANE RECORDS] (default 1000)\n"
                    "  --subjects N       entries in Subjects (default 200)\n"
                    "  --publishers N     entries in Publishers (default 50)\n"
                    "  --types N          entries in Types (default 12)\n"
                    "  --seed N           seed; the same seed writes the same content (default 1)\n"
                    "  --product TEXT     Product Name in FILEINFO (default \"Mervane 1.7\")\n"
                    "  --null-product     a Null Product Name in FILEINFO\n"
                    "  --truth FILE       also write FILE: which lookup entries are forms of the\n"
                    "                     same name, one line \"table<TAB>code<TAB>group\" each\n"
                    "  --help             show this text and exit\n"
                    "\n"
                    "Options may also be written --name=VALUE.\n";

// A command-line mistake: reported with the usage hint, exit status 2.
struct UsageError {
    std::string text;
};

// Reads a whole decimal number into out; raises UsageError for anything else.
template <class T> void parseNumber(std::string_view option, std::string_view text, T& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw UsageError{"invalid number for " + std::string(option) + ": '" + std::string(text) +
                         "'"};
    if constexpr (std::is_signed_v<T>)
        if (out < 0)
            throw UsageError{std::string(option) + " must not be negative"};
}

// Fills opts and path from the arguments; returns false when --help was asked for.
bool parseArguments(int argc, char** argv, samplegen::Options& opts, std::string& path) {
    bool productGiven = false;
    bool nullProduct = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (!path.empty())
                throw UsageError{"more than one PATH given"};
            path = arg;
            continue;
        }
        if (arg == "--help" || arg == "-h")
            return false;
        if (arg == "--null-product") {
            nullProduct = true;
            continue;
        }
        std::string_view name = arg;
        std::string_view value;
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else {
            if (name != "--items" && name != "--subjects" && name != "--publishers" &&
                name != "--types" && name != "--seed" && name != "--product" && name != "--truth")
                throw UsageError{"unknown option '" + std::string(arg) + "'"};
            if (i + 1 >= argc)
                throw UsageError{"option " + std::string(name) + " needs a value"};
            value = argv[++i];
        }
        if (name == "--items")
            parseNumber(name, value, opts.items);
        else if (name == "--subjects")
            parseNumber(name, value, opts.subjects);
        else if (name == "--publishers")
            parseNumber(name, value, opts.publishers);
        else if (name == "--types")
            parseNumber(name, value, opts.types);
        else if (name == "--seed")
            parseNumber(name, value, opts.seed);
        else if (name == "--product") {
            opts.productName = std::string(value);
            productGiven = true;
        } else if (name == "--truth") {
            if (value.empty())
                throw UsageError{"--truth needs a file name"};
            opts.truthPath = std::string(value);
        } else
            throw UsageError{"unknown option '" + std::string(name) + "'"};
    }
    if (productGiven && nullProduct)
        throw UsageError{"--product and --null-product exclude each other"};
    if (nullProduct)
        opts.productName.reset();
    if (path.empty())
        throw UsageError{"no PATH given"};
    return true;
}

} // namespace

// Exit status: 0 written, 1 the catalogue could not be written, 2 a mistake
// on the command line.
int main(int argc, char** argv) {
    samplegen::Options opts;
    std::string path;
    try {
        if (!parseArguments(argc, argv, opts, path)) {
            std::cout << usage;
            return 0;
        }
    } catch (const UsageError& e) {
        std::cerr << "mkcatalogue: " << e.text << "\nTry 'mkcatalogue --help'.\n";
        return 2;
    }

    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
        std::cerr << "mkcatalogue: " << path << " already exists; not overwritten\n";
        return 1;
    }
    try {
        samplegen::WriteSampleCatalogue(path, opts);
    } catch (const engine::Error& e) {
        std::cerr << "mkcatalogue: cannot write " << path << ": " << e.Text() << " (error "
                  << e.Number() << ")\n";
        return 1;
    }
    std::cout << "Wrote " << path << ": " << opts.items << " items, " << opts.subjects
              << " subjects, " << opts.publishers << " publishers, " << opts.types
              << " types (seed " << opts.seed << ")\n";
    return 0;
}
