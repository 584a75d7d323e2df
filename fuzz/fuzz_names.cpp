// Fuzz target: arbitrary bytes as the names of a lookup table, one a line,
// run through the duplicate finder's suggested run; the first byte chooses
// subject headings or not and which pairs are ruled out. The clusters must
// be well formed and keep every ruled-out pair apart.
#include "clustering.h"
#include "common.h"
#include "namewords.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

using fuzzsupport::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    const unsigned mode = data[0];
    std::vector<std::string> names(1);
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == '\n')
            names.emplace_back();
        else
            names.back() += static_cast<char>(data[i]);
    }
    for (const std::string& n : names) {
        const dedupe::NameWords w = dedupe::analyseName(n);
        for (const dedupe::NameWord& word : w.words)
            if (word.word.empty())
                fail("an empty word");
    }
    // Every pair of names whose indexes sum to a multiple of the mode's
    // upper bits is ruled out.
    dedupe::Pairs ruled;
    const unsigned step = (mode >> 1) % 5 + 2;
    for (size_t a = 0; a < names.size(); ++a)
        for (size_t b = a + 1; b < names.size(); ++b)
            if ((a + b) % step == 0)
                ruled.emplace_back(static_cast<int>(a), static_cast<int>(b));
    const dedupe::Settings settings{.headings = (mode & 1) != 0};
    const auto found = dedupe::findScored(names, settings, ruled);
    if (!found)
        fail("a run without progress was cancelled");
    std::set<std::pair<int, int>> apart(ruled.begin(), ruled.end());
    std::vector<bool> seen(names.size());
    int last = 101;
    for (const dedupe::Found& f : *found) {
        if (f.members.size() < 2 || f.certainty < 1 || f.certainty > 100 || f.reason.empty())
            fail("a malformed cluster");
        if (f.certainty > last)
            fail("clusters out of the order of certainty");
        last = f.certainty;
        for (size_t i = 0; i < f.members.size(); ++i) {
            const int m = f.members[i];
            if (m < 0 || static_cast<size_t>(m) >= names.size() || seen[static_cast<size_t>(m)] ||
                (i > 0 && f.members[i - 1] >= m))
                fail("a member out of range, repeated or out of order");
            seen[static_cast<size_t>(m)] = true;
            for (size_t j = 0; j < i; ++j)
                if (apart.count({f.members[j], m}))
                    fail("a ruled-out pair in one cluster");
        }
    }
    return 0;
}
