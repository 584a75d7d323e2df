// The duplicate finder on real names: each method and the suggested run on the
// publishers and subjects of a catalogue built from real bibliographic
// records, scored against labels that say which names are one entity
// ("same": every pair of a group should share a cluster) and which only look
// alike ("apart": the pair must not). Names are compared byte for byte.
//
//   bench_realnames CATALOGUE LABELS.json [LABELS.json ...] [--missed]
//
// With --missed, the suggested run's missed "same" pairs and joined "apart"
// pairs are printed with the reason that joined them.
#include "catalogue.h"
#include "clustering.h"
#include "engine.h"
#include "timing.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Pair = std::pair<std::string, std::string>;

struct Labels {
    std::set<Pair> same, apart;
};

Pair ordered(std::string a, std::string b) {
    if (b < a)
        std::swap(a, b);
    return {a, b};
}

// Adds the labels of one file: per category word ("Publishers", "Subjects"),
// groups of names that are one entity and pairs that are not.
void readLabels(const char* path, std::map<std::string, Labels>& out) {
    QFile f(QString::fromLocal8Bit(path));
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(1);
    }
    const QJsonObject all = QJsonDocument::fromJson(f.readAll()).object();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (!it.value().isObject())
            continue;
        Labels& l = out[it.key().toStdString()];
        const QJsonObject o = it.value().toObject();
        for (const auto& g : o.value("same").toArray()) {
            const QJsonArray names = g.toArray();
            for (qsizetype i = 0; i < names.size(); ++i)
                for (qsizetype j = i + 1; j < names.size(); ++j)
                    l.same.insert(ordered(names[i].toString().toStdString(),
                                          names[j].toString().toStdString()));
        }
        for (const auto& p : o.value("apart").toArray())
            l.apart.insert(ordered(p.toArray()[0].toString().toStdString(),
                                   p.toArray()[1].toString().toStdString()));
    }
}

std::vector<std::string> readNames(engine::Database& db, const catalogue::Category& c) {
    auto rs = db.OpenTable(c.table);
    std::vector<std::string> names;
    for (; !rs->Eof(); rs->MoveNext()) {
        auto v = rs->Fields().Item(c.nameField).Value();
        names.push_back(v.IsNull() ? std::string() : v.ToText());
    }
    return names;
}

struct Score {
    int sameHit = 0, sameAll = 0, apartHit = 0, apartAll = 0;
    std::vector<std::string> missed, joined;
};

Score score(const std::vector<std::string>& names, const std::vector<dedupe::Found>& found,
            const Labels& l) {
    std::unordered_map<std::string, std::vector<int>> clusterOf; // name -> clusters
    for (size_t c = 0; c < found.size(); ++c)
        for (int m : found[c].members)
            clusterOf[names[static_cast<size_t>(m)]].push_back(static_cast<int>(c));
    auto together = [&](const Pair& p) -> int {
        for (int a : clusterOf[p.first])
            for (int b : clusterOf[p.second])
                if (a == b)
                    return a;
        return -1;
    };
    Score s;
    for (const Pair& p : l.same) {
        ++s.sameAll;
        if (together(p) >= 0)
            ++s.sameHit;
        else
            s.missed.push_back("[" + p.first + "]  [" + p.second + "]");
    }
    for (const Pair& p : l.apart) {
        ++s.apartAll;
        if (int c = together(p); c >= 0) {
            ++s.apartHit;
            s.joined.push_back("[" + p.first + "]  [" + p.second + "]  (" +
                               found[static_cast<size_t>(c)].reason + ")");
        }
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<const char*> files;
    bool missed = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--missed") == 0)
            missed = true;
        else
            files.push_back(argv[i]);
    }
    if (files.size() < 2) {
        std::fprintf(stderr, "usage: bench_realnames CATALOGUE LABELS.json [LABELS.json ...] "
                             "[--missed]\n");
        return 2;
    }
    std::map<std::string, Labels> labels;
    for (size_t i = 1; i < files.size(); ++i)
        readLabels(files[i], labels);
    auto db = engine::DatabaseEngine().OpenDatabase(files[0], false, true);

    using dedupe::Method;
    struct Run {
        const char* label;
        dedupe::Settings settings;
    };
    const Run runs[] = {
        {"suggested", {Method::Suggested}},
        {"core name", {Method::Core}},
        {"similar words, 70 %", {Method::Words}},
        {"acronym", {Method::Acronym}},
        {"fingerprint", {Method::Fingerprint}},
        {"n-gram fingerprint, n = 2", {Method::NGram}},
        {"stemmed fingerprint", {Method::Stemmed}},
        {"nearest neighbours, radius 1", {Method::Nearest}},
    };
    for (const catalogue::Category* c :
         {catalogue::CategoryOfWord("Publisher"), catalogue::CategoryOfWord("Subject")}) {
        const std::vector<std::string> names = readNames(*db, *c);
        const Labels& l = labels[c->table];
        std::printf("\n%s: %zu names, %zu \"same\" pairs, %zu \"apart\" pairs\n\n",
                    c->table.c_str(), names.size(), l.same.size(), l.apart.size());
        std::printf("| Method | Time (ms) | Clusters | Checked | \"Same\" pairs found | Recall | "
                    "\"Apart\" pairs joined |\n|---|---:|---:|---:|---:|---:|---:|\n");
        for (Run r : runs) {
            r.settings.headings = c->word == "Subject";
            std::vector<dedupe::Found> found;
            const double t = bench::timeOf([&] { found = *dedupe::findScored(names, r.settings); });
            const Score s = score(names, found, l);
            int checked = 0;
            for (const auto& f : found)
                checked += f.certainty >= dedupe::SureCertainty;
            std::printf("| %s | %.1f | %zu | %d | %d of %d | %.3f | %d of %d |\n", r.label,
                        t * 1000, found.size(), checked, s.sameHit, s.sameAll,
                        s.sameAll ? double(s.sameHit) / s.sameAll : 1.0, s.apartHit, s.apartAll);
            if (missed && r.settings.method == Method::Suggested) {
                for (const auto& m : s.missed)
                    std::printf("  missed: %s\n", m.c_str());
                for (const auto& j : s.joined)
                    std::printf("  joined: %s\n", j.c_str());
            }
        }
    }
    return 0;
}
