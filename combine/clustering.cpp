// The duplicate finder's clustering: every method works on the distinct
// fingerprints of the names and joins them in one union-find, so that a name
// can reach a cluster through any of its links. Joins are made only between
// fingerprints of the same numbers (digitKey).
#include "clustering.h"

#include "fingerprint.h"

#include <libstemmer.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <unordered_map>

namespace dedupe {
namespace {

// ---- Progress and cancelling -----------------------------------------------

class Tracker {
public:
    explicit Tracker(Progress* p) : p_(p) {}
    void addTotal(long n) {
        if (p_)
            p_->total += n;
    }
    // Counts one unit of work; false when the caller should stop.
    bool step() {
        if (!p_)
            return true;
        if (++pending_ < 1024)
            return true;
        p_->done += pending_;
        pending_ = 0;
        return !p_->cancel.load(std::memory_order_relaxed);
    }
    bool cancelled() const { return p_ && p_->cancel.load(std::memory_order_relaxed); }
    void flush() {
        if (p_)
            p_->done += pending_;
        pending_ = 0;
    }

private:
    Progress* p_;
    long pending_ = 0;
};

// ---- Union-find -------------------------------------------------------------

class Components {
public:
    explicit Components(std::size_t n) : parent_(n) {
        std::iota(parent_.begin(), parent_.end(), 0);
    }
    int find(int x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }
    void join(int a, int b) {
        a = find(a);
        b = find(b);
        if (a != b)
            parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<int> parent_;
};

// The distinct non-empty fingerprints of the names, and which one each name has.
struct Keys {
    std::vector<std::string> fps;    // distinct fingerprints
    std::vector<std::string> digits; // digitKey of each
    std::vector<int> ofName;         // index into fps, -1 for an empty fingerprint
};

// Joins, through the members' fingerprints, the names that share key.
template <class KeyOf> bool joinByKey(const Keys& k, Components& c, Tracker& t, KeyOf keyOf) {
    std::unordered_map<std::string, int> first;
    first.reserve(k.fps.size());
    for (std::size_t i = 0; i < k.fps.size(); ++i) {
        if (!t.step())
            return false;
        auto [at, added] =
            first.try_emplace(k.digits[i] + '|' + keyOf(k.fps[i]), static_cast<int>(i));
        if (!added)
            c.join(at->second, static_cast<int>(i));
    }
    return true;
}

// ---- Stemmed words ----------------------------------------------------------

struct StemmerDeleter {
    void operator()(sb_stemmer* s) const { sb_stemmer_delete(s); }
};
using Stemmer = std::unique_ptr<sb_stemmer, StemmerDeleter>;

Stemmer makeStemmer() {
    Stemmer s(sb_stemmer_new("english", nullptr));
    if (!s)
        throw std::bad_alloc(); // the English algorithm is always built in
    return s;
}

// Abbreviations found in publishers' names and local subject headings, as
// they stand in a fingerprint (lower case, full stop dropped). Words that
// abbreviate more than one thing ("ed", "st", "no") are left alone.
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
    {"philos", "philosophy"},   {"pub", "publishing"},
    {"publ", "publishing"},     {"pubs", "publishers"},
    {"sci", "science"},         {"soc", "society"},
    {"tech", "technology"},     {"univ", "university"},
    {"vol", "volume"},          {"vols", "volumes"}};

std::string stemWords(std::string_view fp, sb_stemmer* stemmer) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < fp.size();) {
        auto end = fp.find(' ', at);
        if (end == std::string_view::npos)
            end = fp.size();
        std::string_view w = fp.substr(at, end - at);
        at = end + 1;
        if (auto full = abbreviations.find(w); full != abbreviations.end())
            w = full->second;
        const sb_symbol* stem = sb_stemmer_stem(
            stemmer, reinterpret_cast<const sb_symbol*>(w.data()), static_cast<int>(w.size()));
        if (!stem)
            throw std::bad_alloc(); // the stemmer fails only for want of memory
        words.emplace_back(reinterpret_cast<const char*>(stem),
                           static_cast<std::size_t>(sb_stemmer_length(stemmer)));
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    std::string key;
    for (const auto& w : words) {
        if (!key.empty())
            key += ' ';
        key += w;
    }
    return key;
}

// ---- Nearest neighbours -----------------------------------------------------

// The largest edit distance allowed between two fingerprints, the shorter of
// length len: the radius asked for, but never more than a quarter of the
// shorter one (at least 1), so that short names such as "CD" and "DVD" do
// not meet.
int radiusFor(int radius, std::size_t len) {
    return std::min(radius, std::max(1, static_cast<int>(len / 4)));
}

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t hashBase = 0x100000001b3ULL;

// Polynomial hashes of every prefix of s, so that any substring's hash costs O(1).
struct PrefixHash {
    std::vector<std::uint64_t> h;
    const std::vector<std::uint64_t>* pow;
    void assign(std::string_view s, const std::vector<std::uint64_t>& powers) {
        pow = &powers;
        h.assign(s.size() + 1, 0);
        for (std::size_t i = 0; i < s.size(); ++i)
            h[i + 1] = h[i] * hashBase + static_cast<unsigned char>(s[i]) + 1;
    }
    std::uint64_t of(std::size_t at, std::size_t len) const {
        return h[at + len] - h[at] * (*pow)[len];
    }
};

// Where segment i of the parts+1 segments of a string of length len starts,
// and how long it is: the first segments a character shorter than the last.
std::pair<std::size_t, std::size_t> segment(std::size_t len, int parts, int i) {
    auto n = static_cast<std::size_t>(parts);
    auto k = static_cast<std::size_t>(i);
    std::size_t shortLen = len / n, longCount = len % n, shortCount = n - longCount;
    if (k < shortCount)
        return {k * shortLen, shortLen};
    return {shortCount * shortLen + (k - shortCount) * (shortLen + 1), shortLen + 1};
}

std::uint64_t segmentKey(std::size_t len, int i, std::uint64_t digits, std::uint64_t content) {
    return mix(content ^ mix(digits + (static_cast<std::uint64_t>(len) << 8) +
                             static_cast<std::uint64_t>(i)));
}

// An index from segment keys to fingerprints: keys sorted with their ids,
// reached through an open-addressing table of first positions.
class SegmentIndex {
public:
    void build(std::vector<std::pair<std::uint64_t, int>> entries) {
        entries_ = std::move(entries);
        std::sort(entries_.begin(), entries_.end());
        std::size_t size = 16;
        while (size < entries_.size() * 2)
            size *= 2;
        mask_ = size - 1;
        slots_.assign(size, -1);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (i && entries_[i].first == entries_[i - 1].first)
                continue;
            std::size_t s = entries_[i].first & mask_;
            while (slots_[s] >= 0)
                s = (s + 1) & mask_;
            slots_[s] = static_cast<long>(i);
        }
    }
    // Calls f(id) for each fingerprint under key.
    template <class F> void forEach(std::uint64_t key, F f) const {
        for (std::size_t s = key & mask_; slots_[s] >= 0; s = (s + 1) & mask_) {
            auto i = static_cast<std::size_t>(slots_[s]);
            if (entries_[i].first != key)
                continue;
            for (; i < entries_.size() && entries_[i].first == key; ++i)
                f(entries_[i].second);
            return;
        }
    }

private:
    std::vector<std::pair<std::uint64_t, int>> entries_;
    std::vector<long> slots_;
    std::size_t mask_ = 0;
};

