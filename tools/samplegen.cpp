// The sample-catalogue generator: the catalogue schema, realistic lookup names
// with the near-duplicates that users type, and items that refer to them.
// Everything is derived from the seed through a small generator of our own, so
// a seed writes the same file on every machine and library version.
#include "samplegen.h"

#include "catalogue.h"
#include "query.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace samplegen {
namespace {

using engine::Error;
namespace err = engine::err;
using Name = std::optional<std::string>; // nullopt is a Null name

constexpr std::int64_t maxCode = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t rowsPerInsert = 50;

// splitmix64: small, fast, and the same sequence everywhere.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // A whole number in [0, n); n must be positive. The modulo bias is far
    // below anything a sample catalogue could show.
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    // A real number in [0, 1), from the top 53 bits.
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }
    template <class T> const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

private:
    std::uint64_t state_;
};

// One generator stream per table, so that the lookup tables of a seed stay
// the same whatever number of items is asked for.
Rng stream(unsigned seed, std::uint64_t salt) {
    Rng mix(static_cast<std::uint64_t>(seed) * 0x2545f4914f6cdd1dULL ^ salt);
    return Rng(mix.next());
}

struct Entry {
    std::int64_t code;
    Name name;
    int group = -1; // the name it is a form of; -1 for a blank or Null name
};

// ---- Word lists -----------------------------------------------------------

const std::vector<std::string> surnames = {
    "Smith",    "Jones",    "Brown",   "Taylor",   "Wilson",   "Davies",      "Evans",   "Thomas",
    "Johnson",  "Roberts",  "Walker",  "Wright",   "Robinson", "Thompson",    "White",   "Hughes",
    "Edwards",  "Green",    "Hall",    "Wood",     "Harris",   "Clarke",      "Jackson", "Turner",
    "Hill",     "Moore",    "Cooper",  "Ward",     "Morris",   "King",        "Watson",  "Baker",
    "Harrison", "Morgan",   "Patel",   "Young",    "Allen",    "Mitchell",    "Martin",  "Kelly",
    "O'Brien",  "O'Connor", "MacLeod", "McDonald", "Müller",   "Schröder",    "Dupont",  "Lefèvre",
    "García",   "Núñez",    "Åberg",   "Kowalski", "Nowak",    "Dvořák",      "Rossi",   "Bianchi",
    "Larsen",   "Nakamura", "Chen",    "Singh",    "Okafor",   "Van der Berg"};

const std::vector<std::string> givenNames = {
    "John",  "Mary",  "David",   "Sarah",  "James",  "Anne",     "Peter",  "Helen",
    "Paul",  "Susan", "Michael", "Jane",   "Robert", "Margaret", "George", "Elizabeth",
    "Henri", "Zoë",   "José",    "Jürgen", "Ingrid", "Søren",    "Chiara", "Kenji",
    "A. J.", "R. L.", "T. S.",   "Mei",    "Ravi",   "Chinua",   "Agnès",  "Björn"};

const std::vector<std::string> titleWords = {
    "history", "life",    "guide",   "garden",   "river",      "war",     "peace",   "music",
    "journey", "house",   "letters", "science",  "art",        "world",   "child",   "mountain",
    "sea",     "kitchen", "machine", "theory",   "practice",   "secret",  "island",  "city",
    "night",   "winter",  "summer",  "stone",    "light",      "shadow",  "road",    "bridge",
    "king",    "queen",   "empire",  "language", "computer",   "program", "network", "birds",
    "flowers", "cooking", "baking",  "wine",     "painting",   "poems",   "stories", "tales",
    "songs",   "the",     "of",      "and",      "a",          "in",      "for",     "to",
    "on",      "with",    "new",     "old",      "complete",   "little",  "great",   "modern",
    "early",   "last",    "first",   "brief",    "illustrated"};

// clang-format off
const std::vector<std::string> subjectTopics = {
    "Agriculture", "Anthropology", "Archaeology", "Architecture", "Astronomy", "Biology", "Botany",
    "Business", "Chemistry", "Cookery", "Dance", "Drama", "Economics", "Education", "Engineering",
    "Ethics", "Fiction", "Film", "Folklore", "Gardening", "Geography", "Geology", "History",
    "Journalism", "Languages", "Law", "Linguistics", "Literature", "Mathematics", "Medicine",
    "Military history", "Music", "Mythology", "Nursing", "Painting", "Philosophy", "Photography",
    "Physics", "Poetry", "Politics", "Psychology", "Railways", "Religion", "Sculpture", "Shipping",
    "Sociology", "Sport", "Statistics", "Theatre", "Transport", "Travel", "Zoology",
    "Women's studies", "Children's fiction", "Local history", "Natural history", "Computers",
    "Crafts", "Costume", "Genealogy", "Heraldry", "Horticulture", "Knitting", "Numismatics",
    "Ornithology", "Pottery", "Printing", "Stamps", "Textiles", "Weaving", "Wine", "Arts & crafts",
    "Science fiction", "Fairy tales", "Mountaineering", "Sailing"};

