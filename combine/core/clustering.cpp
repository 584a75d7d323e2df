// The duplicate finder's clustering: every method works on the distinct
// fingerprints of the names and joins them in one union-find, so that a name
// can reach a cluster through any of its links. Joins are made only between
// fingerprints of the same numbers (digitKey).
#include "clustering.h"

#include "fingerprint.h"
#include "namewords.h"
#include "wordmatch.h"

#include <libstemmer.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <string>
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

// Distinct strings, kept end to end in one buffer and found through an
// open-addressing table: no allocation per string, which for 200,000 names
// costs more than the keying itself.
class StringTable {
public:
    explicit StringTable(std::size_t expected) { rehash(expected * 2); }
    // The id of s, and whether it was added now. Ids count from 0.
    std::pair<int, bool> intern(std::string_view s) {
        std::uint64_t h = std::hash<std::string_view>()(s);
        for (std::size_t at = h & mask_;; at = (at + 1) & mask_) {
            int id = slots_[at];
            if (id < 0)
                break;
            if (hashes_[static_cast<std::size_t>(id)] == h && view(id) == s)
                return {id, false};
        }
        int id = static_cast<int>(hashes_.size());
        arena_.append(s);
        begin_.push_back(arena_.size());
        hashes_.push_back(h);
        if (hashes_.size() * 2 > slots_.size())
            rehash(slots_.size() * 2);
        else
            place(id);
        return {id, true};
    }
    std::string_view view(int id) const {
        auto i = static_cast<std::size_t>(id);
        return std::string_view(arena_).substr(begin_[i], begin_[i + 1] - begin_[i]);
    }
    std::size_t size() const { return hashes_.size(); }

private:
    void rehash(std::size_t want) {
        std::size_t n = 16;
        while (n < want)
            n *= 2;
        mask_ = n - 1;
        slots_.assign(n, -1);
        for (std::size_t id = 0; id < hashes_.size(); ++id)
            place(static_cast<int>(id));
    }
    void place(int id) {
        std::size_t at = hashes_[static_cast<std::size_t>(id)] & mask_;
        while (slots_[at] >= 0)
            at = (at + 1) & mask_;
        slots_[at] = id;
    }

    std::string arena_;
    std::vector<std::size_t> begin_{0};
    std::vector<std::uint64_t> hashes_;
    std::vector<int> slots_;
    std::size_t mask_ = 0;
};

// The distinct non-empty fingerprints of the names, and which one each name has.
struct Keys {
    explicit Keys(std::size_t n) : fps(n), ofName(n, -1) {}
    StringTable fps;                 // distinct fingerprints
    std::vector<std::string> digits; // digitKey of each
    std::vector<int> ofName;         // index into fps, -1 for an empty fingerprint
};