// Joins fingerprints within the radius. Blocking by the pigeonhole rule: a
// string within d edits of t holds, unchanged and shifted by at most d, one of
// the d+1 segments that t is cut into; so each fingerprint is looked up only
// by its own substrings near those positions, in strings of nearly its
// length and of the same numbers, and no two fingerprints are compared
// unless they share such a segment.
bool joinNearest(const Keys& k, int radius, Components& c, Tracker& t) {
    std::size_t m = k.fps.size();
    std::size_t longest = 0;
    for (const auto& f : k.fps)
        longest = std::max(longest, f.size());
    std::vector<std::uint64_t> powers(longest + 2, 1);
    for (std::size_t i = 1; i < powers.size(); ++i)
        powers[i] = powers[i - 1] * hashBase;
    std::vector<std::uint64_t> digitHash(m);
    std::hash<std::string> hasher;
    for (std::size_t i = 0; i < m; ++i)
        digitHash[i] = hasher(k.digits[i]);

    std::vector<std::pair<std::uint64_t, int>> entries;
    entries.reserve(m * static_cast<std::size_t>(radius + 1));
    PrefixHash ph;
    for (std::size_t i = 0; i < m; ++i) {
        if (!t.step())
            return false;
        const auto& f = k.fps[i];
        ph.assign(f, powers);
        int tau = radiusFor(radius, f.size());
        for (int s = 0; s <= tau; ++s) {
            auto [at, len] = segment(f.size(), tau + 1, s);
            entries.emplace_back(segmentKey(f.size(), s, digitHash[i], ph.of(at, len)),
                                 static_cast<int>(i));
        }
    }
    SegmentIndex index;
    index.build(std::move(entries));

    std::vector<std::size_t> seen(m, SIZE_MAX);
    for (std::size_t i = 0; i < m; ++i) {
        if (!t.step())
            return false;
        const auto& q = k.fps[i];
        ph.assign(q, powers);
        std::size_t qLen = q.size();
        // Pairs are found from their longer member (ties: the later id).
        for (std::size_t tLen = qLen >= static_cast<std::size_t>(radius) ? qLen - radius : 0;
             tLen <= qLen; ++tLen) {
            int tau = radiusFor(radius, tLen);
            if (qLen - tLen > static_cast<std::size_t>(tau) || tLen == 0)
                continue;
            for (int s = 0; s <= tau; ++s) {
                auto [at, len] = segment(tLen, tau + 1, s);
                std::size_t from = at >= static_cast<std::size_t>(tau) ? at - tau : 0;
                std::size_t to = std::min(at + tau, qLen - len);
                for (std::size_t p = from; p <= to && p + len <= qLen; ++p) {
                    index.forEach(segmentKey(tLen, s, digitHash[i], ph.of(p, len)), [&](int j) {
                        auto u = static_cast<std::size_t>(j);
                        if (seen[u] == i || (tLen == qLen && u >= i))
                            return;
                        seen[u] = i;
                        if (k.fps[u].size() != tLen || k.digits[u] != k.digits[i] ||
                            c.find(j) == c.find(static_cast<int>(i)))
                            return;
                        if (boundedEditDistance(k.fps[u], q, tau) <= tau)
                            c.join(j, static_cast<int>(i));
                    });
                }
            }
        }
    }
    return true;
}

