// How the combine program writes numbers and times for the user.
#include "wording.h"

namespace wording {

std::string Grouped(long long n) {
    // Through unsigned, so that the least long long has digits too.
    const unsigned long long magnitude =
        n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    const std::string digits = std::to_string(magnitude);
    std::string out = n < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string Counted(long long n, const char* one, const char* many) {
    return Grouped(n) + ' ' + (n == 1 ? one : many);
}

std::string ShownTime(const std::string& iso) {
    if (iso.size() == 20 && iso[10] == 'T' && iso.back() == 'Z')
        return iso.substr(0, 10) + ' ' + iso.substr(11, 8) + " UTC";
    return iso;
}

} // namespace wording