const std::vector<std::string> subjectSubdivisions = {
    "Bibliography", "Biography", "Dictionaries", "Encyclopedias", "Handbooks", "History",
    "Periodicals", "Study and teaching", "Juvenile literature", "Pictorial works", "Criticism",
    "Collections", "Exhibitions", "Catalogs", "Statistics", "Maps", "Social aspects", "Philosophy",
    "Sources", "Congresses", "Directories", "Outlines", "Problems, exercises, etc.", "Textbooks",
    "Anecdotes", "Guidebooks"};
// clang-format on

const std::vector<std::string> places = {
    "England",       "Scotland",  "Wales",       "Ireland",   "France", "Germany",
    "Italy",         "Spain",     "Portugal",    "Greece",    "Norway", "Sweden",
    "Denmark",       "Poland",    "Russia",      "China",     "Japan",  "India",
    "Egypt",         "Kenya",     "Nigeria",     "Brazil",    "Mexico", "Canada",
    "United States", "Australia", "New Zealand", "London",    "Paris",  "Rome",
    "Zürich",        "Köln",      "Montréal",    "São Paulo", "Kraków", "Reykjavík",
    "Île-de-France", "Bretagne",  "Yorkshire",   "Cornwall",  "Ελλάδα", "Москва",
    "日本",          "Tōkyō",     "Kyōto",       "Ōsaka",     "Miṣr",   "Baghdād",
    "Ṣanʻāʼ",        "Dimashq",   "Bayrūt",      "Lahore",    "Dhākā",  "Kāṭhmāṇḍū"};

const std::vector<std::string> periods = {
    "To 1500",      "16th century",     "17th century",        "18th century", "19th century",
    "20th century", "21st century",     "1900-1945",           "1945-",        "Middle Ages",
    "Renaissance",  "Victorian period", "Early works to 1800", "Ancient",      "1914-1918",
    "1918-1939",    "1939-1945"};

// Publishers' names as transliterated from Arabic, Japanese, Hindi and
// Russian, with the macrons, dots and modifier letters of the romanisation.
const std::vector<std::string> transliteratedPublishers = {"Dār al-Maʻārif",
                                                           "Dār al-Kutub al-ʻIlmīyah",
                                                           "Maktabat al-Khānjī",
                                                           "Dār al-Shurūq",
                                                           "Tōkyō Daigaku Shuppankai",
                                                           "Kōdansha",
                                                           "Shūeisha",
                                                           "Iwanami Shoten",
                                                           "Chūō Kōronsha",
                                                           "Rājakamala Prakāśana",
                                                           "Motīlāl Banārsīdās",
                                                           "Izdatelʹstvo Nauka",
                                                           "Izdatelʹstvo Progress",
                                                           "Sovetskiĭ pisatelʹ",
                                                           "Khudozhestvennaia literatura"};

const std::vector<std::string> publisherForms = {
    "{} Press", "{} & Sons",   "{} and Sons", "{} Publishing",       "{} Publishers",
    "{} Books", "{} Bks.",     "{} Verlag",   "Éditions {}",         "{} Ltd.",
    "{} & Co.", "{} Company",  "{} House",    "{} University Press", "{} Univ. Press",
    "{} Media", "{} (Pty) Ltd"};

const std::vector<std::string> typeWords = {
    "Book",       "Pamphlet",  "Map",         "Atlas",          "Score",
    "Periodical", "Magazine",  "Newspaper",   "Video cassette", "DVD",
    "Blu-ray",    "CD",        "CD-ROM",      "Audio cassette", "LP record",
    "Microfiche", "Microfilm", "Slide",       "Photograph",     "Poster",
    "Postcard",   "Kit",       "Game",        "Manuscript",     "Thesis",
    "Report",     "Braille",   "Large print", "E-book",         "Globe",
    "Model"};

// The first entries of every table: the near-duplicates that a combine run is
// for, placed first so that even a small catalogue has each kind of them,
// and names that look alike but are not the same. Each entry names the name
// it is a form of (nullptr: itself). A missing value (nullopt) is a Null name.
struct Curated {
    Name name;
    const char* base = nullptr;
};

