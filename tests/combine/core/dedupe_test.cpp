// Tests of the duplicate finder's fingerprint and clustering methods: the
// kinds of variation found in catalogues, names that must stay apart, and
// cancelling a run from another thread.
#include "clustering.h"
#include "fingerprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

using dedupe::Method;

namespace {

// Each "?" as U+FFFD, the mark a mis-decoded name holds.
std::string fffd(std::string s) {
    for (size_t at; (at = s.find('?')) != std::string::npos;)
        s.replace(at, 1, "\xEF\xBF\xBD");
    return s;
}

TEST(Fingerprint, FoldsVariationAway) {
    // clang-format off
    const std::pair<std::string, const char*> rows[] = {
        {"Penguin Books,", "books penguin"},   {"Harper & Row, :", "and harper row"},
        {"Methuen ;", "methuen"},              {"Macmillan.", "macmillan"},
        {"[Methuen]", "methuen"},              {"[s.n.]", "n s"},
        {"Tōkyō Daigaku Shuppankai", "daigaku shuppankai tokyo"},
        {"Dār al-Maʻārif", "al dar maarif"},   {fffd("D??r al-Ma??rif"), "al dr marif"},
        {"Cafe\xCC\x81", "cafe"},              {"Straße", "strasse"},
        {"Москва", "moskva"},                  {"COMPUTERS", "computers"},
        {"  Penguin   Books ", "books penguin"},
        {"Gallimard, Éditions Gallimard", "editions gallimard"},
        {"O'Reilly & Associates", "and associates oreilly"},
        {"Addison-Wesley", "addison wesley"},  {"World War, 1914-1918", "1914 1918 war world"},
        {"", ""},                              {" [ ; ] ", ""},
        {"Caf\xC3", "caf"},                     {"Caf\xA9 Bar", "bar caf"}};
    // clang-format on
    for (const auto& [name, key] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(dedupe::fingerprint(name), key);
        // The same key from the buffer-reusing form, over a buffer that held text.
        std::string out = "left over";
        dedupe::fingerprintInto(name, out);
        EXPECT_EQ(out, key);
    }
}

TEST(Fingerprint, DigitKeyAndEditDistance) {
    for (auto [name, digits] : {std::pair{"Chemistry", ""},
                                {"Chemistry 2", "2"},
                                {"1918 1914 -- 1914", "1914 1918"},
                                {"3rd ed, vol2", "2 3"},
                                {"2nd ed, vol2", "2"}})
        EXPECT_EQ(dedupe::digitKey(dedupe::fingerprint(name)), digits) << name;
    // clang-format off
    const struct { const char *a, *b; int limit, distance; } rows[] = {
        {"history", "history", 1, 0}, {"history", "histroy", 3, 1}, {"history", "hstiory", 3, 2},
        {"kitten", "sitting", 3, 3}, {"kitten", "sitting", 2, 3}, {"", "abcd", 2, 3},
        {"gardening", "gardenning", 1, 1}};
    // clang-format on
    for (const auto& r : rows) {
        EXPECT_EQ(dedupe::boundedEditDistance(r.a, r.b, r.limit), r.distance) << r.a << r.b;
        EXPECT_EQ(dedupe::boundedEditDistance(r.b, r.a, r.limit), r.distance) << r.b << r.a;
    }
}

// Clusters as "0 1|2 3", sorted; each must be ascending, of two names or more.
std::string clusterText(std::vector<dedupe::Cluster> clusters) {
    std::sort(clusters.begin(), clusters.end());
    std::string out;
    for (const auto& c : clusters) {
        if (c.size() < 2 || !std::is_sorted(c.begin(), c.end()))
            return "malformed cluster";
        out += out.empty() ? "" : "|";
        for (size_t i = 0; i < c.size(); ++i)
            out += (i ? " " : "") + std::to_string(c[i]);
    }
    return out;
}

// Names joined by "|" in, clusters as clusterText writes them out.
TEST(FindClusters, FindsVariantsAndKeepsOthersApart) {
    const std::string twins =
        fffd("Dār al-Maʻārif|D??r al-Ma??rif|Dar al-Maarif|Müller|Möller|M??ller");
    // clang-format off
    struct Row { Method method; int parameter; std::string names, expected; bool headings = false; };
    std::vector<Row> rows = {
        {Method::Fingerprint, 0,
         "Penguin Books,|penguin  books|[Penguin Books] :|Penguin Bks.|Methuen ;|Methuen",
         "0 1 2|4 5"},
        {Method::Fingerprint, 0, twins, "0 1 2"},
        {Method::NGram, 2, "Videocassette|Video cassette|Video-cassettes|Audio cassette", "0 1"},
        {Method::NGram, 3, twins, "0 1 2"},
        {Method::Stemmed, 0, "Biography|Biographies|Gardening|Garden|Penguin Books|Penguin Bks."
                             "|Oxford University Press|Oxford Univ. Press", "0 1|2 3|4 5|6 7"},
        {Method::Nearest, 1,
         "Histroy|History|Gardenning|Gardening|Adison-Wesley|Addison Wesley|Zoology",
         "0 1|2 3|4 5"},
        {Method::Nearest, 2, "Dār al-Maʻārif|Dr al-Marif|Penguin Books|Penguin Bks.", "0 1|2 3"},
        {Method::Nearest, 1, "Penguin Books|Penguin Bks.", ""},
        {Method::Core, 0, "Acme|Acme Inc.|Acme, Incorporated|Acme Corp.|Acme Publishing Co.|Acme Books"
                          "|Acme & Sons|Acme GmbH|Acme B.V.|Acme Pte. Ltd.|Acme Verlag|Acme Éditeur"
                          "|Acme International|The Acme Press|London : Acme,|Acme Media",
         "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15"},
        {Method::Core, 0, "J. Q. Smith|Smith|Acme-Hill|AcmeHill|Acme Univ. Pr.|Acme U. P."
                          "|Acme University Press|Dept. of Physics, Acme University"
                          "|Acme University, Physics Dept.",
         "0 1|2 3|4 5 6|7 8"},
        {Method::Core, 0, "Published for the Acme Society by Zenith Press"
                          "|Acme Society by Zenith Press|Computer-aided design (CAD)"
                          "|Computer-aided design|Smith, John Q.|Smith, John Quincy, 1900-1980"
                          "|Smith, John Q. (John Quincy)", "0 1|2 3|4 5 6", true},
        {Method::Words, 70, "Lindqvist & Berg|Lindquist and Bergs|J. Q. Smith|John Q. Smith, Publisher"
                            "|Akad. Kiadó|Akadémiai Kiadó",
         "0 1|2 3|4 5"},
        {Method::Acronym, 0, "SGCE|Society of Glass and Ceramic Engineers (SGCE)|ZPB"
                             "|Zenith Publishing Board|ABC|Society of Glass|AB", "0 1|2 3"}};
    // Names that must stay apart in the suggested run.
    for (bool headings : {false, true})
        rows.push_back({Method::Suggested, 70,
                        "Acme 1|Acme 2|Acme|Acmes|ABC|ABCD|Acme University|Acme University Press"
                        "|Applied Science Press|Applied Society Press|Painting|Printing|Opera|Operas"
                        "|Painting, French|Printing -- History|College Press|Teachers College Press"
                        "|Readers (Elementary)|Readers (Secondary)|Piper|Piter"
                        "|Anhui ren min chu ban she|Liaoning ren min chu ban she"
                        "|Folio|Folio Society|New York University Press"
                        "|State University of New York Press", "", headings});
    rows.push_back({Method::Suggested, 70, "Physics|Nuclear physics|Knowledge, Theory of"
                                           "|Self-knowledge, Theory of", "", true});
    // Names that must stay apart, under every method at its loosest.
    for (auto [method, parameter] : {std::pair{Method::Fingerprint, 0}, {Method::NGram, 1},
                                     {Method::Stemmed, 0}, {Method::Nearest, 3}}) {
        rows.push_back({method, parameter,
                        "Chemistry 1|Chemistry 2|World War, 1914-1918|World War, 1939-1945"
                        "|History -- 18th century|History -- 19th century", ""});
        rows.push_back({method, parameter,
                        "History -- France|History -- Spain|Physics|Poetry|CD|DVD", ""});
    }
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << static_cast<int>(r.method) << " " << r.parameter << ": " << r.names);
        std::vector<std::string> names;
        std::istringstream in(r.names);
        for (std::string name; std::getline(in, name, '|');)
            names.push_back(name);
        const dedupe::Settings s{.method = r.method,
                                 .ngram = r.parameter,
                                 .radius = r.parameter,
                                 .similarity = r.parameter,
                                 .headings = r.headings};
        dedupe::Progress progress;
        const auto found = dedupe::findClusters(names, s, &progress);
        ASSERT_TRUE(found);
        EXPECT_EQ(clusterText(*found), r.expected);
        EXPECT_EQ(progress.done.load(), progress.total.load());
        // The suggested run finds what the methods for real variation find.
        if (r.method == Method::Core || r.method == Method::Words || r.method == Method::Acronym) {
            const auto all = dedupe::findScored(names, {.headings = r.headings});
            ASSERT_TRUE(all);
            std::vector<int> clusterOf(names.size(), -1);
            for (size_t c = 0; c < all->size(); ++c) {
                EXPECT_FALSE((*all)[c].reason.empty());
                for (int m : (*all)[c].members)
                    clusterOf[static_cast<size_t>(m)] = static_cast<int>(c);
            }
            for (const auto& c : *found)
                for (int m : c)
                    EXPECT_TRUE(clusterOf[static_cast<size_t>(m)] >= 0 &&
                                clusterOf[static_cast<size_t>(m)] ==
                                    clusterOf[static_cast<size_t>(c[0])])
                        << names[static_cast<size_t>(m)];
        }
    }
}

