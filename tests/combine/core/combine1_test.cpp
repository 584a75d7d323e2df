// Tests of the version check: only the exact marker of the first FILEINFO
// record passes; the file is left as it was, with nothing open on it.
#include "combine1.h"
#include "samplegen.h"
#include "support.h"

#include <filesystem>
#include <optional>

using namespace testsupport;

namespace {

// Descriptors of this process open on the file at path.
int openOn(const std::string& path) {
    int n = 0;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
        n += std::filesystem::read_symlink(fd.path(), ec) == path;
    return n;
}

TEST(CheckCatalogueVersion, ExactMarkerOnlyAndFileUntouched) {
    enum Kind { Catalogue, TextFile, NoFile };
    const std::optional<std::string> good = "Mervane 1.7";
    // clang-format off
    const struct { Kind kind; std::optional<std::string> product; const char* sql; bool expected; }
    rows[] = {
        {Catalogue, good, "", true}, {Catalogue, "Mervane 1.5", "", false},
        {Catalogue, "mervane 1.7", "", false}, {Catalogue, "Mervane 1.7 ", "", false},
        {Catalogue, std::nullopt, "", false}, {TextFile, good, "", false},
        {NoFile, good, "", false}, {Catalogue, good, "DELETE FROM [FILEINFO]", false},
        {Catalogue, good, "DROP TABLE [FILEINFO]", false},
        {Catalogue, good, "ALTER TABLE [FILEINFO] RENAME COLUMN [Product Name] TO [Product]", false},
        {Catalogue, good, "INSERT INTO [FILEINFO] ([Product Name]) VALUES ('x')", true},
        {Catalogue, "x", "INSERT INTO [FILEINFO] ([Product Name]) VALUES ('Mervane 1.7')", false}};
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.kind << " " << r.product.value_or("(Null)") << r.sql);
        TempDir dir("version");
        const std::string path = dir / "Test.M17";
        if (r.kind == Catalogue) {
            auto db = samplegen::CreateCatalogue(path, r.product);
            if (*r.sql)
                db->Execute(r.sql);
            db->Close();
        } else if (r.kind == TextFile) {
            writeFile(path, std::string(4096, 'x'));
        }
        const std::string before = readFile(path);
        const std::set<std::string> names = dir.names();
        EXPECT_EQ(CheckCatalogueVersion(path), r.expected);
        EXPECT_EQ(readFile(path), before);
        EXPECT_EQ(dir.names(), names);
        EXPECT_EQ(openOn(path), 0) << "left open";
    }
}

} // namespace