// clang-format off
const std::vector<Curated> curatedSubjects = {
    {"Computers"}, {"computers", "Computers"}, {"Computers ", "Computers"},
    {"Computer", "Computers"}, {"History"}, {"Histroy", "History"}, {"Art & Architecture"},
    {"Art and Architecture", "Art & Architecture"}, {"Children's Books"},
    {"Children's Bks.", "Children's Books"}, {""}, {std::nullopt}, {"Cookery"},
    {"Cokery", "Cookery"}, {"Science [General]"}, {"Music; Scores"}, {"Éducation"},
    {"éducation", "Éducation"}, {"Poetry \"Modern\""}, {" Poetry", "Poetry"},
    {"Travel -- Europe"}, {"Travel - Europe", "Travel -- Europe"}, {"Biography"},
    {"Biographies", "Biography"}, {"Religion & Philosophy"},
    {"Religion and Philosophy", "Religion & Philosophy"}, {"Natural History", "Natural history"},
    {"Natural history"}, {"Gardening"}, {"Gardenning", "Gardening"}, {"Sport"},
    {"Sports", "Sport"}, {"Ελληνική ιστορία"}, {"COMPUTERS", "Computers"}, {"Zoology"},
    {"Zoolgy", "Zoology"}, {"World War, 1914-1918"}, {"World War, 1939-1945"},
    {"World War, 1914-1918.", "World War, 1914-1918"}, {"Chemistry 1"}, {"Chemistry 2"}};

const std::vector<Curated> curatedPublishers = {
    {"O'Reilly"}, {"O'Reilly & Associates"},
    {"O'Reilly and Associates", "O'Reilly & Associates"}, {"O'Reily", "O'Reilly"},
    {"Éditions Gallimard"}, {"Editions Gallimard", "Éditions Gallimard"}, {"Penguin Books"},
    {"Penguin Bks.", "Penguin Books"}, {"penguin books", "Penguin Books"},
    {"Penguin Books ", "Penguin Books"}, {""}, {std::nullopt}, {"Harper & Row"},
    {"Harper and Row", "Harper & Row"}, {"Addison-Wesley"}, {"Adison-Wesley", "Addison-Wesley"},
    {"Springer-Verlag"}, {"Springer Verlag", "Springer-Verlag"}, {"Wiley; Chichester"},
    {"Wiley (J.)"}, {"Random House"}, {"Random Houses", "Random House"},
    {"Oxford University Press"}, {"Oxford Univ. Press", "Oxford University Press"},
    {"Suhrkamp Verlag"}, {"Müller & Söhne"}, {"Faber and Faber"},
    {"Faber & Faber", "Faber and Faber"}, {"Macmillan"}, {"MacMillan", "Macmillan"},
    {"McGraw-Hill"}, {"[s.n.]"}, {"Harper & Row, :", "Harper & Row"}, {"Methuen ;", "Methuen"},
    {"[Methuen]", "Methuen"}, {"Methuen"}, {"Macmillan.", "Macmillan"},
    {"Tōkyō Daigaku Shuppankai"}, {"Tokyo Daigaku Shuppankai", "Tōkyō Daigaku Shuppankai"},
    {"Dār al-Maʻārif"}, {"D\uFFFD\uFFFDr al-Ma\uFFFD\uFFFDrif", "Dār al-Maʻārif"}};
// clang-format on

const std::vector<Curated> curatedTypes = {{"Book"},
                                           {"Books", "Book"},
                                           {"book", "Book"},
                                           {"Video cassette"},
                                           {"Videocassette", "Video cassette"},
                                           {"CD-ROM"},
                                           {""},
                                           {"Map ", "Map"},
                                           {std::nullopt},
                                           {"Periodical"},
                                           {"Periodcal", "Periodical"},
                                           {"Sound recording"},
                                           {"Audio cassette"},
                                           {"Audio cassettes", "Audio cassette"},
                                           {"E-book"},
                                           {"Éditions limitées"},
                                           {"Score; parts"},
                                           {"Kit [mixed]"}};

// ---- Near-duplicates ------------------------------------------------------

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}
char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// Replaces the first occurrence of from in s by to; false when there is none.
bool replaceFirst(std::string& s, std::string_view from, std::string_view to) {
    auto at = s.find(from);
    if (at == std::string::npos)
        return false;
    s.replace(at, from.size(), to);
    return true;
}

// Positions of ASCII letters in s. Only these are altered, so multi-byte
// UTF-8 sequences are never split.
std::vector<std::size_t> letterPositions(const std::string& s) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (isAsciiLetter(s[i]))
            at.push_back(i);
    return at;
}

// The code point of the UTF-8 sequence at s[i] and its length in bytes
// (the generator writes only well-formed text).
std::pair<char32_t, std::size_t> codePointAt(const std::string& s, std::size_t i) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k)
        c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return {c, len};
}

bool hasNonAscii(const std::string& s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// True when every non-ASCII character of s is a Latin letter with a mark, or
// a modifier letter: text that a legacy single-byte or MARC-8 system held,
// and that a wrong decoding turns into U+FFFD.
bool onlyLatinExtras(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        auto [c, len] = codePointAt(s, i);
        if (c >= 0x80 && !(c < 0x0370 || (c >= 0x1E00 && c < 0x1F00)))
            return false;
        i += len;
    }
    return true;
}

