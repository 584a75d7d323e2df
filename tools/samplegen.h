// Writes catalogues: the empty schema with its version marker, and sample
// catalogues with realistic near-duplicate lookup entries, deterministic for a seed.
#pragma once

#include "catalogue.h"

#include <memory>
#include <optional>
#include <string>

namespace samplegen {

struct Options {
    long items = 1000;
    long subjects = 200;
    long publishers = 50;
    long types = 12;
    unsigned seed = 1;
    // The FILEINFO marker; nullopt writes a Null "Product Name".
    std::optional<std::string> productName = std::string(catalogue::ProductVersion);
    // When not empty, the file (replaced if it exists) that receives which
    // lookup entries are forms of the same name: a header line, then one
    // line "table<TAB>code<TAB>group" per entry of a group of two or more,
    // groups numbered from 1 in each table. Blank and Null names are in no
    // group. Names that look alike but differ (other numbers, other words)
    // are in different groups.
    std::string truthPath;
};

// Creates a new catalogue at path (which must not exist) with every table and
// index of the catalogue format and one FILEINFO row carrying productName.
// Returns it open (shared), for the caller to fill.
std::unique_ptr<engine::Database> CreateCatalogue(
    const std::string& path,
    const std::optional<std::string>& productName = std::string(catalogue::ProductVersion));

// Writes a sample catalogue at path (which must not exist) as opts says, and
// the truth file when opts asks for one. Raises PathFileAccess, removing the
// catalogue, when the truth file cannot be written.
void WriteSampleCatalogue(const std::string& path, const Options& opts);

} // namespace samplegen
