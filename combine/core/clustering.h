// Clusters of lookup names that are likely the same name: key collision on
// the fingerprint, on its n-gram form or on its stemmed words, or nearest
// neighbours by edit distance. Plain C++; runs in a worker thread on a copy
// of the names.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dedupe {

enum class Method { Fingerprint, NGram, Stemmed, Nearest };
struct Settings {
    Method method = Method::Fingerprint;
    int ngram = 2;  // n-gram fingerprint: 1 to 3
    int radius = 1; // nearest neighbours: edit distance 1 to 3
};
// Cancel flag and progress, shared with the window's thread.
struct Progress {
    std::atomic<bool> cancel{false};
    std::atomic<long> done{0};
    std::atomic<long> total{0};
};
// A cluster: indexes into names, ascending, at least two of them.
using Cluster = std::vector<int>;
// Clusters of names (in any order; the caller sorts them). Names whose digits
// differ never share a cluster. Returns nullopt when progress->cancel was set.
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