// Joins, through the members' fingerprints, the names whose fingerprints
// give one key. keyOf(fp, out) writes the key of fp into out.
template <class KeyOf> bool joinByKey(const Keys& k, Components& c, Tracker& t, KeyOf keyOf) {
    StringTable keys(k.fps.size());
    std::vector<int> first;
    std::string key, buffer;
    for (std::size_t i = 0; i < k.fps.size(); ++i) {
        if (!t.step())
            return false;
        keyOf(k.fps.view(static_cast<int>(i)), buffer);
        key.assign(k.digits[i]);
        key += '|';
        key += buffer;
        auto [id, added] = keys.intern(key);
        if (added)
            first.push_back(static_cast<int>(i));
        else
            c.join(first[static_cast<std::size_t>(id)], static_cast<int>(i));
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

// Stems words with one stemmer, remembering each word's stem: the words of
// a lookup table are few beside its names.
class WordStems {
public:
    WordStems() : stemmer_(makeStemmer()) {}
    // The stemmed key of fp into out.
    void key(std::string_view fp, std::string& out) {
        ids_.clear();
        for (std::size_t at = 0; at < fp.size();) {
            auto end = fp.find(' ', at);
            if (end == std::string_view::npos)
                end = fp.size();
            ids_.push_back(stemOf(fp.substr(at, end - at)));
            at = end + 1;
        }
        // Ids are compared by text only now that no stem is added.
        auto less = [&](int a, int b) { return stems_.view(a) < stems_.view(b); };
        std::sort(ids_.begin(), ids_.end(), less);
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
        out.clear();
        for (int id : ids_) {
            if (!out.empty())
                out += ' ';
            out += stems_.view(id);
        }
    }

private:
    // The id in stems_ of the stem of word.
    int stemOf(std::string_view word) {
        auto [id, added] = words_.intern(word);
        if (!added)
            return stemIds_[static_cast<std::size_t>(id)];
        word = expandAbbreviation(word);
        const sb_symbol* stem =
            sb_stemmer_stem(stemmer_.get(), reinterpret_cast<const sb_symbol*>(word.data()),
                            static_cast<int>(word.size()));
        if (!stem)
            throw std::bad_alloc(); // the stemmer fails only for want of memory
        std::string_view text(reinterpret_cast<const char*>(stem),
                              static_cast<std::size_t>(sb_stemmer_length(stemmer_.get())));
        stemIds_.push_back(stems_.intern(text).first); // lines up with words_ by id
        return stemIds_.back();
    }

    Stemmer stemmer_;
    StringTable words_{1024}, stems_{1024};
    std::vector<int> stemIds_;
    std::vector<int> ids_;
};

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

// How many characters of each kind a fingerprint holds: letters, digits by
// their value modulo 4, blank, other. One edit changes the counts by at most
// 2 in all, so two fingerprints whose counts differ by more than 2*d are more
// than d edits apart, and are rejected without the edit distance.
using Counts = std::array<std::uint8_t, 32>;

Counts countsOf(std::string_view s) {
    Counts h{};
    for (char ch : s) {
        int at = ch >= 'a' && ch <= 'z'   ? ch - 'a'
                 : ch >= '0' && ch <= '9' ? 26 + (ch - '0') % 4
                 : ch == ' '              ? 30
                                          : 31;
        auto& n = h[static_cast<std::size_t>(at)];
        if (n < 255)
            ++n;
    }
    return h;
}

int countsDistance(const Counts& a, const Counts& b) {
    int sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
    return sum;
}

// An index from segment keys to fingerprints: keys sorted with their ids,
// reached through an open-addressing table of first positions.
class SegmentIndex {
public:
    void build(std::vector<std::pair<std::uint64_t, int>> entries) {
        std::sort(entries.begin(), entries.end());
        std::size_t size = 16;
        while (size < entries.size() * 3 / 2)
            size *= 2;
        mask_ = size - 1;
        slots_.assign(size, Slot{});
        ids_.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ids_[i] = entries[i].second;
            if (i && entries[i].first == entries[i - 1].first)
                continue;
            std::size_t s = entries[i].first & mask_;
            while (slots_[s].count)
                s = (s + 1) & mask_;
            std::size_t end = i;
            while (end < entries.size() && entries[end].first == entries[i].first)
                ++end;
            slots_[s] = {entries[i].first, static_cast<std::uint32_t>(i),
                         static_cast<std::uint32_t>(end - i)};
        }
    }
    // Calls f(id) for each fingerprint under key. The key is kept in its
    // slot, so that a lookup that finds nothing, the common case, reads one
    // place in memory.
    template <class F> void forEach(std::uint64_t key, F f) const {
        for (std::size_t s = key & mask_; slots_[s].count; s = (s + 1) & mask_) {
            const Slot& slot = slots_[s];
            if (slot.key != key)
                continue;
            for (std::uint32_t i = 0; i < slot.count; ++i)
                f(ids_[slot.begin + i]);
            return;
        }
    }

private:
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t begin = 0, count = 0;
    };
    std::vector<Slot> slots_;
    std::vector<int> ids_;
    std::size_t mask_ = 0;
};