// ASCII spellings of the marked letters and modifier letters in the word
// lists, as a cataloguer without the characters would type them.
const std::vector<std::pair<std::string, std::string>> plainLetters = {
    {"á", "a"}, {"à", "a"}, {"â", "a"}, {"ä", "a"}, {"ã", "a"}, {"å", "a"}, {"ā", "a"}, {"é", "e"},
    {"è", "e"}, {"ê", "e"}, {"ë", "e"}, {"í", "i"}, {"î", "i"}, {"ī", "i"}, {"ĭ", "i"}, {"ó", "o"},
    {"ô", "o"}, {"ö", "o"}, {"ō", "o"}, {"ø", "o"}, {"ú", "u"}, {"ü", "u"}, {"ū", "u"}, {"ñ", "n"},
    {"ṇ", "n"}, {"ç", "c"}, {"č", "c"}, {"ř", "r"}, {"ś", "s"}, {"ṣ", "s"}, {"š", "s"}, {"ṭ", "t"},
    {"ž", "z"}, {"ł", "l"}, {"É", "E"}, {"Î", "I"}, {"Ö", "O"}, {"Ō", "O"}, {"Ü", "U"}, {"Ṣ", "S"},
    {"Å", "A"}, {"ʻ", "'"}, {"ʼ", "'"}, {"ʹ", "'"}};

// s with its marked letters typed plain; modifier letters become an
// apostrophe, or vanish when dropModifiers is set.
std::string plainTyped(std::string s, bool dropModifiers) {
    for (const auto& [from, to] : plainLetters) {
        std::string by = dropModifiers && to == "'" ? "" : to;
        while (replaceFirst(s, from, by)) {
        }
    }
    return s;
}

// The twin of s read back through the wrong decoder: each non-ASCII
// character lost, leaving one U+FFFD per byte, or per character when
// perByte is false.
std::string misDecoded(const std::string& s, bool perByte) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        auto [c, len] = codePointAt(s, i);
        if (c < 0x80)
            out += s[i];
        else
            for (std::size_t k = 0; k < (perByte ? len : 1); ++k)
                out += "\xEF\xBF\xBD";
        i += len;
    }
    return out;
}

// Full words and their abbreviations in catalogue data, each way round.
const std::vector<std::pair<std::string_view, std::string_view>> abbreviations = {
    {"Books", "Bks."},         {"University", "Univ."},    {"Company", "Co."},
    {"Brothers", "Bros."},     {"Publishing", "Pub."},     {"Publishers", "Pubs."},
    {"Limited", "Ltd."},       {"Association", "Assoc."},  {"Society", "Soc."},
    {"Department", "Dept."},   {"History", "Hist."},       {"Biography", "Biog."},
    {"Literature", "Lit."},    {"Dictionaries", "Dict."},  {"Geography", "Geog."},
    {"Philosophy", "Philos."}, {"Press", "Pr."},           {"Verlag", "Vlg."},
    {"Science", "Sci."},       {"International", "Intl."}, {"National", "Natl."}};

bool abbreviate(std::string& s, Rng& rng) {
    std::vector<std::pair<std::string_view, std::string_view>> fits;
    for (auto [full, abbr] : abbreviations) {
        if (s.find(full) != std::string::npos)
            fits.emplace_back(full, abbr);
        if (s.find(abbr) != std::string::npos)
            fits.emplace_back(abbr, full);
    }
    if (fits.empty())
        return false;
    auto [from, to] = rng.pick(fits);
    return replaceFirst(s, from, to);
}

// Another number of one word of four letters or more: "Biography" and
// "Biographies", "Handbooks" and "Handbook".
bool otherNumber(std::string& s, Rng& rng) {
    std::vector<std::pair<std::size_t, std::size_t>> words;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t j = i;
        while (j < s.size() && isAsciiLetter(s[j]))
            ++j;
        if (j - i >= 4 && (j == s.size() || !(static_cast<unsigned char>(s[j]) & 0x80)))
            words.emplace_back(i, j - i);
        i = j == i ? i + 1 : j;
    }
    if (words.empty())
        return false;
    auto [at, len] = rng.pick(words);
    std::string w = s.substr(at, len);
    auto ends = [&](std::string_view e) {
        return w.size() >= e.size() && w.compare(w.size() - e.size(), e.size(), e) == 0;
    };
    if (ends("ies"))
        w.replace(w.size() - 3, 3, "y");
    else if (ends("ss") || ends("ch") || ends("sh") || ends("x"))
        w += "es";
    else if (ends("s"))
        w.pop_back();
    else if (ends("y") && std::string_view("aeiou").find(w[w.size() - 2]) == std::string_view::npos)
        w.replace(w.size() - 1, 1, "ies");
    else
        w += 's';
    s.replace(at, len, w);
    return true;
}

