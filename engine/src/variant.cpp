// Conversions of field values to text and to 32-bit integers.
#include "variant.h"

#include "error.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace engine {

namespace {

[[noreturn]] void nullUse() {
    throw Error(err::InvalidUseOfNull, "Invalid use of Null.");
}

std::int32_t fromWhole(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
        throw Error(err::Overflow,
                    "Overflow: " + std::to_string(v) + " does not fit a 32-bit integer.");
    return static_cast<std::int32_t>(v);
}

std::int32_t fromReal(double v) {
    if (!std::isfinite(v) || v < -2147483648.5 || v > 2147483647.5)
        throw Error(err::Overflow, "Overflow: the value does not fit a 32-bit integer.");
    // Halves go to the even neighbour, as the classic integer conversion does.
    double r = std::nearbyint(v);
    return fromWhole(static_cast<std::int64_t>(r));
}

} // namespace

std::string Variant::ToText() const {
    if (IsNull())
        nullUse();
    if (IsInteger())
        return std::to_string(std::get<std::int64_t>(v_));
    if (IsReal()) {
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof buf, std::get<double>(v_));
        return std::string(buf, res.ptr);
    }
    return std::get<std::string>(v_);
}

std::int32_t Variant::ToLong() const {
    if (IsNull())
        nullUse();
    if (IsInteger())
        return fromWhole(std::get<std::int64_t>(v_));
    if (IsReal())
        return fromReal(std::get<double>(v_));
    const std::string& s = std::get<std::string>(v_);
    auto first = s.find_first_not_of(" \t");
    auto last = s.find_last_not_of(" \t");
    if (first == std::string::npos)
        throw Error(err::TypeMismatch, "Type mismatch: '" + s + "' is not a number.");
    const char* b = s.data() + first;
    const char* e = s.data() + last + 1;
    std::int64_t whole = 0;
    auto r = std::from_chars(b, e, whole);
    if (r.ec == std::errc() && r.ptr == e)
        return fromWhole(whole);
    double real = 0;
    auto rr = std::from_chars(b, e, real);
    if (rr.ec == std::errc() && rr.ptr == e)
        return fromReal(real);
    if (r.ec == std::errc::result_out_of_range || rr.ec == std::errc::result_out_of_range)
        throw Error(err::Overflow, "Overflow: '" + s + "' does not fit a 32-bit integer.");
    throw Error(err::TypeMismatch, "Type mismatch: '" + s + "' is not a number.");
}

} // namespace engine
