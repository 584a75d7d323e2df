// Tests of the duplicate finder's fingerprint and clustering methods: the
// kinds of variation found in catalogues, names that must stay apart, and
// cancelling a run from another thread.
#include "clustering.h"
#include "fingerprint.h"

#include <QtTest>

#include <algorithm>
#include <thread>

using dedupe::Method;

Q_DECLARE_METATYPE(Method)

namespace {

// Each "?" as U+FFFD, the mark a mis-decoded name holds.
QByteArray fffd(QByteArray s) {
    return s.replace("?", "\xEF\xBF\xBD");
}

// Clusters written as "0 1|2 3", members ascending, clusters sorted; each
// cluster is checked to be ascending and of two names or more.
QString clusterText(const std::vector<dedupe::Cluster>& clusters) {
    QStringList parts;
    for (const auto& c : clusters) {
        if (c.size() < 2 || !std::is_sorted(c.begin(), c.end()))
            return "malformed cluster";
        QStringList members;
        for (int i : c)
            members << QString::number(i);
        parts << members.join(' ');
    }
    parts.sort();
    return parts.join('|');
}

} // namespace

class TestDedupe : public QObject {
    Q_OBJECT
private slots:
    void fingerprint_data();
    void fingerprint();
    void digitKey_data();
    void digitKey();
    void editDistance_data();
    void editDistance();
    void clusters_data();
    void clusters();
    void cancelBeforeStart();
    void cancelWhileRunning();
};

void TestDedupe::fingerprint_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("key");
    auto row = [](const char* tag, const QByteArray& name, const char* key) {
        QTest::newRow(tag) << name << QByteArray(key);
    };
    row("trailing comma", "Penguin Books,", "books penguin");
    row("ISBD colon", "Harper & Row, :", "and harper row");
    row("ISBD semicolon", "Methuen ;", "methuen");
    row("full stop", "Macmillan.", "macmillan");
    row("brackets", "[Methuen]", "methuen");
    row("bracketed s.n.", "[s.n.]", "n s");
    row("macrons", "Tōkyō Daigaku Shuppankai", "daigaku shuppankai tokyo");
    row("modifier letter", "Dār al-Maʻārif", "al dar maarif");
    row("replacement characters", fffd("D??r al-Ma??rif"), "al dr marif");
    row("decomposed accent", "Cafe\xCC\x81", "cafe");
    row("sharp s", "Straße", "strasse");
    row("Cyrillic", "Москва", "moskva");
    row("case", "COMPUTERS", "computers");
    row("blanks", "  Penguin   Books ", "books penguin");
    row("word order, repeats", "Gallimard, Éditions Gallimard", "editions gallimard");
    row("apostrophe", "O'Reilly & Associates", "and associates oreilly");
    row("hyphen", "Addison-Wesley", "addison wesley");
    row("numbers kept", "World War, 1914-1918", "1914 1918 war world");
    row("empty", "", "");
    row("punctuation only", " [ ; ] ", "");
    row("truncated UTF-8", "Caf\xC3", "caf");
    row("stray continuation byte", "Caf\xA9 Bar", "bar caf");
}

void TestDedupe::fingerprint() {
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, key);
    QCOMPARE(QByteArray::fromStdString(dedupe::fingerprint(name.toStdString())), key);
    // The same key from the buffer-reusing form, over a buffer that held text.
    std::string out = "left over";
    dedupe::fingerprintInto(name.toStdString(), out);
    QCOMPARE(QByteArray::fromStdString(out), key);
}

void TestDedupe::digitKey_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("digits");
    QTest::newRow("none") << "Chemistry"
                          << "";
    QTest::newRow("one") << "Chemistry 2"
                         << "2";
    QTest::newRow("sorted, once") << "1918 1914 -- 1914"
                                  << "1914 1918";
    QTest::newRow("inside words") << "3rd ed, vol2"
                                  << "2 3";
}

void TestDedupe::digitKey() {
    QFETCH(QString, name);
    QFETCH(QString, digits);
    auto fp = dedupe::fingerprint(name.toStdString());
    QCOMPARE(QString::fromStdString(dedupe::digitKey(fp)), digits);
}

void TestDedupe::editDistance_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("distance");
    QTest::newRow("equal") << "history"
                           << "history" << 1 << 0;
    QTest::newRow("swap") << "history"
                          << "histroy" << 3 << 1;
    QTest::newRow("swap and drop") << "history"
                                   << "hstiory" << 3 << 2;
    QTest::newRow("classic") << "kitten"
                             << "sitting" << 3 << 3;
    QTest::newRow("over the limit") << "kitten"
                                    << "sitting" << 2 << 3;
    QTest::newRow("length alone") << ""
                                  << "abcd" << 2 << 3;
    QTest::newRow("insertion") << "gardening"
                               << "gardenning" << 1 << 1;
}

void TestDedupe::editDistance() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, limit);
    QFETCH(int, distance);
    QCOMPARE(dedupe::boundedEditDistance(a.toStdString(), b.toStdString(), limit), distance);
    QCOMPARE(dedupe::boundedEditDistance(b.toStdString(), a.toStdString(), limit), distance);
}