// ---- Mis-decoded twins ------------------------------------------------------

// Joins each name holding U+FFFD to the name it was decoded from: the names
// with non-ASCII characters whose asciiOnlyFingerprint is its fingerprint,
// when they all have one fingerprint (more would leave the source in doubt).
void joinTwins(const std::vector<std::string>& names, const Keys& k, Components& c) {
    std::unordered_map<std::string, std::vector<int>> twinsByKey;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (k.ofName[i] >= 0 && hasReplacement(names[i]))
            twinsByKey[k.fps[static_cast<std::size_t>(k.ofName[i])]].push_back(k.ofName[i]);
    if (twinsByKey.empty())
        return;
    std::unordered_map<std::string, int> source; // -2: more than one candidate
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& n = names[i];
        if (k.ofName[i] < 0 || hasReplacement(n) || std::all_of(n.begin(), n.end(), [](char ch) {
                return static_cast<unsigned char>(ch) < 0x80;
            }))
            continue;
        auto key = asciiOnlyFingerprint(n);
        if (!twinsByKey.count(key))
            continue;
        auto [at, added] = source.try_emplace(key, k.ofName[i]);
        if (!added && at->second != k.ofName[i])
            at->second = -2;
    }
    for (const auto& [key, twins] : twinsByKey) {
        auto at = source.find(key);
        if (at == source.end() || at->second < 0)
            continue;
        for (int twin : twins)
            if (k.digits[static_cast<std::size_t>(twin)] ==
                k.digits[static_cast<std::size_t>(at->second)])
                c.join(twin, at->second);
    }
}

} // namespace

std::string stemmedKey(std::string_view fp) {
    auto stemmer = makeStemmer();
    return stemWords(fp, stemmer.get());
}

