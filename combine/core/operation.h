// The one place that changes the open catalogue: each operation runs in one
// transaction (the change, its record in the combine history, the commit)
// and returns what changed, for the window to show.
#pragma once

#include "catalogue.h"
#include "engine.h"
#include "history.h"
#include "ruledout.h"

#include <cstdint>
#include <string>
#include <vector>

// What one committed operation changed in the entries of a category.
struct CatalogueChange {
    // Codes merged into a target (-1: their references were cleared).
    struct Merged {
        std::vector<std::int32_t> codes;
        std::int32_t target = -1;
    };
    int comboIndex = -1;               // the category's place in the category list
    std::vector<Merged> merged;        // a combine
    std::vector<history::Moved> moved; // an undo or a redo: references moved
    std::int32_t renamed = -1;         // a rename: the entry's code
};

// Runs operations on an open catalogue. Each raises the engine's errors
// (HistoryDamaged among them); the catalogue is then left exactly as it was.
class CatalogueOperation {
public:
    explicit CatalogueOperation(engine::Database& db) : db_(db) {}

    // Combines each merge of category, recorded in the history where the
    // catalogue keeps one.
    CatalogueChange Combine(const catalogue::Category& category,
                            const std::vector<history::Merge>& merges);

    // Undoes a recorded step; outcome receives what the undo did.
    CatalogueChange Undo(const history::StepInfo& step, history::UndoOutcome& outcome);

    // Applies an undone step again; outcome receives what the redo did.
    CatalogueChange Redo(const history::StepInfo& step, history::RedoOutcome& outcome);

    // Gives an entry of category a new name, recorded where the catalogue
    // keeps a history.
    CatalogueChange Rename(const catalogue::Category& category, std::int32_t code,
                           const std::string& newName);

    // Deletes the entries of category with codes that are still unused, in
    // one step recorded like a combine; outcome receives what it did.
    CatalogueChange DeleteUnused(const catalogue::Category& category,
                                 const std::vector<std::int32_t>& codes,
                                 history::DeleteOutcome& outcome);

    // Clears the second subject of the items that repeat the first there,
    // in one step recorded like a combine; outcome receives what it did.
    CatalogueChange ClearRepeated(history::ClearOutcome& outcome);

    // Empties the combine history.
    void Forget();

    // Records pairs of category's entries as not duplicates, or takes such
    // rulings back. The catalogue's own tables stay as they are.
    void RuleOut(const catalogue::Category& category, const std::vector<ruledout::Pair>& pairs);
    void TakeBack(const catalogue::Category& category, const std::vector<ruledout::Pair>& pairs);

private:
    engine::Database& db_;
};