// A letter that a finger near the right key gives instead.
char neighbourKey(char c, Rng& rng) {
    static const std::string_view rows[] = {"qwertyuiop", "asdfghjkl", "zxcvbnm"};
    char lower = asciiLower(c);
    for (auto row : rows) {
        auto at = row.find(lower);
        if (at == std::string_view::npos)
            continue;
        std::size_t to = at == 0                ? 1
                         : at + 1 == row.size() ? at - 1
                         : rng.chance(0.5)      ? at - 1
                                                : at + 1;
        return c == lower ? row[to] : asciiUpper(row[to]);
    }
    return c;
}

// A typing error in one letter: two neighbours swapped, one dropped, one
// doubled, one replaced by or with a stray neighbouring key.
bool typingError(std::string& s, Rng& rng) {
    auto at = letterPositions(s);
    if (at.size() < 4)
        return false;
    auto i = at[1 + rng.below(at.size() - 1)];
    switch (rng.below(5)) {
    case 0:
        if (i + 1 < s.size() && isAsciiLetter(s[i + 1]) && s[i] != s[i + 1]) {
            std::swap(s[i], s[i + 1]);
            return true;
        }
        [[fallthrough]];
    case 1:
        s.erase(i, 1);
        return true;
    case 2:
        s.insert(i, 1, s[i]);
        return true;
    case 3:
        s[i] = neighbourKey(s[i], rng);
        return true;
    default:
        s.insert(i, 1, neighbourKey(s[i], rng));
        return true;
    }
}

// A near-duplicate of name, of the kinds found in catalogues: another letter
// case; blanks doubled, leading or trailing; trailing ISBD punctuation; the
// name in brackets; singular for plural; an abbreviation; "&" for "and"; a
// typing error; and, in names with marked letters, the letters typed plain,
// or the whole name mis-decoded into U+FFFD with those letters lost.
std::string nearDuplicate(std::string s, Rng& rng) {
    if (hasNonAscii(s) && rng.chance(0.3)) {
        bool latin = onlyLatinExtras(s);
        auto roll = rng.below(3);
        if (latin && roll == 0)
            return misDecoded(s, rng.chance(0.7));
        std::string plain = plainTyped(s, rng.chance(0.5));
        if (plain != s)
            return plain;
    }
    static const char* const isbdEnds[] = {",", ".", " :", " ;", " /", ", :", " ,"};
    switch (rng.below(14)) {
    case 0:
        std::transform(s.begin(), s.end(), s.begin(), asciiLower);
        return s;
    case 1:
        std::transform(s.begin(), s.end(), s.begin(), asciiUpper);
        return s;
    case 2:
        return s + " ";
    case 3:
        if (otherNumber(s, rng))
            return s;
        return s + " ";
    case 4:
    case 5:
        if (abbreviate(s, rng))
            return s;
        return s + isbdEnds[rng.below(std::size(isbdEnds))];
    case 6:
        if (replaceFirst(s, " & ", " and ") || replaceFirst(s, " and ", " & "))
            return s;
        std::transform(s.begin(), s.end(), s.begin(), asciiLower);
        return s;
    case 7:
    case 8:
    case 9:
        if (typingError(s, rng))
            return s;
        return s + " ";
    case 10:
        return s + isbdEnds[rng.below(std::size(isbdEnds))];
    case 11:
        return "[" + s + "]";
    case 12:
        return " " + s;
    default:
        // A doubled blank between words, or a trailing one in a single word.
        if (!replaceFirst(s, " ", "  "))
            s += ' ';
        return s;
    }
}

// ---- Names ----------------------------------------------------------------

std::string capitalised(std::string s) {
    if (!s.empty())
        s[0] = asciiUpper(s[0]);
    return s;
}

std::string subjectName(Rng& rng) {
    std::string s = rng.pick(subjectTopics);
    if (rng.chance(0.85))
        s += " -- " + rng.pick(subjectSubdivisions);
    if (rng.chance(0.6))
        s += " -- " + rng.pick(places);
    if (rng.chance(0.5))
        s += " -- " + rng.pick(periods);
    return s;
}

std::string publisherName(Rng& rng) {
    if (rng.chance(0.08))
        return rng.pick(transliteratedPublishers) +
               (rng.chance(0.5) ? ", " + rng.pick(places) : "");
    std::string form = rng.pick(publisherForms);
    const std::string& who = rng.chance(0.15) ? rng.pick(places) : rng.pick(surnames);
    replaceFirst(form, "{}", who);
    if (rng.chance(0.2))
        form += ", " + rng.pick(places);
    return form;
}

std::string typeName(Rng& rng) {
    std::string s = rng.pick(typeWords);
    if (rng.chance(0.5))
        s += rng.chance(0.5) ? " (" + rng.pick(titleWords) + ")" : ", " + rng.pick(titleWords);
    return s;
}

