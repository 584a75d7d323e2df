// The duplicate finder's benchmark: each clustering method on the 200,000
// subjects of the million-item sample catalogue, timed, and scored against
// the generator's truth about the variants it planted:
//   - precision: the share of suggested pairs (two members of one cluster)
//     that are planted variants of one name;
//   - recall: the share of planted pairs that are suggested;
// and the recall of all methods (at their usual parameters) together.
// Times are medians of 3 runs. With --missed N, N planted pairs that no
// method suggests are printed, and N suggested pairs that are not planted.
//
// The catalogue and its truth are written once into the data folder: the
// first argument, else $ENGINE_BENCH_DIR, else bench-data in the build folder.
#include "clustering.h"
#include "engine.h"
#include "fingerprint.h"
#include "samplegen.h"
#include "timing.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;
using bench::Clock;
using bench::timeOf;

namespace {

std::uint64_t pairKey(int a, int b) {
    if (a > b)
        std::swap(a, b);
    return static_cast<std::uint64_t>(a) << 32 | static_cast<std::uint32_t>(b);
}

struct Subjects {
    std::vector<std::string> names;
    std::vector<std::int64_t> codes;
};

Subjects readSubjects(const std::string& path, const std::string& word = "Subject") {
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    auto rs = db->OpenTable(word + "s");
    Subjects s;
    for (; !rs->Eof(); rs->MoveNext()) {
        auto name = rs->Fields().Item(word + " Name").Value();
        s.codes.push_back(rs->Fields().Item(word + " Code").Value().ToLong());
        s.names.push_back(name.IsNull() ? std::string() : name.ToText());
    }
    return s;
}

// The planted pairs among the subjects, as pairs of indexes into names.
std::unordered_set<std::uint64_t> plantedPairs(const std::string& truth, const Subjects& s) {
    std::unordered_map<std::int64_t, int> indexOf;
    for (std::size_t i = 0; i < s.codes.size(); ++i)
        indexOf[s.codes[i]] = static_cast<int>(i);
    std::unordered_map<long, std::vector<int>> groups;
    std::ifstream in(truth);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string table;
        std::int64_t code = 0;
        long group = 0;
        if (fields >> table >> code >> group && table == "Subjects")
            groups[group].push_back(indexOf.at(code));
    }
    std::unordered_set<std::uint64_t> pairs;
    for (const auto& [g, members] : groups)
        for (std::size_t i = 0; i < members.size(); ++i)
            for (std::size_t j = i + 1; j < members.size(); ++j)
                pairs.insert(pairKey(members[i], members[j]));
    return pairs;
}

struct Run {
    const char* label;
    dedupe::Settings settings;
    bool usual;
};

} // namespace

