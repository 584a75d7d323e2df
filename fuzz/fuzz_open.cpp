// Fuzz target: arbitrary bytes as a catalogue file, through the version
// check, a read-only open and a walk over every field of every table. Each
// step either succeeds or raises the engine's error with a number and a text.
#include "combine1.h"
#include "common.h"
#include "engine.h"

#include <cstdint>

namespace {

void expectClear(const engine::Error& e) {
    if (e.Number() <= 0 || e.Text().empty())
        fuzzsupport::fail("an error without a number or a text");
}

void walk(engine::Database& db) {
    for (const std::string& name : db.TableNames()) {
        try {
            std::unique_ptr<engine::Recordset> rs = db.OpenTable(name);
            int fields = rs->Fields().Count();
            // Bounded, so that a huge table cannot turn a run into a hang.
            for (int row = 0; row < 10000 && !rs->Eof(); ++row) {
                for (int i = 0; i < fields; ++i) {
                    engine::Field f = rs->Fields().Item(i);
                    if (rs->Fields().Item(f.Name()).Name() != f.Name())
                        fuzzsupport::fail("a field is not found under its own name");
                    (void)f.Value().ToText();
                }
                rs->MoveNext();
            }
            rs->Close();
        } catch (const engine::Error& e) {
            expectClear(e);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzsupport::workFolder() + "/input.M17";
    fuzzsupport::writeBytes(path, data, size);
    try {
        (void)CheckCatalogueVersion(path);
    } catch (const engine::Error& e) {
        expectClear(e);
    }
    try {
        std::unique_ptr<engine::Database> db =
            engine::DatabaseEngine().OpenDatabase(path, false, true);
        walk(*db);
        db->Close();
    } catch (const engine::Error& e) {
        expectClear(e);
    }
    fuzzsupport::removeWithSidecars(path);
    std::string stray = fuzzsupport::strayFiles({});
    if (!stray.empty())
        fuzzsupport::fail("files left behind:" + stray);
    return 0;
}
