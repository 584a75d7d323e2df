// Similar words and acronyms.
#include "wordmatch.h"

#include "clustering.h"
#include "fingerprint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace dedupe {
namespace {

// How two words of two names meet: 0 not at all, else a share of their weight.
enum class Meet { None, Typo, Abbreviation, Ending, Plural };

struct Word {
    std::string_view text;
    int df = 0;
    double weight = 0;
    std::vector<int> variants; // words one letter apart
};

std::uint64_t pairKey(int a, int b) {
    if (a > b)
        std::swap(a, b);
    return static_cast<std::uint64_t>(a) << 32 | static_cast<std::uint32_t>(b);
}

std::string quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

// The words of a name dropped from its core, as the name spells them.
std::vector<std::string_view> droppedWords(const NameWords& nw) {
    std::vector<std::string_view> out;
    for (const NameWord& w : nw.words)
        if (!w.core && (out.empty() || out.back() != w.shown))
            out.push_back(w.shown);
    return out;
}

} // namespace

void linkCoreNames(const NameTable& t, std::vector<Link>& out) {
    std::unordered_map<std::string, int> first;
    std::string key;
    for (std::size_t i = 0; i < t.words.size(); ++i) {
        const NameWords& nw = t.words[i];
        if (nw.coreKey.empty())
            continue;
        for (const std::string* part : {&nw.coreKey, &nw.coreRun}) {
            key.assign(part == &nw.coreKey ? "k" : "r");
            key += nw.coreDigits;
            key += '|';
            key += *part;
            auto [at, added] = first.try_emplace(key, static_cast<int>(i));
            if (added)
                continue;
            const auto j = static_cast<std::size_t>(at->second);
            const NameWords& other = t.words[j];
            std::string reason;
            if (nw.personal || other.personal) {
                reason = "the same personal name, with initials or dates";
            } else {
                // The words one name drops and the other lacks, letter case
                // and punctuation aside ("Press" and "press," are one).
                const auto mine = droppedWords(nw), theirs = droppedWords(other);
                auto keyOf = [](std::string_view w) { return fingerprint(w); };
                std::vector<std::string_view> gone;
                std::vector<std::string> goneKeys;
                for (const auto* from : {&mine, &theirs})
                    for (std::string_view w : *from) {
                        const std::string k = keyOf(w);
                        const auto inMine = std::count_if(mine.begin(), mine.end(),
                                                          [&](auto x) { return keyOf(x) == k; });
                        const auto inTheirs = std::count_if(theirs.begin(), theirs.end(),
                                                            [&](auto x) { return keyOf(x) == k; });
                        if ((inMine == 0) != (inTheirs == 0) &&
                            std::find(goneKeys.begin(), goneKeys.end(), k) == goneKeys.end()) {
                            gone.push_back(w);
                            goneKeys.push_back(k);
                        }
                    }
                auto abbreviates = [](const NameWords& x) {
                    return std::any_of(x.words.begin(), x.words.end(),
                                       [](const NameWord& w) { return w.abbreviated; });
                };
                if (nw.place.empty() != other.place.empty()) {
                    reason = "the same name without the place " +
                             quoted(nw.place.empty() ? other.place : nw.place);
                } else if (gone.empty()) {
                    reason = nw.coreRun != other.coreRun ? "the same words in another order"
                             : abbreviates(nw) || abbreviates(other)
                                 ? "the same name, abbreviated"
                                 : "the same words run together or apart";
                } else {
                    reason = "the same name without ";
                    for (std::size_t g = 0; g < gone.size() && g < 3; ++g)
                        reason += (g ? ", " : "") + quoted(gone[g]);
                }
            }
            out.push_back({at->second, static_cast<int>(i), nw.personal || other.personal ? 85 : 90,
                           std::move(reason)});
            break;
        }
    }
}

namespace {

// True when the words that a and b (word ids in name order) share come in
// the same order in both, and in one run in longer (a or b): a name inside
// another is its start or its end ("Elsevier Science"), never its parts
// spread out ("Ren min chu ban she", "Ren min wen xue chu ban she").
bool sameOrder(const std::vector<Word>& words, const std::vector<int>& a, const std::vector<int>& b,
               const std::vector<int>& longer) {
    const std::vector<int>& other = &longer == &a ? b : a;
    std::vector<int> x, y;
    int runs = 0;
    bool inRun = false;
    for (int w : longer) {
        const bool shared = std::find(other.begin(), other.end(), w) != other.end();
        if (shared) {
            x.push_back(w);
            runs += !inRun;
        }
        inRun = shared;
    }
    for (int w : other)
        if (std::find(longer.begin(), longer.end(), w) != longer.end())
            y.push_back(w);
    // A word before the shared run that qualifies an institution makes
    // another one: "Teachers College Press" is not "College Press".
    for (std::size_t i = 0; i + 1 < longer.size(); ++i)
        if (std::find(other.begin(), other.end(), longer[i]) == other.end() &&
            std::find(other.begin(), other.end(), longer[i + 1]) != other.end() &&
            isInstitutionWord(words[static_cast<std::size_t>(longer[i + 1])].text))
            return false;
    return runs <= 1 && x == y;
}

} // namespace

