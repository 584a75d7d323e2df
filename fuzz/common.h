// What the fuzz targets share: a private folder for the files they write,
// a whole-file write, and SQLite's own verdict on a file as the oracle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// The process's own folder under the system's temporary folder, made on
// first use and removed with everything in it when the process ends.
const std::string& workFolder();

// Writes size bytes of data to path, replacing it.
void writeBytes(const std::string& path, const uint8_t* data, size_t size);

// Removes path and the journal, log and shared-memory files beside it.
void removeWithSidecars(const std::string& path);

// The names in the work folder, other than the ones listed.
std::string strayFiles(const std::initializer_list<std::string>& expected);

// SQLite's integrity_check on path, opened read-only: "ok" or the first complaint.
std::string integrity(const std::string& path);

// Ends the process with a message on standard error, for libFuzzer to report.
[[noreturn]] void fail(const std::string& what);

} // namespace fuzzsupport