// Codes for n entries: unique, increasing by uneven steps from a seeded start
// and ending with the largest 32-bit code, then shuffled over the entries so
// that table order, code order and name order all differ.
std::vector<std::int64_t> makeCodes(std::size_t n, Rng& rng) {
    std::vector<std::int64_t> codes;
    if (n == 0)
        return codes;
    std::int64_t start = 1 + static_cast<std::int64_t>(rng.below(1000));
    std::int64_t room = maxCode - start - 1;
    std::int64_t maxStep = std::clamp<std::int64_t>(room / static_cast<std::int64_t>(n), 1, 7);
    codes.reserve(n);
    std::int64_t code = start;
    for (std::size_t i = 0; i < n; ++i) {
        codes.push_back(code);
        code += 1 + static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(maxStep)));
    }
    if (n > 1)
        codes.back() = maxCode;
    for (std::size_t i = n - 1; i > 0; --i)
        std::swap(codes[i], codes[rng.below(i + 1)]);
    return codes;
}

// A lookup table of n entries: the curated names first, then generated ones.
// Of those, about one in seven is a near-duplicate of an earlier name, one in
// a hundred an exact repeat, one in a thousand empty and one in a thousand
// Null; the rest are fresh names, redrawn a few times when already taken so
// that repeats stay as rare as they are in a real table. Each entry with a
// name carries the group of the name it is a form of: a near-duplicate or a
// repeat that of the entry it copies, a fresh name that of an earlier entry
// of the same text or a group of its own.
template <class MakeName>
std::vector<Entry> makeLookup(std::size_t n, const std::vector<Curated>& curated, MakeName makeName,
                              Rng& rng) {
    std::vector<Entry> entries;
    entries.reserve(n);
    std::unordered_map<std::string, int> groupOf; // every name written so far
    int groups = 0;
    auto groupFor = [&](const std::string& name) {
        auto [at, added] = groupOf.try_emplace(name, groups);
        if (added)
            ++groups;
        return at->second;
    };
    auto fresh = [&] {
        std::string name = makeName(rng);
        for (int tries = 0; tries < 8 && groupOf.count(name); ++tries)
            name = makeName(rng);
        return name;
    };
    auto codes = makeCodes(n, rng);
    for (std::size_t i = 0; i < n; ++i) {
        Entry e{codes[i], std::nullopt};
        if (i < curated.size()) {
            e.name = curated[i].name;
            if (e.name && !e.name->empty())
                e.group = groupFor(curated[i].base ? std::string(curated[i].base) : *e.name);
        } else {
            double roll = rng.unit();
            const Entry& earlier = entries[rng.below(entries.size())];
            if (roll < 0.001) {
                e.name = std::nullopt;
            } else if (roll < 0.002) {
                e.name = std::string();
            } else if (roll < 0.012) {
                e.name = earlier.name;
                e.group = earlier.group;
            } else if (roll < 0.15 && earlier.name && !earlier.name->empty()) {
                e.name = nearDuplicate(*earlier.name, rng);
                e.group = earlier.group;
            } else {
                e.name = fresh();
                e.group = groupFor(*e.name);
            }
        }
        if (e.name && e.group >= 0)
            groupOf.try_emplace(*e.name, e.group);
        entries.push_back(std::move(e));
    }
    return entries;
}

// Appends to out one line "table<TAB>code<TAB>group" for each entry of a
// group of two entries or more; groups are numbered from 1 in each table in
// the order of their first entry.
void appendTruth(std::string& out, const std::string& table, const std::vector<Entry>& entries) {
    std::unordered_map<int, int> size, number;
    for (const auto& e : entries)
        if (e.group >= 0)
            ++size[e.group];
    for (const auto& e : entries) {
        if (e.group < 0 || size[e.group] < 2)
            continue;
        auto [at, added] = number.try_emplace(e.group, static_cast<int>(number.size()) + 1);
        out += table + '\t' + std::to_string(e.code) + '\t' + std::to_string(at->second) + '\n';
    }
}

// ---- SQL text -------------------------------------------------------------

void appendNumber(std::string& sql, std::int64_t v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec; // 24 characters hold every 64-bit number
    sql.append(buf, end);
}

// A string literal, single quotes doubled; Null for a missing value.
void appendText(std::string& sql, const Name& text) {
    if (!text) {
        sql += "NULL";
        return;
    }
    sql += '\'';
    for (char c : *text) {
        if (c == '\'')
            sql += '\'';
        sql += c;
    }
    sql += '\'';
}

// Writes rows through multi-row INSERT statements of rowsPerInsert rows each.
// head is the statement up to and including "VALUES "; addRow(sql, i)
// appends row i's parenthesised values.
template <class AddRow>
void insertRows(engine::Database& db, const std::string& head, std::size_t count, AddRow addRow) {
    std::string sql;
    for (std::size_t first = 0; first < count; first += rowsPerInsert) {
        sql.assign(head);
        std::size_t last = std::min(count, first + rowsPerInsert);
        for (std::size_t i = first; i < last; ++i) {
            if (i != first)
                sql += ',';
            addRow(sql, i);
        }
        db.Execute(sql);
    }
}

