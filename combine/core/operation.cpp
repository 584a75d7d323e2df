// The one place that changes the open catalogue.
#include "operation.h"

namespace {

// What an undo or a redo of step changed: references moved in its category.
CatalogueChange movedIn(const history::StepInfo& step, std::vector<history::Moved> moved) {
    CatalogueChange change;
    const catalogue::Category* category = catalogue::CategoryOfWord(step.category);
    change.comboIndex = category ? category->comboIndex : -1;
    change.moved = std::move(moved);
    return change;
}

} // namespace

CatalogueChange CatalogueOperation::Combine(const catalogue::Category& category,
                                            const std::vector<history::Merge>& merges) {
    engine::Transaction transaction(db_);
    history::Combine(db_, category, merges);
    transaction.Commit();
    CatalogueChange change;
    change.comboIndex = category.comboIndex;
    for (const history::Merge& m : merges)
        change.merged.push_back({m.codes, m.target()});
    return change;
}

CatalogueChange CatalogueOperation::Undo(const history::StepInfo& step,
                                         history::UndoOutcome& outcome) {
    engine::Transaction transaction(db_);
    outcome = history::Undo(db_, step);
    transaction.Commit();
    return movedIn(step, outcome.moved);
}

CatalogueChange CatalogueOperation::Redo(const history::StepInfo& step,
                                         history::RedoOutcome& outcome) {
    engine::Transaction transaction(db_);
    outcome = history::Redo(db_, step);
    transaction.Commit();
    return movedIn(step, outcome.moved);
}

CatalogueChange CatalogueOperation::Rename(const catalogue::Category& category, std::int32_t code,
                                           const std::string& newName) {
    engine::Transaction transaction(db_);
    history::Rename(db_, category, code, newName);
    transaction.Commit();
    CatalogueChange change;
    change.comboIndex = category.comboIndex;
    change.renamed = code;
    return change;
}

CatalogueChange CatalogueOperation::DeleteUnused(const catalogue::Category& category,
                                                 const std::vector<std::int32_t>& codes,
                                                 history::DeleteOutcome& outcome) {
    engine::Transaction transaction(db_);
    outcome = history::DeleteUnused(db_, category, codes);
    transaction.Commit();
    CatalogueChange change;
    change.comboIndex = category.comboIndex;
    return change;
}

CatalogueChange CatalogueOperation::ClearRepeated(history::ClearOutcome& outcome) {
    engine::Transaction transaction(db_);
    outcome = history::ClearRepeated(db_);
    transaction.Commit();
    CatalogueChange change;
    change.comboIndex = catalogue::CategoryOfWord("Subject")->comboIndex;
    change.moved = outcome.moved;
    return change;
}

void CatalogueOperation::Forget() {
    engine::Transaction transaction(db_);
    history::Forget(db_);
    transaction.Commit();
}

void CatalogueOperation::RuleOut(const catalogue::Category& category,
                                 const std::vector<ruledout::Pair>& pairs) {
    engine::Transaction transaction(db_);
    ruledout::Add(db_, category, pairs);
    transaction.Commit();
}

void CatalogueOperation::TakeBack(const catalogue::Category& category,
                                  const std::vector<ruledout::Pair>& pairs) {
    engine::Transaction transaction(db_);
    ruledout::Remove(db_, category, pairs);
    transaction.Commit();
}