// Ruled-out names never share a cluster, also when another name links both.
TEST(FindClusters, RuledOutPairsStayApart) {
    const std::vector<std::string> names = {"Acme", "Acme Inc.", "Acme Corp.", "acme"};
    for (Method m : {Method::Suggested, Method::Core, Method::Fingerprint}) {
        const auto found = dedupe::findScored(names, {.method = m}, {{0, 1}, {3, 0}});
        ASSERT_TRUE(found);
        std::vector<dedupe::Cluster> clusters;
        for (const auto& f : *found)
            clusters.push_back(f.members);
        EXPECT_EQ(clusterText(clusters), m == Method::Fingerprint ? "" : "0 2")
            << static_cast<int>(m);
    }
}

TEST(FindClusters, CancelledBeforeStartUnlessWithoutProgress) {
    const std::vector<std::string> names = {"Penguin Books", "Penguin Books,"};
    for (Method m : {Method::Fingerprint, Method::NGram, Method::Stemmed, Method::Nearest,
                     Method::Suggested}) {
        dedupe::Progress progress;
        progress.cancel = true;
        const dedupe::Settings s{.method = m};
        EXPECT_FALSE(dedupe::findClusters(names, s, &progress));
        EXPECT_TRUE(dedupe::findClusters(names, s)); // no progress: never cancelled
    }
}

// A cancel set while the worker runs ends it early, without clusters.
TEST(FindClusters, CancelWhileRunningEndsEarly) {
    std::vector<std::string> names;
    for (int i = 0; i < 300000; ++i)
        names.push_back("Subject " + std::string(1, static_cast<char>('a' + i % 26)) +
                        std::to_string(i) + " -- History -- Zürich");
    dedupe::Progress progress;
    const dedupe::Settings s{.method = Method::Nearest, .radius = 2};
    std::optional<std::vector<dedupe::Cluster>> result;
    std::thread worker([&] { result = dedupe::findClusters(names, s, &progress); });
    while (progress.done.load() == 0)
        std::this_thread::yield();
    progress.cancel = true;
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_LT(progress.done.load(), progress.total.load());
}

} // namespace
