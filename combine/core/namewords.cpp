// The words of a lookup name and its core name. The word lists are general:
// legal forms, trade words and articles of the languages catalogues are
// written in, never names of particular publishers.
#include "namewords.h"

#include "fingerprint.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace dedupe {
namespace {

using WordSet = std::unordered_set<std::string_view>;

// Legal forms and the words of a firm's style ("& Sons").
const WordSet legalWords = {
    "inc",   "incorporated", "corp", "corporation", "co",  "company", "ltd",  "limited",
    "llc",   "plc",          "gmbh", "mbh",         "ag",  "kg",      "kgaa", "bv",
    "nv",    "sa",           "sarl", "srl",         "spa", "sl",      "pte",  "pty",
    "pvt",   "ab",           "oy",   "oyj",         "cie", "sons",    "son",  "brothers",
    "assoc", "associates",   "and",  "und",         "et",  "ltda",    "sas",  "aps"};

// Words of the book trade that follow a publisher's name.
const WordSet tradeWords = {
    "press",    "publishing",   "publishers",   "publisher",     "publications", "books",
    "editions", "editorial",    "editores",     "editeur",       "editeurs",     "editrice",
    "editore",  "editora",      "verlag",       "verlagsgruppe", "buchverlag",   "libros",
    "livres",   "media",        "group",        "international", "house",        "imprint",
    "printers", "distributors", "publicacions", "publicaciones", "edicoes",      "ediciones"};

// Words after which "Press" or "Publishers" is part of the name: a
// university and its press are two bodies.
const WordSet institutionWords = {
    "university", "college", "institute", "institution", "society", "academy",
    "museum",     "library", "school",    "foundation",  "council", "association",
    "center",     "centre",  "state",     "government",  "office",  "department"};

const WordSet leadingArticles = {"the", "a",   "an",  "la",  "le",  "les", "l",  "el",
                                 "los", "las", "der", "die", "das", "il",  "lo", "gli"};

// Words that only link others: "of", "and", "für".
const WordSet linkingWords = {"of",  "and", "for", "the", "in", "on", "at", "to", "fur",
                              "der", "die", "das", "des", "de", "la", "le", "du", "di",
                              "del", "et",  "und", "y",   "e",  "i",  "a",  "an"};

// Words that open a statement around the name: "Published for ... by".
const WordSet statementWords = {"published", "printed", "issued", "distributed", "for", "by"};

// Abbreviations found in publishers' names and subject headings, as they
// stand in a fingerprint (lower case, full stop dropped).
const std::unordered_map<std::string_view, std::string_view> abbreviations = {
    {"amer", "american"},       {"assn", "association"},
    {"assoc", "association"},   {"bibliog", "bibliography"},
    {"biog", "biography"},      {"bk", "book"},
    {"bks", "books"},           {"bros", "brothers"},
    {"co", "company"},          {"corp", "corporation"},
    {"dept", "department"},     {"dict", "dictionary"},
    {"encycl", "encyclopedia"}, {"geog", "geography"},
    {"govt", "government"},     {"hist", "history"},
    {"inc", "incorporated"},    {"inst", "institute"},
    {"intl", "international"},  {"lit", "literature"},
    {"ltd", "limited"},         {"natl", "national"},
    {"philos", "philosophy"},   {"pr", "press"},
    {"pub", "publishing"},      {"publ", "publishing"},
    {"pubs", "publishers"},     {"sci", "science"},
    {"soc", "society"},         {"tech", "technology"},
    {"univ", "university"},     {"verl", "verlag"},
    {"vlg", "verlag"},          {"vol", "volume"},
    {"vols", "volumes"}};

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isDigits(std::string_view w) {
    return !w.empty() &&
           std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One blank-separated piece of the name.
struct Token {
    std::string_view raw;
    bool parens = false;  // inside ( )
    bool acronym = false; // "(IEEE)": a parenthesis of one word in capitals
};

// Folds one token into words, as the fingerprint does, ASCII without ICU.
void foldToken(std::string_view raw, std::vector<std::string>& out) {
    out.clear();
    const bool ascii = std::all_of(raw.begin(), raw.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        std::string fp, ordered;
        fingerprintInto(raw, fp, &ordered);
        for (std::size_t at = 0; at < ordered.size();) {
            auto end = ordered.find(' ', at);
            if (end == std::string::npos)
                end = ordered.size();
            if (end > at)
                out.emplace_back(ordered.substr(at, end - at));
            at = end + 1;
        }
        return;
    }
    std::string word;
    auto flush = [&] {
        if (!word.empty())
            out.push_back(std::move(word));
        word.clear();
    };
    for (char c : raw) {
        if (isAsciiAlnum(c))
            word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        else if (c == '\'')
            continue; // "O'Reilly" is one word
        else if (c == '&') {
            flush();
            out.emplace_back("and");
        } else
            flush();
    }
    flush();
}

// True when the token ends in a colon: the ISBD mark between place and name.
bool endsInColon(std::string_view raw) {
    return !raw.empty() && raw.back() == ':';
}

} // namespace

std::string_view expandAbbreviation(std::string_view word) {
    auto at = abbreviations.find(word);
    return at == abbreviations.end() ? word : at->second;
}

bool isLegalOrTradeWord(std::string_view word) {
    return legalWords.count(word) || tradeWords.count(word) || leadingArticles.count(word);
}

bool isLinkWord(std::string_view word) {
    return linkingWords.count(word) > 0;
}

bool isInstitutionWord(std::string_view word) {
    return institutionWords.count(word) > 0;
}

bool isPluralPair(std::string_view a, std::string_view b) {
    if (a.size() > b.size())
        std::swap(a, b);
    if (a.empty() || b.substr(0, a.size() - 1) != a.substr(0, a.size() - 1))
        return false;
    std::string_view end = b.substr(a.size() - 1);
    const char last = a.back();
    return (end == std::string(1, last) + "s") || (end == std::string(1, last) + "es") ||
           (last == 'y' && end == "ies");
}

std::string singular(std::string_view w) {
    auto ends = [&](std::string_view e) {
        return w.size() > e.size() + 2 && w.substr(w.size() - e.size()) == e;
    };
    if (ends("ies"))
        return std::string(w.substr(0, w.size() - 3)) + "y";
    if (ends("sses") || ends("xes") || ends("ches") || ends("shes"))
        return std::string(w.substr(0, w.size() - 2));
    if (ends("s") && !ends("ss") && !ends("us") && !ends("is"))
        return std::string(w.substr(0, w.size() - 1));
    return std::string(w);
}

bool isStrayForm(int uses, int otherUses, bool otherNumber) {
    const int fewer = std::min(uses, otherUses), more = std::max(uses, otherUses);
    return 10 * fewer <= more || (!otherNumber && fewer <= 1);
}

std::pair<std::string_view, std::string_view> differingWords(std::string_view a,
                                                             std::string_view b) {
    std::vector<std::string_view> x, y;
    forEachWord(a, [&](std::string_view w) { x.push_back(w); });
    forEachWord(b, [&](std::string_view w) { y.push_back(w); });
    if (x.size() != y.size())
        return {};
    std::pair<std::string_view, std::string_view> found;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i] != y[i]) {
            if (!found.first.empty())
                return {};
            found = {x[i], y[i]};
        }
    return found;
}