// "INSERT INTO table (fields...) VALUES ", names quoted.
std::string insertInto(const std::string& table, const std::vector<std::string>& fields) {
    std::string sql = "INSERT INTO " + engine::QuoteName(table) + " (";
    for (size_t i = 0; i < fields.size(); ++i)
        sql += (i ? ", " : "") + engine::QuoteName(fields[i]);
    return sql + ") VALUES ";
}

void insertLookup(engine::Database& db, const std::string& word,
                  const std::vector<Entry>& entries) {
    const catalogue::Category& category = *catalogue::CategoryOfWord(word);
    const std::string head = insertInto(category.table, {category.codeField, category.nameField});
    insertRows(db, head, entries.size(), [&](std::string& sql, std::size_t i) {
        sql += '(';
        appendNumber(sql, entries[i].code);
        sql += ',';
        appendText(sql, entries[i].name);
        sql += ')';
    });
}

// ---- Items ----------------------------------------------------------------

// Draws entries of one lookup table for the items: a share of -1 (no entry),
// the rest skewed so that a few entries are very popular and most are rare.
class Referrer {
public:
    Referrer(const std::vector<Entry>& entries, double noneShare, Rng& rng)
        : noneShare_(noneShare) {
        codes_.reserve(entries.size());
        for (const auto& e : entries)
            codes_.push_back(e.code);
        for (std::size_t i = codes_.size(); i > 1; --i)
            std::swap(codes_[i - 1], codes_[rng.below(i)]);
    }
    std::int64_t draw(Rng& rng) const {
        if (codes_.empty() || rng.chance(noneShare_))
            return -1;
        double u = rng.unit();
        // u cubed puts half of the references on the first eighth of entries.
        auto at = static_cast<std::size_t>(u * u * u * static_cast<double>(codes_.size()));
        return codes_[std::min(at, codes_.size() - 1)];
    }

private:
    std::vector<std::int64_t> codes_; // in order of popularity
    double noneShare_;
};

std::string title(Rng& rng) {
    std::string s;
    auto words = 1 + rng.below(6);
    for (std::uint64_t w = 0; w < words; ++w) {
        if (w)
            s += ' ';
        s += rng.pick(titleWords);
    }
    if (rng.chance(0.1))
        s += ": " + rng.pick(titleWords) + " " + rng.pick(titleWords);
    if (rng.chance(0.05))
        s = rng.pick(surnames) + "'s " + s;
    return capitalised(s);
}

// An ISBN-10 with a correct check digit.
std::string isbn(Rng& rng) {
    std::string s;
    int sum = 0;
    for (int i = 0; i < 9; ++i) {
        int d = static_cast<int>(rng.below(10));
        sum += d * (10 - i);
        s += static_cast<char>('0' + d);
    }
    int check = (11 - sum % 11) % 11;
    s += check == 10 ? 'X' : static_cast<char>('0' + check);
    return s;
}

void appendItem(std::string& sql, std::int64_t number, const Referrer& subjects,
                const Referrer& secondSubjects, const Referrer& publishers, const Referrer& types,
                Rng& rng) {
    sql += '(';
    appendNumber(sql, number);
    sql += ',';
    appendText(sql, title(rng));
    sql += ',';
    appendText(sql,
               rng.chance(0.03) ? Name() : Name(rng.pick(surnames) + ", " + rng.pick(givenNames)));
    for (const Referrer* r : {&subjects, &secondSubjects, &publishers, &types}) {
        sql += ',';
        appendNumber(sql, r->draw(rng));
    }
    sql += ',';
    if (rng.chance(0.05))
        sql += "NULL";
    else
        appendNumber(sql, 1850 + static_cast<std::int64_t>(rng.below(175)));
    sql += ',';
    appendText(sql, rng.chance(0.2) ? Name() : Name(isbn(rng)));
    sql += ',';
    Name notes;
    if (rng.chance(0.1))
        notes = "Signed by the author's " + rng.pick(titleWords) + "; " + rng.pick(places);
    appendText(sql, notes);
    sql += ')';
}

void insertItems(engine::Database& db, std::size_t count, const std::vector<Entry>& subjects,
                 const std::vector<Entry>& publishers, const std::vector<Entry>& types, Rng& rng) {
    Referrer firstSubject(subjects, 0.05, rng);
    Referrer secondSubject(subjects, 0.5, rng);
    Referrer publisher(publishers, 0.1, rng);
    Referrer type(types, 0.03, rng);
    std::int64_t number = 0;
    insertRows(db, insertInto(catalogue::ItemTable, catalogue::ItemFields()), count,
               [&](std::string& sql, std::size_t) {
                   // Deleted items leave gaps in the numbering.
                   number += rng.chance(0.03) ? 2 + static_cast<std::int64_t>(rng.below(3)) : 1;
                   appendItem(sql, number, firstSubject, secondSubject, publisher, type, rng);
               });
}

// ---- Schema ---------------------------------------------------------------