bool linkSimilarWords(const NameTable& t, int similarity, bool headings, std::vector<Link>& out,
                      const std::function<bool()>& keepGoing) {
    const std::size_t n = t.words.size();
    // 1. The distinct words and, per name, its words (the core name's, else
    // all) and its initials.
    std::unordered_map<std::string_view, int> idOf;
    std::vector<Word> words;
    std::vector<std::vector<int>> of(n), order(n);
    std::vector<std::string> initials(n);
    for (std::size_t i = 0; i < n; ++i) {
        const NameWords& nw = t.words[i];
        bool core = false;
        for (const NameWord& w : nw.words)
            core = core || w.core;
        for (const NameWord& w : nw.words) {
            if (w.initial) {
                initials[i] += w.word;
                continue;
            }
            if ((core && !w.core) || w.acronym || isLinkWord(w.word))
                continue;
            auto [at, added] = idOf.try_emplace(w.word, static_cast<int>(words.size()));
            if (added)
                words.push_back({w.word, 0, 0, {}});
            of[i].push_back(at->second);
            if (std::find(order[i].begin(), order[i].end(), at->second) == order[i].end())
                order[i].push_back(at->second);
        }
        std::sort(of[i].begin(), of[i].end());
        of[i].erase(std::unique(of[i].begin(), of[i].end()), of[i].end());
        for (int w : of[i])
            ++words[static_cast<std::size_t>(w)].df;
    }
    for (Word& w : words)
        w.weight = std::log((static_cast<double>(n) + 1) / w.df);

    // 2. Rare long words one letter apart: words that give one string with a
    // letter dropped from each (or from one) are at most two edits apart,
    // and the edit distance decides.
    std::unordered_map<std::string, std::vector<int>> byDeletion;
    for (std::size_t id = 0; id < words.size(); ++id) {
        const Word& w = words[id];
        if (w.text.size() < 6 || w.df > 3)
            continue;
        byDeletion[std::string(w.text)].push_back(static_cast<int>(id));
        for (std::size_t k = 0; k < w.text.size(); ++k) {
            std::string key(w.text.substr(0, k));
            key.append(w.text.substr(k + 1));
            byDeletion[std::move(key)].push_back(static_cast<int>(id));
        }
    }
    for (auto& [key, ids] : byDeletion) {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (std::size_t x = 0; x < ids.size(); ++x)
            for (std::size_t y = x + 1; y < ids.size(); ++y) {
                Word& a = words[static_cast<std::size_t>(ids[x])];
                Word& b = words[static_cast<std::size_t>(ids[y])];
                if (std::find(a.variants.begin(), a.variants.end(), ids[y]) != a.variants.end() ||
                    isPluralPair(a.text, b.text) || !isStrayForm(a.df, b.df, false) ||
                    boundedEditDistance(a.text, b.text, 1) > 1)
                    continue;
                a.variants.push_back(ids[y]);
                b.variants.push_back(ids[x]);
            }
    }

    // 3. Postings of the rare words and their variants, then the candidate
    // pairs: names that share one.
    const int rare = std::max(8, static_cast<int>(std::sqrt(static_cast<double>(n)) / 4));
    std::vector<std::vector<int>> postings(words.size());
    for (std::size_t i = 0; i < n; ++i)
        for (int w : of[i])
            if (words[static_cast<std::size_t>(w)].df <= rare)
                postings[static_cast<std::size_t>(w)].push_back(static_cast<int>(i));
    // Abbreviations ("Akad.") read as a longer word they begin, by the sorted words.
    std::vector<int> sorted(words.size());
    for (std::size_t i = 0; i < sorted.size(); ++i)
        sorted[i] = static_cast<int>(i);
    std::sort(sorted.begin(), sorted.end(), [&](int a, int b) {
        return words[static_cast<size_t>(a)].text < words[static_cast<size_t>(b)].text;
    });
    std::unordered_map<int, std::vector<int>> expansions; // abbreviation -> words
    for (std::size_t i = 0; i < n; ++i)
        for (const NameWord& w : t.words[i].words) {
            if (!w.abbreviated || w.word.size() < 3 || expansions.count(idOf[w.word]))
                continue;
            auto lo = std::lower_bound(sorted.begin(), sorted.end(), w.word,
                                       [&](int id, const std::string& s) {
                                           return words[static_cast<size_t>(id)].text < s;
                                       });
            std::vector<int>& into = expansions[idOf[w.word]];
            for (auto it = lo; it != sorted.end(); ++it) {
                std::string_view x = words[static_cast<size_t>(*it)].text;
                if (x.substr(0, w.word.size()) != w.word)
                    break;
                if (x.size() >= w.word.size() + 2)
                    into.push_back(*it);
            }
        }

    std::unordered_set<std::uint64_t> seen;
    std::vector<int> candidates;
    std::vector<char> hit(words.size(), 0);
    const double least = std::clamp(similarity, 50, 95) / 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!keepGoing())
            return false;
        candidates.clear();
        auto addPostings = [&](int w) {
            if (words[static_cast<std::size_t>(w)].df <= rare)
                for (int j : postings[static_cast<std::size_t>(w)])
                    if (static_cast<std::size_t>(j) != i)
                        candidates.push_back(j);
        };
        for (int w : of[i]) {
            addPostings(w);
            for (int v : words[static_cast<std::size_t>(w)].variants)
                addPostings(v);
            if (auto e = expansions.find(w); e != expansions.end())
                for (int v : e->second)
                    addPostings(v);
        }
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
        for (int j : candidates) {
            const auto u = static_cast<std::size_t>(j);
            if (t.digits[i] != t.digits[u] || !seen.insert(pairKey(static_cast<int>(i), j)).second)
                continue;
            // 4. The weighted share of words in common; each word of one
            // name meets at most one word of the other.
            double total = 0, common = 0;
            std::string typo, abbreviation;
            for (int w : of[i])
                total += words[static_cast<std::size_t>(w)].weight;
            for (int w : of[u])
                total += words[static_cast<std::size_t>(w)].weight;
            std::vector<int> unmatchedB;
            for (int wb : of[u])
                hit[static_cast<std::size_t>(wb)] = 1;
            std::vector<int> restA;
            for (int wa : of[i]) {
                if (hit[static_cast<std::size_t>(wa)] == 1) {
                    hit[static_cast<std::size_t>(wa)] = 2;
                    common += 2 * words[static_cast<std::size_t>(wa)].weight;
                } else
                    restA.push_back(wa);
            }
            for (int wb : of[u])
                if (hit[static_cast<std::size_t>(wb)] == 1)
                    unmatchedB.push_back(wb);
            for (int wb : of[u])
                hit[static_cast<std::size_t>(wb)] = 0;
            auto meet = [&](int a, int b) {
                const Word& x = words[static_cast<std::size_t>(a)];
                const Word& y = words[static_cast<std::size_t>(b)];
                if (std::find(x.variants.begin(), x.variants.end(), b) != x.variants.end())
                    return Meet::Typo;
                for (int p : {a, b}) {
                    auto e = expansions.find(p);
                    if (e != expansions.end() && std::find(e->second.begin(), e->second.end(),
                                                           p == a ? b : a) != e->second.end())
                        return Meet::Abbreviation;
                }
                std::string_view s = x.text, l = y.text;
                if (s.size() > l.size())
                    std::swap(s, l);
                if (isPluralPair(s, l))
                    return s.size() >= 4 ? Meet::Plural : Meet::None;
                if (s.size() >= 7 && l.size() - s.size() <= 3 && l.substr(0, s.size()) == s)
                    return Meet::Ending;
                return Meet::None;
            };
            std::vector<int> unmatchedA;
            bool sharesWord = common > 0;
            for (int wa : restA) {
                bool met = false;
                for (auto it = unmatchedB.begin(); it != unmatchedB.end() && !met; ++it) {
                    const Meet m = meet(wa, *it);
                    if (m == Meet::None)
                        continue;
                    met = true;
                    sharesWord = sharesWord || m != Meet::Plural;
                    const Word& x = words[static_cast<std::size_t>(wa)];
                    const Word& y = words[static_cast<std::size_t>(*it)];
                    common += (m == Meet::Plural ? 0.8 : 0.9) * (x.weight + y.weight);
                    std::string& why = m == Meet::Typo ? typo : abbreviation;
                    if (why.empty())
                        why = quoted(x.text) + " and " + quoted(y.text) +
                              (m == Meet::Typo ? " one letter apart" : " as one word");
                    unmatchedB.erase(it);
                }
                if (!met)
                    unmatchedA.push_back(wa);
            }
            // An initial stands for a forename it begins ("F. Watts", "Franklin
            // Watts"): the forename counts as met, the initial weighs nothing.
            for (auto [from, rest] : {std::pair{i, &unmatchedB}, std::pair{u, &unmatchedA}})
                for (char c : initials[from])
                    for (auto it = rest->begin(); it != rest->end(); ++it)
                        if (words[static_cast<std::size_t>(*it)].text.front() == c) {
                            common += words[static_cast<std::size_t>(*it)].weight;
                            if (abbreviation.empty())
                                abbreviation = quoted(std::string(1, c)) + " the initial of " +
                                               quoted(words[static_cast<std::size_t>(*it)].text);
                            rest->erase(it);
                            break;
                        }
            // 5. What stays unmatched says as much as what is shared: words
            // left on both sides name two bodies ("Anhui ..." and "Liaoning
            // ..."); a word that makes a body of its own ("Folio" and "Folio
            // Society") or a name inside another in another order ("New York
            // University Press", "State University of New York Press") too; a
            // heading inside another is a narrower heading; and another
            // number alone is another heading.
            if (total <= 0 || !sharesWord || (!unmatchedA.empty() && !unmatchedB.empty()) ||
                (headings && (!unmatchedA.empty() || !unmatchedB.empty())))
                continue;
            const std::vector<int>& extra = unmatchedA.empty() ? unmatchedB : unmatchedA;
            if (std::any_of(extra.begin(), extra.end(), [&](int w) {
                    const std::string_view x = words[static_cast<std::size_t>(w)].text;
                    return isInstitutionWord(x) || isLegalOrTradeWord(x);
                }))
                continue;
            if (!extra.empty() &&
                !sameOrder(words, order[i], order[u], unmatchedA.empty() ? order[u] : order[i]))
                continue;
            // The rarest word of the longer name must be about as common as
            // the rarest they share: a place or a person before a common name ("Guangdong ren min
            // chu ban she", "Ren min chu ban she") is the name's own part.
            if (!extra.empty()) {
                int rarest = 1 << 30;
                for (int w : extra)
                    rarest = std::min(rarest, words[static_cast<std::size_t>(w)].df);
                int shared = 1 << 30;
                for (int w : unmatchedA.empty() ? of[i] : of[u])
                    shared = std::min(shared, words[static_cast<std::size_t>(w)].df);
                if (2 * rarest < shared)
                    continue;
            }
            const double share = common / total;
            if (share < least)
                continue;
            std::string reason =
                !typo.empty()           ? typo
                : !abbreviation.empty() ? abbreviation
                : share > 0.999
                    ? (order[i] == order[u] ? "the same main words"
                                            : "the same words in another order")
                    : quoted(t.names[i].size() < t.names[u].size() ? t.names[i] : t.names[u]) +
                          " within " +
                          quoted(t.names[i].size() < t.names[u].size() ? t.names[u] : t.names[i]);
            const int certainty = static_cast<int>(std::lround(45 + 40 * (share - 0.5) / 0.5));
            out.push_back(
                {static_cast<int>(i), j, std::clamp(certainty, 1, 85), std::move(reason)});
        }
    }
    return true;
}

