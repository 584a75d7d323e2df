// Clusters of lookup names that are likely the same name: key collision on
// the fingerprint, on its n-gram form, on its stemmed words or on the core
// name; nearest neighbours by edit distance; names compared word by word;
// acronyms; and the suggested run of all of them, each cluster scored by how
// sure it is. Plain C++; runs in a worker thread on a copy of the names.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dedupe {

// The methods, in the order the finder's method list shows them.
enum class Method { Suggested, Core, Words, Acronym, Fingerprint, NGram, Stemmed, Nearest };
struct Settings {
    Method method = Method::Suggested;
    int ngram = 2;       // n-gram fingerprint: 1 to 3
    int radius = 1;      // nearest neighbours: edit distance 1 to 3
    int similarity = 70; // similar words: the least similarity, in percent, 50 to 95
    // The names are subject headings: a heading inside another ("Physics",
    // "Nuclear physics") is a narrower one, never the same.
    bool headings = false;
};
// Cancel flag and progress, shared with the window's thread.
struct Progress {
    std::atomic<bool> cancel{false};
    std::atomic<long> done{0};
    std::atomic<long> total{0};
};
// A cluster: indexes into names, ascending, at least two of them.
using Cluster = std::vector<int>;

// A cluster with how sure the finder is of it, 1 to 100, and why, for the
// user ("the same name without 'Inc.'"): both those of the weakest link that
// holds the cluster together.
struct Found {
    Cluster members;
    int certainty = 100;
    std::string reason;
};
// Clusters at least this sure start checked.
inline constexpr int SureCertainty = 80;

// Pairs of names (indexes into names) that the user has ruled out: no
// cluster holds both.
using Pairs = std::vector<std::pair<int, int>>;

// The clusters of the method, sorted by certainty (surest first), then by
// their first member. Names whose digits differ and pairs ruled out never
// share a cluster. Returns nullopt when progress->cancel was set. Raises
// std::bad_alloc when memory or the stemmer cannot be had.
std::optional<std::vector<Found>> findScored(const std::vector<std::string>& names,
                                             const Settings& settings, const Pairs& ruledOut = {},
                                             Progress* progress = nullptr);
// Clusters of names, as findScored's without their scores.
//
// Every method joins the names of one fingerprint, and a name mis-decoded
// into U+FFFD to the one name it was decoded from (see asciiOnlyFingerprint)
// when no other name could be its source. Names whose fingerprint is empty
// (blank, or punctuation alone) join nothing. Raises std::bad_alloc when
// memory or the stemmer cannot be had.
std::optional<std::vector<Cluster>> findClusters(const std::vector<std::string>& names,
                                                 const Settings& settings,
                                                 Progress* progress = nullptr);

// The key of the n-gram method for normalised words (fingerprintInto's
// wordsInOrder; findClusters uses these rather than the sorted fingerprint,
// so that words run together or split apart still meet), into out
// (replacing what it held): the distinct runs of n characters, blanks
// removed first, sorted and concatenated.
void ngramKeyInto(std::string_view words, int n, std::string& out);

// The edit distance of a and b when at most limit, else limit + 1: letters
// inserted, dropped or replaced, and two neighbouring letters swapped, each
// counting one edit (optimal string alignment), since typing errors are of
// these kinds.
int boundedEditDistance(std::string_view a, std::string_view b, int limit);

} // namespace dedupe