// Joins fingerprints within the radius. Blocking by the pigeonhole rule: a
// string within d insertions, deletions and replacements of t holds,
// unchanged and shifted by at most d, one of the d+1 segments that t is cut
// into; a swap across a cut is met by indexing the swapped segments as well.
// So each fingerprint is looked up only by its own substrings near those
// positions, in strings of nearly its length and of the same numbers, and no
// two fingerprints are compared unless they share such a segment. Every pair
// within radius 1 is found; at 2 and 3 a pair whose edits spoil every
// segment (two swaps across both cuts, say) can be missed.
template <class Accept>
bool joinNearest(const Keys& k, int radius, Components& c, Tracker& t, Accept accept) {
    std::size_t m = k.fps.size();
    std::size_t longest = 0;
    for (std::size_t i = 0; i < m; ++i)
        longest = std::max(longest, k.fps.view(static_cast<int>(i)).size());
    std::vector<std::uint64_t> powers(longest + 2, 1);
    for (std::size_t i = 1; i < powers.size(); ++i)
        powers[i] = powers[i - 1] * hashBase;
    std::vector<std::uint64_t> digitHash(m);
    std::vector<Counts> counts(m);
    std::hash<std::string> hasher;
    for (std::size_t i = 0; i < m; ++i) {
        digitHash[i] = hasher(k.digits[i]);
        counts[i] = countsOf(k.fps.view(static_cast<int>(i)));
    }

    std::vector<std::pair<std::uint64_t, int>> entries;
    entries.reserve(m * static_cast<std::size_t>(radius + 1));
    PrefixHash ph, swappedHash;
    std::string swapped;
    for (std::size_t i = 0; i < m; ++i) {
        if (!t.step())
            return false;
        auto f = k.fps.view(static_cast<int>(i));
        ph.assign(f, powers);
        int tau = radiusFor(radius, f.size());
        for (int s = 0; s <= tau; ++s) {
            auto [at, len] = segment(f.size(), tau + 1, s);
            entries.emplace_back(segmentKey(f.size(), s, digitHash[i], ph.of(at, len)),
                                 static_cast<int>(i));
        }
        // A swap of the two letters either side of a cut spoils both segments
        // with one edit; the segments of the swapped string are indexed too.
        for (int s = 1; s <= tau; ++s) {
            std::size_t cut = segment(f.size(), tau + 1, s).first;
            if (cut == 0 || cut >= f.size() || f[cut - 1] == f[cut])
                continue;
            swapped.assign(f);
            std::swap(swapped[cut - 1], swapped[cut]);
            swappedHash.assign(swapped, powers);
            for (int side : {s - 1, s}) {
                auto [at, len] = segment(f.size(), tau + 1, side);
                entries.emplace_back(
                    segmentKey(f.size(), side, digitHash[i], swappedHash.of(at, len)),
                    static_cast<int>(i));
            }
        }
    }
    SegmentIndex index;
    index.build(std::move(entries));

    std::vector<std::size_t> seen(m, SIZE_MAX);
    for (std::size_t i = 0; i < m; ++i) {
        if (!t.step())
            return false;
        auto q = k.fps.view(static_cast<int>(i));
        ph.assign(q, powers);
        std::size_t qLen = q.size();
        // Pairs are found from their longer member (ties: the later id).
        for (std::size_t tLen = qLen >= static_cast<std::size_t>(radius) ? qLen - radius : 0;
             tLen <= qLen; ++tLen) {
            int tau = radiusFor(radius, tLen);
            if (qLen - tLen > static_cast<std::size_t>(tau) || tLen == 0)
                continue;
            // Where segment s can stand in q (Li, Deng, Wang and Feng's
            // multi-match-aware selection): shifted by at most s edits made
            // before it, and by at most tau - s after it, given the lengths.
            auto delta = static_cast<long>(qLen - tLen);
            for (int s = 0; s <= tau; ++s) {
                auto [at, len] = segment(tLen, tau + 1, s);
                auto p0 = static_cast<long>(at);
                long from = std::max({0L, p0 - s, p0 + delta - (tau - s)});
                long to = std::min({p0 + s, p0 + delta + (tau - s), static_cast<long>(qLen - len)});
                for (long pos = from; pos <= to; ++pos) {
                    auto p = static_cast<std::size_t>(pos);
                    index.forEach(segmentKey(tLen, s, digitHash[i], ph.of(p, len)), [&](int j) {
                        auto u = static_cast<std::size_t>(j);
                        if (seen[u] == i || (tLen == qLen && u >= i))
                            return;
                        seen[u] = i;
                        if (k.fps.view(j).size() != tLen || k.digits[u] != k.digits[i] ||
                            countsDistance(counts[u], counts[i]) > 2 * tau ||
                            c.find(j) == c.find(static_cast<int>(i)))
                            return;
                        if (boundedEditDistance(k.fps.view(j), q, tau) <= tau &&
                            accept(j, static_cast<int>(i)))
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
            twinsByKey[std::string(k.fps.view(k.ofName[i]))].push_back(k.ofName[i]);
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

void ngramKeyInto(std::string_view words, int n, std::string& out) {
    thread_local std::string letters;
    thread_local std::vector<std::uint32_t> grams;
    letters.clear();
    for (char ch : words)
        if (ch != ' ')
            letters += ch;
    auto len = static_cast<std::size_t>(std::clamp(n, 1, 3));
    out.clear();
    if (letters.size() <= len) {
        out = letters;
        return;
    }
    if (len <= 2) {
        // Grams of one or two characters of [0-9a-z] as bits of a set, numbered
        // so that reading the bits in order gives the grams in sorted order.
        constexpr int symbols = 37; // digits, letters, anything else
        auto symbol = [](char ch) {
            return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'z' ? ch - 'a' + 10 : 36;
        };
        std::array<std::uint64_t, (symbols * symbols + 63) / 64> set{};
        for (std::size_t i = 0; i + len <= letters.size(); ++i) {
            int g = symbol(letters[i]);
            if (len == 2)
                g = g * symbols + symbol(letters[i + 1]);
            set[static_cast<std::size_t>(g) / 64] |= std::uint64_t(1) << (g % 64);
        }
        auto character = [](int sym) {
            return static_cast<char>(sym < 10 ? '0' + sym : sym < 36 ? 'a' + sym - 10 : '?');
        };
        for (std::size_t w = 0; w < set.size(); ++w)
            for (std::uint64_t bits = set[w]; bits; bits &= bits - 1) {
                int g = static_cast<int>(w * 64) + std::countr_zero(bits);
                if (len == 2)
                    out += character(g / symbols);
                out += character(g % symbols);
            }
        return;
    }
    // Grams packed big-end first into a number, so that numbers sort as the
    // grams' text does.
    grams.clear();
    for (std::size_t i = 0; i + len <= letters.size(); ++i) {
        std::uint32_t g = 0;
        for (std::size_t j = 0; j < len; ++j)
            g = (g << 8) | static_cast<unsigned char>(letters[i + j]);
        grams.push_back(g);
    }
    std::sort(grams.begin(), grams.end());
    grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
    for (auto g : grams)
        for (std::size_t j = len; j-- > 0;)
            out += static_cast<char>((g >> (8 * j)) & 0xFF);
}

int boundedEditDistance(std::string_view a, std::string_view b, int limit) {
    if (a.size() > b.size())
        std::swap(a, b);
    auto n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
    const int over = limit + 1;
    if (m - n > limit)
        return over;
    // Three rows of the table (this one and the two before, for swaps), only
    // the band of width 2*limit+1 filled. The band moves right a cell a row,
    // so the cell just right of it still holds the "over" it started with.
    thread_local std::vector<int> row, before, twoBefore;
    auto width = static_cast<std::size_t>(n) + 1;
    row.assign(width, over);
    before.assign(width, over);
    twoBefore.assign(width, over);
    for (int i = 0; i <= std::min(n, limit); ++i)
        before[static_cast<std::size_t>(i)] = i;
    for (int j = 1; j <= m; ++j) {
        int lo = std::max(1, j - limit), hi = std::min(n, j + limit);
        auto jb = static_cast<std::size_t>(j - 1);
        row[static_cast<std::size_t>(lo - 1)] = lo == 1 && j <= limit ? j : over;
        int best = row[static_cast<std::size_t>(lo - 1)];
        for (int i = lo; i <= hi; ++i) {
            auto at = static_cast<std::size_t>(i);
            int v = std::min(
                {before[at] + 1, row[at - 1] + 1, before[at - 1] + (a[at - 1] != b[jb] ? 1 : 0)});
            if (i > 1 && j > 1 && a[at - 1] == b[jb - 1] && a[at - 2] == b[jb])
                v = std::min(v, twoBefore[at - 2] + 1);
            row[at] = std::min(v, over);
            best = std::min(best, row[at]);
        }
        if (best > limit)
            return over;
        std::swap(twoBefore, before);
        std::swap(before, row);
    }
    return std::min(before[static_cast<std::size_t>(n)], over);
}

std::optional<std::vector<Cluster>> findClusters(const std::vector<std::string>& names,
                                                 const Settings& settings, Progress* progress) {
    auto found = findScored(names, settings, {}, progress);
    if (!found)
        return std::nullopt;
    std::vector<Cluster> clusters;
    clusters.reserve(found->size());
    for (Found& f : *found)
        clusters.push_back(std::move(f.members));
    return clusters;
}

std::optional<std::vector<Found>> findScored(const std::vector<std::string>& names,
                                             const Settings& settings, const Pairs& ruledOut,
                                             Progress* progress) {
    Tracker t(progress);
    t.addTotal(static_cast<long>(names.size()));

    // The fingerprints; for the n-gram method also the n-gram key of each
    // name, taken from its words in their own order so that "Videocassette"
    // and "Video cassette" meet.
    Keys k(names.size());
    bool grams = settings.method == Method::NGram;
    int n = std::clamp(settings.ngram, 1, 3);
    StringTable gramKeys(grams ? names.size() : 0);
    std::vector<std::pair<int, int>> gramOf; // (fingerprint, n-gram key) per name
    {
        std::string fp, ordered, key, buffer;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!t.step())
                return std::nullopt;
            fingerprintInto(names[i], fp, grams ? &ordered : nullptr);
            if (fp.empty())
                continue;
            auto [id, added] = k.fps.intern(fp);
            if (added)
                k.digits.push_back(digitKey(fp));
            k.ofName[i] = id;
            if (grams) {
                ngramKeyInto(ordered, n, buffer);
                key.assign(k.digits[static_cast<std::size_t>(id)]);
                key += '|';
                key += buffer;
                gramOf.emplace_back(id, gramKeys.intern(key).first);
            }
        }
    }

    // 1. Links between fingerprints, from each method the run asks for.
    const Method method = settings.method;
    const bool suggested = method == Method::Suggested;
    std::vector<Link> links;
    // A method that joins fingerprints in one union-find links each to its
    // component's first.
    auto linkComponents = [&](Components& c, int certainty, const std::string& reason) {
        for (std::size_t i = 0; i < k.fps.size(); ++i)
            if (int root = c.find(static_cast<int>(i)); root != static_cast<int>(i))
                links.push_back({root, static_cast<int>(i), certainty, reason});
    };
    if (method == Method::NGram) {
        Components c(k.fps.size());
        std::vector<int> first(gramKeys.size(), -1);
        for (auto [fp, key] : gramOf) {
            auto& f = first[static_cast<std::size_t>(key)];
            if (f < 0)
                f = fp;
            else
                c.join(f, fp);
        }
        linkComponents(c, 70, "the same letters in the same order");
    }
    if (method == Method::Stemmed) {
        t.addTotal(static_cast<long>(k.fps.size()));
        Components c(k.fps.size());
        WordStems stems;
        if (!joinByKey(k, c, t, [&](std::string_view fp, std::string& out) { stems.key(fp, out); }))
            return std::nullopt;
        linkComponents(c, 75, "the same words but for their endings");
    }
    // How many fingerprints use each word, for the suggested run's test of
    // stray forms.
    std::unordered_map<std::string_view, int> wordUses;
    if (suggested) {
        for (std::size_t i = 0; i < k.fps.size(); ++i)
            forEachWord(k.fps.view(static_cast<int>(i)),
                        [&](std::string_view w) { ++wordUses[w]; });
        // Key collision on the words read as singulars, abbreviations as the
        // word: "17th centuries" is a stray form of "17th century", "Dict." is
        // "Dictionaries".
        t.addTotal(static_cast<long>(k.fps.size()));
        StringTable keys(k.fps.size());
        std::vector<int> first;
        std::string key;
        std::vector<std::string> folded;
        static const std::string stray = "a word in another number or abbreviated";
        for (std::size_t i = 0; i < k.fps.size(); ++i) {
            if (!t.step())
                return std::nullopt;
            const std::string_view fp = k.fps.view(static_cast<int>(i));
            folded.clear();
            forEachWord(
                fp, [&](std::string_view w) { folded.push_back(singular(expandAbbreviation(w))); });
            std::sort(folded.begin(), folded.end());
            key.assign(k.digits[i]);
            for (const std::string& w : folded)
                key.append(1, '|').append(w);
            auto [id, added] = keys.intern(key);
            if (added)
                first.push_back(static_cast<int>(i));
            else if (const int f = first[static_cast<std::size_t>(id)];
                     isStrayVariant(k.fps.view(f), fp, wordUses))
                links.push_back({f, static_cast<int>(i), 75, stray});
        }
    }
    if (method == Method::Nearest || suggested) {
        t.addTotal(2 * static_cast<long>(k.fps.size()));
        Components c(k.fps.size());
        const int radius = suggested ? 1 : std::clamp(settings.radius, 1, 3);
        // The suggested run joins names a letter apart only where the word
        // that differs is a stray form of the other (isStrayForm): "Painting"
        // and "Printing", "Opera" and "Operas" stay apart. Nor does it join
        // short names a letter apart ("ABC", "ABCD", "Piper", "Piter").
        auto accept = [&](int a, int b) {
            if (!suggested)
                return true;
            const std::string_view x = k.fps.view(a), y = k.fps.view(b);
            if (std::min(x.size(), y.size()) < 6)
                return false;
            return differingWords(x, y).first.empty() || isStrayVariant(x, y, wordUses);
        };
        if (!joinNearest(k, radius, c, t, accept))
            return std::nullopt;
        linkComponents(c, 70, radius == 1 ? "one letter apart" : "a few letters apart");
    }
    if (suggested || method == Method::Core || method == Method::Words ||
        method == Method::Acronym) {
        // One analysed name per fingerprint: its first name.
        NameTable table;
        std::vector<int> firstOf(k.fps.size(), -1);
        for (std::size_t i = 0; i < names.size(); ++i)
            if (k.ofName[i] >= 0 && firstOf[static_cast<std::size_t>(k.ofName[i])] < 0)
                firstOf[static_cast<std::size_t>(k.ofName[i])] = static_cast<int>(i);
        t.addTotal(static_cast<long>(k.fps.size()) *
                   (suggested || method == Method::Words ? 2 : 1));
        table.names.reserve(k.fps.size());
        table.words.reserve(k.fps.size());
        for (std::size_t id = 0; id < k.fps.size(); ++id) {
            if (!t.step())
                return std::nullopt;
            table.names.push_back(names[static_cast<std::size_t>(firstOf[id])]);
            table.words.push_back(analyseName(table.names.back()));
            table.digits.push_back(k.digits[id]);
        }
        if (suggested || method == Method::Core)
            linkCoreNames(table, links);
        if (suggested || method == Method::Words) {
            if (!linkSimilarWords(table, settings.similarity, settings.headings, links,
                                  [&] { return t.step(); }))
                return std::nullopt;
        }
        if (suggested || method == Method::Acronym)
            linkAcronyms(table, links);
    }
    if (t.cancelled())
        return std::nullopt;
    {
        Components c(k.fps.size());
        joinTwins(names, k, c);
        linkComponents(c, 95, "the same name with letters lost in decoding");
    }

    // 2. The names of one fingerprint first, then the links surest first,
    // each joining two clusters unless that puts a ruled-out pair together.
    // Each cluster keeps the certainty and reason of the last link that
    // joined it: its weakest.
    const std::string sameFingerprint = "the same name but for letter case and punctuation";
    struct NameLink {
        int a, b, certainty;
        const std::string* reason;
    };
    std::vector<NameLink> all;
    std::vector<int> firstName(k.fps.size(), -1);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const int id = k.ofName[i];
        if (id < 0)
            continue;
        int& f = firstName[static_cast<std::size_t>(id)];
        if (f < 0)
            f = static_cast<int>(i);
        else
            all.push_back({f, static_cast<int>(i), 100, &sameFingerprint});
    }
    for (const Link& l : links)
        all.push_back({firstName[static_cast<std::size_t>(l.a)],
                       firstName[static_cast<std::size_t>(l.b)], l.certainty, &l.reason});
    std::stable_sort(all.begin(), all.end(), [](const NameLink& x, const NameLink& y) {
        return x.certainty > y.certainty;
    });

    Components c(names.size());
    std::vector<std::vector<int>> forbidden(names.size());
    for (auto [x, y] : ruledOut) {
        if (x < 0 || y < 0 || static_cast<std::size_t>(x) >= names.size() ||
            static_cast<std::size_t>(y) >= names.size() || x == y)
            continue;
        forbidden[static_cast<std::size_t>(x)].push_back(y);
        forbidden[static_cast<std::size_t>(y)].push_back(x);
    }
    std::vector<int> certainty(names.size(), 100);
    std::vector<const std::string*> reason(names.size(), &sameFingerprint);
    for (const NameLink& l : all) {
        int ra = c.find(l.a), rb = c.find(l.b);
        if (ra == rb)
            continue;
        auto& fa = forbidden[static_cast<std::size_t>(ra)];
        auto& fb = forbidden[static_cast<std::size_t>(rb)];
        const auto& fewer = fa.size() <= fb.size() ? fa : fb;
        const int other = fa.size() <= fb.size() ? rb : ra;
        if (std::any_of(fewer.begin(), fewer.end(), [&](int x) { return c.find(x) == other; }))
            continue;
        c.join(ra, rb);
        const auto root = static_cast<std::size_t>(c.find(ra));
        auto& kept = forbidden[root];
        auto& gone = root == static_cast<std::size_t>(ra) ? fb : fa;
        kept.insert(kept.end(), gone.begin(), gone.end());
        gone.clear();
        gone.shrink_to_fit();
        certainty[root] = l.certainty;
        reason[root] = l.reason;
    }

    // 3. Clusters by root, made only for roots of two names or more.
    std::vector<int> members(names.size(), 0);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (k.ofName[i] >= 0)
            ++members[static_cast<std::size_t>(c.find(static_cast<int>(i)))];
    std::vector<int> clusterOf(names.size(), -1);
    std::vector<Found> found;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (k.ofName[i] < 0)
            continue;
        auto root = static_cast<std::size_t>(c.find(static_cast<int>(i)));
        if (members[root] < 2)
            continue;
        if (clusterOf[root] < 0) {
            clusterOf[root] = static_cast<int>(found.size());
            found.push_back({{}, certainty[root], *reason[root]});
            found.back().members.reserve(static_cast<std::size_t>(members[root]));
        }
        found[static_cast<std::size_t>(clusterOf[root])].members.push_back(static_cast<int>(i));
    }
    t.flush();
    if (t.cancelled())
        return std::nullopt;
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& x, const Found& y) { return x.certainty > y.certainty; });
    return found;
}

} // namespace dedupe