void linkAcronyms(const NameTable& t, std::vector<Link>& out) {
    // 1. Short names in capitals: one word of 2 to 8 letters, upper case as typed.
    std::unordered_map<std::string, std::vector<int>> acronyms;
    for (std::size_t i = 0; i < t.names.size(); ++i) {
        const NameWords& nw = t.words[i];
        std::vector<const NameWord*> kept;
        for (const NameWord& w : nw.words)
            if (w.core)
                kept.push_back(&w);
        if (kept.size() != 1 || kept[0]->word.size() < 2 || kept[0]->word.size() > 8)
            continue;
        std::string_view shown = kept[0]->shown;
        int upper = 0, lower = 0;
        for (char c : shown)
            upper += c >= 'A' && c <= 'Z', lower += c >= 'a' && c <= 'z';
        if (upper >= 2 && lower == 0)
            acronyms[kept[0]->word].push_back(static_cast<int>(i));
    }
    if (acronyms.empty())
        return;
    // 2. Longer names: the initials of their words, and an acronym they give
    // in parentheses.
    for (std::size_t i = 0; i < t.names.size(); ++i) {
        const NameWords& nw = t.words[i];
        std::string spelt, inParens;
        int spelling = 0;
        for (const NameWord& w : nw.words) {
            if (w.inParens) {
                inParens += w.word;
                continue;
            }
            if (w.initial || isLinkWord(w.word) || w.word.empty())
                continue;
            spelt += w.word.front();
            ++spelling;
        }
        if (spelling < 2)
            continue;
        for (const auto& [key, strong] : {std::pair{inParens, true}, std::pair{spelt, false}}) {
            auto at = acronyms.find(key);
            if (key.empty() || at == acronyms.end() ||
                (strong && inParens != spelt && key != inParens))
                continue;
            for (int a : at->second)
                if (static_cast<std::size_t>(a) != i &&
                    t.digits[static_cast<std::size_t>(a)] == t.digits[i])
                    out.push_back({a, static_cast<int>(i), strong ? 90 : 60,
                                   quoted(t.names[static_cast<std::size_t>(a)]) +
                                       " the acronym of " + quoted(t.names[i])});
            break;
        }
    }
}

} // namespace dedupe
