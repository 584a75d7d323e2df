// Tests of the items behind an entry: each item once, in key order across
// pages, every field under its name, and the count.
#include "catalogues.h"
#include "itemrows.h"
#include "support.h"

#include <algorithm>

using namespace testsupport;

namespace {

TEST(ItemRows, EachItemOnceInKeyOrderAcrossPages) {
    TempDir dir{"itemrows"};
    // Items are numbered 1 to 7 in this order.
    // clang-format off
    const std::string path = writeCatalogue(dir / "Books.M17",
        {{12, "Computers"}, {4, "Art"}}, {{1, "Penguin"}, {2, "Virago"}}, {{1, "Book"}},
        {{12, 12, 1, 1}, {4, -1, 2, 1}, {-1, 12, 2, 1}, {12, 4, 1, 1}, {4, 4, 1, 1},
         {12, -1, 2, 1}, {-1, -1, 1, 1}},
        {"ALTER TABLE [MERVANE RECORDS] ADD COLUMN [Shelf] TEXT",
         "UPDATE [MERVANE RECORDS] SET [Shelf] = 'S' || [Item Number] WHERE [Item Number] > 1"});
    // clang-format on
    auto db = engine::DatabaseEngine().OpenDatabase(path);
    std::vector<std::string> columns = catalogue::ItemFields();
    columns.push_back("Shelf");
    const auto at = [&](const std::string& name) {
        return static_cast<size_t>(std::ranges::find(columns, name) - columns.begin());
    };
    const struct {
        int category, code, pageSize;
        std::vector<long long> keys;
    } rows[] = {{0, 12, 2, {1, 3, 4, 6}}, {0, 12, 1, {1, 3, 4, 6}}, {0, 4, 3, {2, 4, 5}},
                {0, 4, 5, {2, 4, 5}},     {1, 2, 2, {2, 3, 6}},     {0, 99, 2, {}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(&r - rows));
        itemrows::ItemPages pages(*db, *catalogue::CategoryAt(r.category), r.code, r.pageSize);
        EXPECT_EQ(pages.columns(), columns);
        EXPECT_EQ(pages.count(), static_cast<long long>(r.keys.size()));
        std::vector<long long> keys;
        for (int n = 0; !pages.atEnd() && n < 10; ++n) {
            const std::vector<itemrows::Row> page = pages.next();
            EXPECT_LE(page.size(), static_cast<size_t>(r.pageSize));
            for (const itemrows::Row& row : page) {
                ASSERT_EQ(row.size(), columns.size());
                const long long key = std::stoll(row[at("Item Number")].value());
                keys.push_back(key);
                EXPECT_EQ(row[at("Shelf")],
                          key > 1 ? std::optional("S" + std::to_string(key)) : std::nullopt);
            }
        }
        EXPECT_TRUE(pages.atEnd());
        EXPECT_TRUE(pages.next().empty());
        EXPECT_EQ(keys, r.keys);
    }
}

} // namespace
