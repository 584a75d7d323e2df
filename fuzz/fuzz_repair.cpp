// Fuzz target: arbitrary bytes as a damaged catalogue, repaired in place and
// then compacted into a new file. A reported success must leave a file that
// SQLite's integrity check passes; a refusal must be the engine's error; no
// file other than the two named ones may be left in the folder.
#include "catalogue.h"
#include "common.h"

#include <cstdint>
#include <functional>

namespace {

bool attempt(const std::function<void()>& operation) {
    try {
        operation();
        return true;
    } catch (const engine::Error& e) {
        if (e.Number() <= 0 || e.Text().empty())
            fuzzsupport::fail("an error without a number or a text");
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = fuzzsupport::workFolder();
    const std::string path = folder + "/damaged.M17";
    const std::string compacted = folder + "/compacted.M17";
    fuzzsupport::writeBytes(path, data, size);
    engine::DBEngine& dbe = engine::DatabaseEngine();

    if (attempt([&] { dbe.RepairDatabase(path, catalogue::RebuildLayout()); })) {
        std::string verdict = fuzzsupport::integrity(path);
        if (verdict != "ok")
            fuzzsupport::fail("repair reported success, integrity check says: " + verdict);
        // The input's size picks the format, so that both get their share.
        long options =
            engine::opt::Decrypt + (size % 2 ? engine::opt::Version20 : engine::opt::Version40);
        if (attempt(
                [&] { dbe.CompactDatabase(path, compacted, engine::GeneralLocale, options); })) {
            verdict = fuzzsupport::integrity(compacted);
            if (verdict != "ok")
                fuzzsupport::fail("compaction reported success, integrity check says: " + verdict);
        }
    }
    std::string stray = fuzzsupport::strayFiles({"damaged.M17", "compacted.M17"});
    if (!stray.empty())
        fuzzsupport::fail("files left behind:" + stray);
    fuzzsupport::removeWithSidecars(path);
    fuzzsupport::removeWithSidecars(compacted);
    return 0;
}