void TestDedupe::clusters_data() {
    QTest::addColumn<Method>("method");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QString>("expected");

    const QByteArrayList punctuation = {"Penguin Books,", "penguin  books", "[Penguin Books] :",
                                        "Penguin Bks.",   "Methuen ;",      "Methuen"};
    const QByteArrayList twins = {"Dār al-Maʻārif", fffd("D??r al-Ma??rif"),
                                  "Dar al-Maarif",  "Müller",
                                  "Möller",         fffd("M??ller")};
    const QByteArrayList numbers = {"Chemistry 1",
                                    "Chemistry 2",
                                    "World War, 1914-1918",
                                    "World War, 1939-1945",
                                    "History -- 18th century",
                                    "History -- 19th century"};
    const QByteArrayList apart = {
        "History -- France", "History -- Spain", "Physics", "Poetry", "CD", "DVD"};
    struct Row {
        const char* tag;
        Method method;
        int parameter;
        QByteArrayList names;
        const char* expected;
    };
    const Row rows[] = {
        {"fingerprint: punctuation, case, blanks", Method::Fingerprint, 0, punctuation,
         "0 1 2|4 5"},
        {"fingerprint: mis-decoded twins", Method::Fingerprint, 0, twins, "0 1 2"},
        {"n-gram: joined and split words",
         Method::NGram,
         2,
         {"Videocassette", "Video cassette", "Video-cassettes", "Audio cassette"},
         "0 1"},
        {"n-gram 3: twins too", Method::NGram, 3, twins, "0 1 2"},
        {"stemmed: plurals, -ing, abbreviations",
         Method::Stemmed,
         0,
         {"Biography", "Biographies", "Gardening", "Garden", "Penguin Books", "Penguin Bks.",
          "Oxford University Press", "Oxford Univ. Press"},
         "0 1|2 3|4 5|6 7"},
        {"nearest 1: typing errors",
         Method::Nearest,
         1,
         {"Histroy", "History", "Gardenning", "Gardening", "Adison-Wesley", "Addison Wesley",
          "Zoology"},
         "0 1|2 3|4 5"},
        {"nearest 2: two letters lost",
         Method::Nearest,
         2,
         {"Dār al-Maʻārif", "Dr al-Marif", "Penguin Books", "Penguin Bks."},
         "0 1|2 3"},
        {"nearest 1: one edit only", Method::Nearest, 1, {"Penguin Books", "Penguin Bks."}, ""},
    };
    for (const auto& r : rows)
        QTest::newRow(r.tag) << r.method << r.parameter << r.names << QString(r.expected);
    // Names that must stay apart, under every method at its loosest.
    for (auto [tag, method, parameter] : {std::tuple{"fingerprint", Method::Fingerprint, 0},
                                          {"n-gram 1", Method::NGram, 1},
                                          {"stemmed", Method::Stemmed, 0},
                                          {"nearest 3", Method::Nearest, 3}}) {
        QTest::addRow("%s: numbers apart", tag) << method << parameter << numbers << QString();
        QTest::addRow("%s: words apart", tag) << method << parameter << apart << QString();
    }
}

void TestDedupe::clusters() {
    QFETCH(Method, method);
    QFETCH(int, parameter);
    QFETCH(QByteArrayList, names);
    QFETCH(QString, expected);
    std::vector<std::string> list;
    for (const auto& n : names)
        list.push_back(n.toStdString());
    dedupe::Settings s;
    s.method = method;
    s.ngram = parameter;
    s.radius = parameter;
    dedupe::Progress progress;
    auto found = dedupe::findClusters(list, s, &progress);
    QVERIFY(found);
    QCOMPARE(clusterText(*found), expected);
    QCOMPARE(progress.done.load(), progress.total.load());
}

void TestDedupe::cancelBeforeStart() {
    std::vector<std::string> names = {"Penguin Books", "Penguin Books,"};
    for (Method m : {Method::Fingerprint, Method::NGram, Method::Stemmed, Method::Nearest}) {
        dedupe::Progress progress;
        progress.cancel = true;
        dedupe::Settings s;
        s.method = m;
        QVERIFY(!dedupe::findClusters(names, s, &progress));
        QVERIFY(dedupe::findClusters(names, s)); // no progress: never cancelled
    }
}

// A cancel set while the worker runs ends it early, without clusters.
void TestDedupe::cancelWhileRunning() {
    std::vector<std::string> names;
    for (int i = 0; i < 300000; ++i)
        names.push_back("Subject " + std::string(1, static_cast<char>('a' + i % 26)) +
                        std::to_string(i) + " -- History -- Zürich");
    dedupe::Progress progress;
    dedupe::Settings s;
    s.method = Method::Nearest;
    s.radius = 2;
    std::optional<std::vector<dedupe::Cluster>> result;
    std::thread worker([&] { result = dedupe::findClusters(names, s, &progress); });
    while (progress.done.load() == 0)
        std::this_thread::yield();
    progress.cancel = true;
    worker.join();
    QVERIFY(!result);
    QVERIFY(progress.done.load() < progress.total.load());
}

QTEST_APPLESS_MAIN(TestDedupe)
#include "dedupe_test.moc"
