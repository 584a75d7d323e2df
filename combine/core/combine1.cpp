// The catalogue variables and the version check.
#include "combine1.h"

std::unique_ptr<engine::Database> dbCatalogue;
std::unique_ptr<engine::Recordset> rsFileInfo;
std::unique_ptr<engine::Recordset> rsSubjects;
std::unique_ptr<engine::Recordset> rsTypes;
std::unique_ptr<engine::Recordset> rsPublishers;

bool CheckCatalogueVersion(const std::string& path) {
    bool result = true;

    std::unique_ptr<engine::Database> db;
    try {
        db = engine::DatabaseEngine().OpenDatabase(path);
    } catch (const engine::Error&) {
        return false;
    }

    // Each step below turns its failure into a refusal and carries on, so
    // that the database is closed whatever happened.
    std::unique_ptr<engine::Recordset> rs;
    try {
        rs = db->OpenTable(catalogue::InfoTable);
        rs->MoveFirst();
    } catch (const engine::Error&) {
        result = false;
    }

    if (result) {
        try {
            const engine::Variant value = rs->Fields().Item("Product Name").Value();
            if (value.IsNull() || !value.IsText() || value.ToText() != catalogue::ProductVersion)
                result = false;
        } catch (const engine::Error&) {
            // A marker that cannot be read is no marker.
            result = false;
        }
    }

    if (rs) {
        try {
            rs->Close();
        } catch (const engine::Error&) {
        }
        rs.reset();
    }

    db->Close();
    db.reset();
    return result;
}
