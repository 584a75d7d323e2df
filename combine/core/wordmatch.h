// The finder's methods for real variation that compare names rather than
// keys: similar words, weighted by how rare each word is in the table, and
// acronyms. Both work on one analysed name per distinct fingerprint and
// give links between them, each with its certainty and reason.
#pragma once

#include "namewords.h"

#include <functional>
#include <string>
#include <vector>

namespace dedupe {

// Two names the method takes for one, how sure it is (1 to 100) and why.
struct Link {
    int a = 0, b = 0;
    int certainty = 0;
    std::string reason;
};

// What both methods read: per name, its text, its analysis and its digits.
struct NameTable {
    std::vector<std::string_view> names;
    std::vector<NameWords> words;
    std::vector<std::string_view> digits; // names of other digits never link
};

// Key collision on the core name (namewords.h), its words sorted or run
// together in order, among names of the same core digits: a personal name's
// dates are no digits of its core. Catches legal and trade words, a leading
// article, initials, an ISBD place, abbreviations, hyphens and blanks, and a
// personal name with initials or dates. Leaves forenames spelled out and
// words misspelt.
void linkCoreNames(const NameTable& t, std::vector<Link>& out);

// Names compared word by word, each word weighted by how rare it is in the
// table; a pair is compared only when it shares a rare word or a rare word
// one letter apart, so that the table is never compared pair by pair.
// Catches one name's words inside another's, the same words in another
// order, long rare words misspelt by a letter, abbreviations read as the
// word they begin and initials for forenames. Leaves words of another
// number ("Opera" and "Operas") and short words a letter apart, which real
// tables keep as different entries. similarity: the least weighted share of
// words in common, in percent. keepGoing is called once per name and
// returns false to stop; the function then returns false. headings: the
// names are subject headings, where a heading inside another is a narrower
// one, so only names whose words all meet are linked.
bool linkSimilarWords(const NameTable& t, int similarity, bool headings, std::vector<Link>& out,
                      const std::function<bool()>& keepGoing);

// A short name in capitals and a longer name whose words' initials spell it
// ("IEEE" and "Institute of Electrical & Electronics Engineers"); surest
// when the longer name gives the acronym in parentheses. Leaves acronyms
// of one letter and longer names whose initials spell another acronym.
void linkAcronyms(const NameTable& t, std::vector<Link>& out);

} // namespace dedupe