bool isStrayVariant(std::string_view a, std::string_view b,
                    const std::unordered_map<std::string_view, int>& uses) {
    const auto [wx, wy] = differingWords(a, b);
    if (wx.empty())
        return false;
    if (expandAbbreviation(wx) != wx || expandAbbreviation(wy) != wy)
        return true;
    auto count = [&](std::string_view w) {
        auto at = uses.find(w);
        return at == uses.end() ? 0 : at->second;
    };
    return isStrayForm(count(wx), count(wy), isPluralPair(wx, wy));
}

NameWords analyseName(std::string_view name) {
    // 1. Blank-separated tokens, and which lie inside parentheses.
    std::vector<Token> tokens;
    int depth = 0;
    for (std::size_t at = 0; at < name.size();) {
        while (at < name.size() && (name[at] == ' ' || name[at] == '\t'))
            ++at;
        std::size_t end = at;
        while (end < name.size() && name[end] != ' ' && name[end] != '\t')
            ++end;
        if (end == at)
            break;
        std::string_view raw = name.substr(at, end - at);
        const bool opens = raw.front() == '(';
        if (opens)
            ++depth;
        std::string_view bare = raw;
        while (!bare.empty() &&
               std::string_view(",;:/.").find(bare.back()) != std::string_view::npos)
            bare.remove_suffix(1);
        int capitals = 0;
        for (char c : bare)
            capitals += c >= 'A' && c <= 'Z' ? 1 : c >= 'a' && c <= 'z' ? -100 : 0;
        tokens.push_back(
            {raw, depth > 0, opens && bare.size() > 1 && bare.back() == ')' && capitals >= 2});
        depth = std::max(0, depth + static_cast<int>(std::count(raw.begin(), raw.end(), '(')) -
                                (opens ? 1 : 0) -
                                static_cast<int>(std::count(raw.begin(), raw.end(), ')')));
        at = end;
    }

    // 2. The place before the last ISBD colon, when a name follows it.
    std::size_t first = 0;
    for (std::size_t i = tokens.size(); i-- > 1;)
        if (endsInColon(tokens[i - 1].raw) || tokens[i].raw == ":") {
            std::size_t after = tokens[i].raw == ":" ? i + 1 : i;
            if (after < tokens.size()) {
                first = after;
                break;
            }
        }

    // 3. The words, with what the punctuation says of them.
    NameWords out;
    if (first > 0) {
        const auto end = tokens[first - 1].raw.data() + tokens[first - 1].raw.size();
        std::string_view place(tokens[0].raw.data(),
                               static_cast<std::size_t>(end - tokens[0].raw.data()));
        while (!place.empty() && (place.back() == ':' || place.back() == ' '))
            place.remove_suffix(1);
        out.place = std::string(place);
    }
    std::vector<std::string> folded;
    for (std::size_t i = first; i < tokens.size(); ++i) {
        std::string_view raw = tokens[i].raw;
        foldToken(raw, folded);
        std::string_view trimmed = raw;
        while (!trimmed.empty() &&
               (trimmed.back() == ',' || trimmed.back() == ';' || trimmed.back() == ':' ||
                trimmed.back() == '/' || trimmed.back() == ')'))
            trimmed.remove_suffix(1);
        const bool fullStop = !trimmed.empty() && trimmed.back() == '.';
        // "J.M." and "J." are initials; so is each letter of "J. M.".
        const bool allLetters = std::all_of(folded.begin(), folded.end(),
                                            [](const std::string& w) { return w.size() == 1; });
        // "Audiobooks" is "Audio Books": a trade word run onto the name.
        for (std::size_t k = 0; k < folded.size(); ++k)
            for (std::string_view end : {"books", "press", "verlag"}) {
                std::string& f = folded[k];
                if (f.size() >= end.size() + 4 &&
                    f.compare(f.size() - end.size(), end.size(), end) == 0) {
                    std::string rest = f.substr(0, f.size() - end.size());
                    f = std::string(end);
                    folded.insert(folded.begin() + static_cast<long>(k), std::move(rest));
                    ++k;
                    break;
                }
            }
        for (std::size_t k = 0; k < folded.size(); ++k) {
            NameWord w;
            w.word = std::move(folded[k]);
            // A token of several words ("ЭКСМО-Пресс") shows each as folded,
            // unless they are initials ("J.M.").
            w.shown = folded.size() == 1 || allLetters ? std::string(trimmed) : w.word;
            w.inParens = tokens[i].parens;
            w.acronym = tokens[i].acronym;
            // The full stop that ends a heading ("Communism.") abbreviates nothing.
            const bool last = k + 1 == folded.size();
            w.abbreviated = last && fullStop && w.word.size() > 1 && i + 1 < tokens.size();
            w.initial = w.word.size() == 1 && !isDigits(w.word) && fullStop && allLetters;
            out.words.push_back(std::move(w));
        }
    }
    auto& words = out.words;

    // 4. "U. P." is University Press.
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        if (words[i].word == "u" && words[i + 1].word == "p" && words[i].initial &&
            words[i + 1].initial) {
            words[i].word = "university";
            words[i + 1].word = "press";
            words[i].initial = words[i + 1].initial = false;
            words[i].abbreviated = words[i + 1].abbreviated = true;
        }
    for (NameWord& w : words)
        if (!w.initial)
            w.word = std::string(expandAbbreviation(w.word));

    // 5. A personal name: "Surname, Forenames[, dates]", known by its
    // initials, dates or fuller form. Its core is the surname and the
    // forenames' initials.
    const bool comma = !tokens.empty() && first == 0 && tokens[0].raw.back() == ',';
    bool evidence = false;
    for (std::size_t i = 1; i < words.size(); ++i)
        evidence = evidence || words[i].initial || words[i].inParens ||
                   (isDigits(words[i].word) && words[i].word.size() == 4);
    if (comma && evidence && words.size() >= 2 && !words[1].inParens && !isDigits(words[1].word)) {
        out.personal = true;
        words[0].core = true;
        for (std::size_t i = 1; i < words.size(); ++i) {
            NameWord& w = words[i];
            if (w.inParens || isDigits(w.word) || w.word == "b" || w.word == "d" ||
                w.word == "ca" || w.word == "fl")
                continue;
            w.word.resize(1);
            w.core = true;
        }
    } else {
        // 6. Otherwise every word but a leading statement and article,
        // initials, words in parentheses and the trade and legal words that
        // end the name.
        std::size_t begin = 0;
        while (begin + 1 < words.size() && statementWords.count(words[begin].word))
            ++begin;
        if (begin + 1 < words.size() && leadingArticles.count(words[begin].word) &&
            !words[begin].initial)
            ++begin;
        std::size_t end = words.size();
        while (end > begin + 1) {
            const NameWord& w = words[end - 1];
            if (w.acronym || w.initial) {
                --end;
                continue;
            }
            const bool legal = legalWords.count(w.word) > 0;
            const bool trade = tradeWords.count(w.word) > 0;
            if (!legal && !trade)
                break;
            if (trade && !legal && institutionWords.count(words[end - 2].word))
                break;
            --end;
        }
        bool longWord = false;
        for (std::size_t i = begin; i < end; ++i)
            longWord = longWord || (!words[i].inParens && words[i].word.size() > 1);
        for (std::size_t i = begin; i < end; ++i) {
            NameWord& w = words[i];
            w.core = !w.acronym && !(w.initial && longWord) && w.word != "and" && w.word != "und" &&
                     w.word != "et";
        }
    }
    // The sorted key leaves out the words that only link others ("Dept. of
    // Physics", "Physics Dept.").
    std::vector<std::string_view> core;
    for (const NameWord& w : words)
        if (w.core) {
            if (!isLinkWord(w.word))
                core.push_back(w.word);
            out.coreRun += w.word;
        }
    std::sort(core.begin(), core.end());
    core.erase(std::unique(core.begin(), core.end()), core.end());
    for (std::string_view w : core) {
        if (!out.coreKey.empty())
            out.coreKey += ' ';
        out.coreKey += w;
    }
    out.coreDigits = digitKey(out.coreKey);
    return out;
}

} // namespace dedupe