std::string ngramKey(std::string_view fp, int n) {
    std::string letters;
    letters.reserve(fp.size());
    for (char ch : fp)
        if (ch != ' ')
            letters += ch;
    auto len = static_cast<std::size_t>(std::clamp(n, 1, 3));
    if (letters.size() <= len)
        return letters;
    std::vector<std::string_view> grams;
    std::string_view all = letters;
    for (std::size_t i = 0; i + len <= all.size(); ++i)
        grams.push_back(all.substr(i, len));
    std::sort(grams.begin(), grams.end());
    grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
    std::string key;
    key.reserve(grams.size() * len);
    for (auto g : grams)
        key += g;
    return key;
}

int boundedEditDistance(std::string_view a, std::string_view b, int limit) {
    if (a.size() > b.size())
        std::swap(a, b);
    auto n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
    if (m - n > limit)
        return limit + 1;
    // One row of the table, only the band of width 2*limit+1 filled; cells
    // outside it hold limit+1, more than any distance of interest.
    const int over = limit + 1;
    thread_local std::vector<int> row;
    row.assign(static_cast<std::size_t>(n) + 1, over);
    for (int i = 0; i <= std::min(n, limit); ++i)
        row[static_cast<std::size_t>(i)] = i;
    for (int j = 1; j <= m; ++j) {
        int lo = std::max(1, j - limit), hi = std::min(n, j + limit);
        int diag = row[static_cast<std::size_t>(lo - 1)];
        int best = over;
        if (lo == 1) {
            row[0] = j <= limit ? j : over;
            best = row[0];
        } else {
            row[static_cast<std::size_t>(lo - 1)] = over;
        }
        for (int i = lo; i <= hi; ++i) {
            auto at = static_cast<std::size_t>(i);
            int up = row[at];
            int v = std::min({up + 1, row[at - 1] + 1,
                              diag + (a[at - 1] != b[static_cast<std::size_t>(j - 1)])});
            diag = up;
            row[at] = std::min(v, over);
            best = std::min(best, row[at]);
        }
        if (best > limit)
            return over;
    }
    return std::min(row[static_cast<std::size_t>(n)], over);
}

std::optional<std::vector<Cluster>> findClusters(const std::vector<std::string>& names,
                                                 const Settings& settings, Progress* progress) {
    Tracker t(progress);
    t.addTotal(static_cast<long>(names.size()) * (settings.method == Method::Nearest       ? 3
                                                  : settings.method == Method::Fingerprint ? 1
                                                                                           : 2));

    Keys k;
    k.ofName.assign(names.size(), -1);
    {
        std::unordered_map<std::string, int> ids;
        ids.reserve(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!t.step())
                return std::nullopt;
            auto fp = fingerprint(names[i]);
            if (fp.empty())
                continue;
            auto [at, added] = ids.try_emplace(std::move(fp), static_cast<int>(k.fps.size()));
            if (added) {
                k.fps.push_back(at->first);
                k.digits.push_back(digitKey(at->first));
            }
            k.ofName[i] = at->second;
        }
    }

    Components c(k.fps.size());
    bool finished = true;
    switch (settings.method) {
    case Method::Fingerprint:
        break;
    case Method::NGram: {
        int n = std::clamp(settings.ngram, 1, 3);
        finished = joinByKey(k, c, t, [n](const std::string& fp) { return ngramKey(fp, n); });
        break;
    }
    case Method::Stemmed: {
        auto stemmer = makeStemmer();
        finished =
            joinByKey(k, c, t, [&](const std::string& fp) { return stemWords(fp, stemmer.get()); });
        break;
    }
    case Method::Nearest:
        finished = joinNearest(k, std::clamp(settings.radius, 1, 3), c, t);
        break;
    }
    if (!finished || t.cancelled())
        return std::nullopt;
    joinTwins(names, k, c);

    std::unordered_map<int, std::size_t> clusterOf;
    std::vector<Cluster> all;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (k.ofName[i] < 0)
            continue;
        int root = c.find(k.ofName[i]);
        auto [at, added] = clusterOf.try_emplace(root, all.size());
        if (added)
            all.emplace_back();
        all[at->second].push_back(static_cast<int>(i));
    }
    t.flush();
    if (t.cancelled())
        return std::nullopt;
    std::vector<Cluster> clusters;
    for (auto& cl : all)
        if (cl.size() >= 2)
            clusters.push_back(std::move(cl));
    return clusters;
}

} // namespace dedupe
