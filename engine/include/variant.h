// A field value (a variant): Null, a whole number, a real number or text (UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace engine {

class Variant {
public:
    Variant() = default; // Null
    Variant(std::int64_t v) : v_(v) {}
    Variant(int v) : v_(std::int64_t{v}) {}
    Variant(double v) : v_(v) {}
    Variant(std::string v) : v_(std::move(v)) {}
    Variant(const char* v) : v_(std::string(v)) {}

    bool IsNull() const noexcept { return std::holds_alternative<std::monostate>(v_); }
    bool IsInteger() const noexcept { return std::holds_alternative<std::int64_t>(v_); }
    bool IsReal() const noexcept { return std::holds_alternative<double>(v_); }
    bool IsText() const noexcept { return std::holds_alternative<std::string>(v_); }

    // The value as text: numbers in decimal form. Raises InvalidUseOfNull for Null.
    std::string ToText() const;
    // The value as a 32-bit signed integer: whole numbers, reals rounded half
    // to even, text that reads as a number. Raises InvalidUseOfNull for Null,
    // TypeMismatch for text that is no number, Overflow outside the range.
    std::int32_t ToLong() const;

    bool operator==(const Variant& o) const = default;

private:
    std::variant<std::monostate, std::int64_t, double, std::string> v_;
};

} // namespace engine