int main(int argc, char** argv) {
    int missed = 0;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--missed") == 0 && i + 1 < argc)
            missed = std::atoi(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    const char* env = std::getenv("ENGINE_BENCH_DIR");
    fs::path dir = !args.empty() ? fs::path(args[0])
                   : env         ? fs::path(env)
                                 : fs::path(BENCH_DEFAULT_DIR);
    fs::create_directories(dir);
    const std::string catalogue = (dir / "Dedupe1M.M17").string();
    const std::string truth = (dir / "Dedupe1M.truth.tsv").string();
    if (!fs::exists(catalogue) || !fs::exists(truth)) {
        fs::remove(catalogue);
        samplegen::Options o;
        o.items = 1000000;
        o.subjects = 200000;
        o.publishers = 20000;
        o.types = 40;
        o.truthPath = truth;
        double t = timeOf([&] { samplegen::WriteSampleCatalogue(catalogue, o); });
        std::printf("wrote %s and its truth in %.1f s\n", catalogue.c_str(), t);
    }
    double load[3] = {};
    getloadavg(load, 3);
    auto subjects = readSubjects(catalogue);
    auto planted = plantedPairs(truth, subjects);
    std::printf("%zu subjects, %zu planted pairs; load average %.2f\n", subjects.names.size(),
                planted.size(), load[0]);

    auto median3 = [](const std::function<void()>& work) {
        double t[3] = {timeOf(work), timeOf(work), timeOf(work)};
        std::sort(t, t + 3);
        return t[1];
    };
    double fpTime = median3([&] {
        std::string out;
        for (const auto& n : subjects.names)
            dedupe::fingerprintInto(n, out);
    });

    using dedupe::Method;
    const dedupe::Settings suggested{.method = Method::Suggested, .headings = true};
    const Run runs[] = {
        {"suggested", suggested, false},
        {"core name", {.method = Method::Core, .headings = true}, false},
        {"similar words, 70 %", {.method = Method::Words, .headings = true}, false},
        {"acronym", {.method = Method::Acronym, .headings = true}, false},
        {"fingerprint", {Method::Fingerprint, 2, 1}, true},
        {"n-gram fingerprint, n = 2", {Method::NGram, 2, 1}, true},
        {"stemmed fingerprint", {Method::Stemmed, 2, 1}, true},
        {"nearest neighbours, radius 1", {Method::Nearest, 2, 1}, true},
        {"n-gram fingerprint, n = 1", {Method::NGram, 1, 1}, false},
        {"n-gram fingerprint, n = 3", {Method::NGram, 3, 1}, false},
        {"nearest neighbours, radius 2", {Method::Nearest, 2, 2}, false},
        {"nearest neighbours, radius 3", {Method::Nearest, 2, 3}, false},
    };
    std::unordered_set<std::uint64_t> together, firstRun;
    double usualTime = 0;
    std::printf("\n| Method | Time (s) | Clusters | Suggested pairs | Precision | Recall | "
                "Precision of the checked |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& r : runs) {
        std::vector<dedupe::Found> clusters;
        double t = median3([&] { clusters = *dedupe::findScored(subjects.names, r.settings); });
        std::unordered_set<std::uint64_t> suggested, checked;
        for (const auto& f : clusters) {
            const auto& c = f.members;
            for (std::size_t i = 0; i < c.size(); ++i)
                for (std::size_t j = i + 1; j < c.size(); ++j) {
                    suggested.insert(pairKey(c[i], c[j]));
                    if (f.certainty >= dedupe::SureCertainty)
                        checked.insert(pairKey(c[i], c[j]));
                }
        }
        std::size_t hits = 0, checkedHits = 0;
        for (auto p : suggested)
            hits += planted.count(p);
        for (auto p : checked)
            checkedHits += planted.count(p);
        if (firstRun.empty())
            firstRun = suggested;
        if (r.usual) {
            usualTime += t;
            together.insert(suggested.begin(), suggested.end());
        }
        std::printf("| %s | %.3f | %zu | %zu | %.3f | %.3f | %.3f |\n", r.label, t, clusters.size(),
                    suggested.size(),
                    suggested.empty() ? 1.0 : double(hits) / double(suggested.size()),
                    double(hits) / double(planted.size()),
                    checked.empty() ? 1.0 : double(checkedHits) / double(checked.size()));
    }
    std::size_t hits = 0;
    for (auto p : together)
        hits += planted.count(p);
    std::printf("| all four at their usual parameters | %.3f | | %zu | %.3f | %.3f |\n", usualTime,
                together.size(), double(hits) / double(together.size()),
                double(hits) / double(planted.size()));
    std::printf("\nfingerprint() alone on every name: %.3f s\n", fpTime);
    const auto publishers = readSubjects(catalogue, "Publisher");
    const dedupe::Settings onPublishers{.method = Method::Suggested};
    std::printf("suggested run on the %zu publishers: %.3f s\n", publishers.names.size(),
                median3([&] { (void)dedupe::findScored(publishers.names, onPublishers); }));

    if (missed > 0) {
        auto show = [&](std::uint64_t p) {
            const auto& a = subjects.names[p >> 32];
            const auto& b = subjects.names[p & 0xFFFFFFFF];
            std::printf("  [%s]  [%s]   {%s} {%s}\n", a.c_str(), b.c_str(),
                        dedupe::fingerprint(a).c_str(), dedupe::fingerprint(b).c_str());
        };
        std::printf("\nplanted pairs that no method suggests:\n");
        int n = 0;
        for (auto p : planted)
            if (!together.count(p) && n++ < missed)
                show(p);
        std::printf("\nplanted pairs that the suggested run leaves:\n");
        n = 0;
        for (auto p : planted)
            if (!firstRun.count(p) && n++ < missed)
                show(p);
        std::printf("\nsuggested pairs that are not planted:\n");
        n = 0;
        for (auto p : together)
            if (!planted.count(p) && n++ < missed)
                show(p);
    }
    return 0;
}