void createTables(engine::Database& db) {
    for (const char* sql : catalogue::TableStatements())
        db.Execute(sql);
}

void createIndexes(engine::Database& db) {
    for (const char* sql : catalogue::IndexStatements())
        db.Execute(sql);
}

void writeFileInfo(engine::Database& db, const Name& productName, const std::string& catalogueName,
                   const std::string& created) {
    std::string sql = insertInto(catalogue::InfoTable, catalogue::InfoFields()) + '(';
    appendText(sql, productName);
    sql += ',';
    appendText(sql, catalogueName);
    sql += ',';
    appendText(sql, created);
    sql += ')';
    db.Execute(sql);
}

// Deletes a half-written catalogue (and any journal beside it) unless the
// write completed. Armed only once the file is ours, so an existing file that
// made the creation fail is never touched.
class RemoveOnFailure {
public:
    explicit RemoveOnFailure(std::string path) : path_(std::move(path)) {}
    ~RemoveOnFailure() {
        if (!armed_)
            return;
        std::error_code ec; // a file that cannot be removed is left behind
        for (const char* suffix : {"", "-journal", "-wal", "-shm"})
            std::filesystem::remove(path_ + suffix, ec);
    }
    RemoveOnFailure(const RemoveOnFailure&) = delete;
    RemoveOnFailure& operator=(const RemoveOnFailure&) = delete;
    void arm() { armed_ = true; }
    void disarm() { armed_ = false; }

private:
    std::string path_;
    bool armed_ = false;
};

// Raises InvalidArgument for a count that is negative or too big for
// distinct 32-bit codes.
void checkCount(const char* what, long n) {
    if (n < 0 || n > 100'000'000)
        throw Error(err::InvalidArgument,
                    std::string("Invalid number of ") + what + ": " + std::to_string(n));
}

// Writes the truth file (see Options::truthPath); raises PathFileAccess when
// it cannot be written, leaving no part of it behind.
void writeTruth(const std::string& path, const std::vector<Entry>& subjects,
                const std::vector<Entry>& publishers, const std::vector<Entry>& types) {
    std::string text = "table\tcode\tgroup\n";
    appendTruth(text, "Subjects", subjects);
    appendTruth(text, "Publishers", publishers);
    appendTruth(text, "Types", types);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        throw Error(err::PathFileAccess, "Cannot write the truth file " + path);
    }
}

} // namespace

std::unique_ptr<engine::Database> CreateCatalogue(const std::string& path,
                                                  const std::optional<std::string>& productName) {
    RemoveOnFailure cleanup(path);
    auto db = engine::DatabaseEngine().CreateDatabase(path);
    cleanup.arm();
    {
        engine::Transaction tx(*db);
        createTables(*db);
        createIndexes(*db);
        writeFileInfo(*db, productName, std::filesystem::path(path).stem().string(),
                      "2001-01-01 00:00:00");
        tx.Commit();
    }
    cleanup.disarm();
    return db;
}

void WriteSampleCatalogue(const std::string& path, const Options& opts) {
    checkCount("items", opts.items);
    checkCount("subjects", opts.subjects);
    checkCount("publishers", opts.publishers);
    checkCount("types", opts.types);

    Rng subjectRng = stream(opts.seed, 0x5b1ec7);
    Rng publisherRng = stream(opts.seed, 0x9b115e);
    Rng typeRng = stream(opts.seed, 0x7e9e5);
    Rng itemRng = stream(opts.seed, 0x17e35);
    auto subjects = makeLookup(static_cast<std::size_t>(opts.subjects), curatedSubjects,
                               subjectName, subjectRng);
    auto publishers = makeLookup(static_cast<std::size_t>(opts.publishers), curatedPublishers,
                                 publisherName, publisherRng);
    auto types = makeLookup(static_cast<std::size_t>(opts.types), curatedTypes, typeName, typeRng);

    RemoveOnFailure cleanup(path);
    auto db = engine::DatabaseEngine().CreateDatabase(path);
    cleanup.arm();
    {
        engine::Transaction tx(*db);
        createTables(*db);
        insertLookup(*db, "Subject", subjects);
        insertLookup(*db, "Publisher", publishers);
        insertLookup(*db, "Type", types);
        insertItems(*db, static_cast<std::size_t>(opts.items), subjects, publishers, types,
                    itemRng);
        // Indexes built over the filled tables are sorted once, not grown row by row.
        createIndexes(*db);
        // A date derived from the seed, not the clock, keeps the file the same for a seed.
        auto day = std::to_string(101 + opts.seed % 28).substr(1);
        writeFileInfo(*db, opts.productName, "Sample catalogue " + std::to_string(opts.seed),
                      "2001-01-" + day + " 00:00:00");
        tx.Commit();
    }
    db->Close();
    if (!opts.truthPath.empty())
        writeTruth(opts.truthPath, subjects, publishers, types);
    cleanup.disarm();
}

} // namespace samplegen
