// The open catalogue, held for the whole run, and the check that a file is a
// catalogue of the supported product version.
#pragma once

#include "catalogue.h"

#include <memory>
#include <string>

// The open catalogue: set together when a catalogue is opened, closed and
// emptied together when the window unloads. Empty at start.
extern std::unique_ptr<engine::Database> dbCatalogue;
extern std::unique_ptr<engine::Recordset> rsFileInfo;
extern std::unique_ptr<engine::Recordset> rsSubjects;
extern std::unique_ptr<engine::Recordset> rsTypes;
extern std::unique_ptr<engine::Recordset> rsPublishers;

// True when the file at path opens (shared) and the "Product Name" of the
// first record of its FILEINFO table is exactly ProductVersion. A file that
// does not open, lacks the table or the field, has no record, or whose value
// cannot be read is refused. Leaves nothing open. Raises only when closing
// the database fails after the check.
bool CheckCatalogueVersion(const std::string& path);
