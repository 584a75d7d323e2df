// The words of a lookup name as the methods for real variation read them:
// folded to ASCII as the fingerprint folds them, each with what the name's
// punctuation says of it (an initial, an abbreviation, inside parentheses),
// and the core name: the words that remain once legal and trade words, a
// leading article, personal initials, the place before an ISBD " : " and a
// personal name's dates are dropped, abbreviations read as the word.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dedupe {

struct NameWord {
    std::string word;         // folded: lower-case ASCII letters and digits
    std::string shown;        // the word as the name spells it, for reasons
    bool abbreviated = false; // followed by a full stop in the name
    bool initial = false;     // one letter followed by a full stop
    bool inParens = false;
    bool core = false; // kept in the core name
};

struct NameWords {
    std::vector<NameWord> words; // in the name's order
    std::string coreKey;         // the core words sorted, distinct, blank between
    std::string coreRun;         // the core words in order, run together
    std::string coreDigits;      // the digits of the core words (as digitKey)
    bool personal = false;       // read as "Surname, Forenames, dates"
};

// Reads utf8Name. Thread-safe.
NameWords analyseName(std::string_view utf8Name);

// The full word an abbreviation in a fingerprint stands for ("univ":
// "university"), or the word itself. Words that abbreviate more than one
// thing ("ed", "st", "no") are left alone.
std::string_view expandAbbreviation(std::string_view word);

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

} // namespace dedupe
