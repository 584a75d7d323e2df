// The words of a lookup name as the methods for real variation read them:
// folded to ASCII as the fingerprint folds them, each with what the name's
// punctuation says of it (an initial, an abbreviation, inside parentheses),
// and the core name: the words that remain once legal and trade words, a
// leading article, personal initials, the place before an ISBD " : " and a
// personal name's dates are dropped, abbreviations read as the word.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace dedupe {

struct NameWord {
    std::string word;         // folded: lower-case ASCII letters and digits
    std::string shown;        // the word as the name spells it, for reasons
    bool abbreviated = false; // followed by a full stop in the name
    bool initial = false;     // one letter followed by a full stop
    bool inParens = false;
    bool acronym = false; // the whole of a parenthesis in capitals: "(IEEE)"
    bool core = false;    // kept in the core name
};

struct NameWords {
    std::vector<NameWord> words; // in the name's order
    std::string coreKey;         // the core words sorted, distinct, blank between
    std::string coreRun;         // the core words in order, run together
    std::string coreDigits;      // the digits of the core words (as digitKey)
    bool personal = false;       // read as "Surname, Forenames, dates"
    std::string place;           // before an ISBD " : ", as the name spells it
};

// Reads utf8Name. Thread-safe.
NameWords analyseName(std::string_view utf8Name);

// The full word an abbreviation in a fingerprint stands for ("univ":
// "university"), or the word itself. Words that abbreviate more than one
// thing ("ed", "st", "no") are left alone.
std::string_view expandAbbreviation(std::string_view word);

// The singular of an English plural ("centuries": "century", "boxes":
// "box", "maps": "map"), or the word itself.
std::string singular(std::string_view word);

// True for words that name no one: legal forms, trade words, articles.
bool isLegalOrTradeWord(std::string_view word);

// True for words that only link others: "of", "and", "für".
bool isLinkWord(std::string_view word);

// True for words that make a body of their own: "Folio" and "Folio
// Society", "Columbia" and "Columbia University Press" are two.
bool isInstitutionWord(std::string_view word);

// True when one word is the other with a plural ending: "opera" and
// "operas", "library" and "libraries".
bool isPluralPair(std::string_view a, std::string_view b);

// True when a word a letter from another, used in uses names of the table
// against otherUses, reads as a stray form of it rather than a word of its
// own: a typing error stands in one name only, or in a tenth as many as the
// word it misspells; another number ("Wales", "Waless") only in a tenth as
// many, since a thesaurus keeps "Opera" and "Operas", each in use, apart.
bool isStrayForm(int uses, int otherUses, bool otherNumber);

// Calls f for each blank-separated word of s (a fingerprint).
template <class F> void forEachWord(std::string_view s, F f) {
    for (std::size_t at = 0; at < s.size();) {
        const std::size_t end = std::min(s.find(' ', at), s.size());
        if (end > at)
            f(s.substr(at, end - at));
        at = end + 1;
    }
}

// The one word in which fingerprints a and b, of as many words, differ;
// empty views when they differ otherwise.
std::pair<std::string_view, std::string_view> differingWords(std::string_view a,
                                                             std::string_view b);

// As isStrayForm for two fingerprints, over the table's count of names that
// use each word: true when they differ in one word, that word an
// abbreviation of the other ("dict", "dictionaries") or a stray form of it.
bool isStrayVariant(std::string_view a, std::string_view b,
                    const std::unordered_map<std::string_view, int>& uses);

} // namespace dedupe
