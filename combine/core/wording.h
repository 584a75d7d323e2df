// How the combine program writes numbers and times for the user: one format
// for every count it shows, one for the history's time stamps.
#pragma once

#include <string>

namespace wording {

// n in decimal with a comma between groups of three digits: "1,234".
std::string Grouped(long long n);

// n grouped and the noun that agrees with it: "1 item", "1,234 items".
std::string Counted(long long n, const char* one, const char* many);

// A history time stamp "2026-12-07T05:30:12Z" as "2026-12-07 05:30:12 UTC";
// any other text as it is.
std::string ShownTime(const std::string& iso);

} // namespace wording
