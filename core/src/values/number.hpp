// Number text in both directions: decimal literals in templates, and the
// text form of a number in output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarl {

// Whether `text` starts like a number: a digit, or '-' and a digit.
bool has_numeric_start(std::string_view text) noexcept;

// Reads `text` over its whole length as std::from_chars reads a double
// (optional '-', digits with an optional point, optional exponent, and the
// spellings inf, infinity and nan), except that a literal too large for a
// double reads as an infinity and one too small as zero. None when `text` is
// not such a literal.
std::optional<double> read_double(std::string_view text) noexcept;

// Reads `text` as a decimal floating-point literal over its whole length:
// optional '-', digits, optional fraction, optional exponent; no '+', no
// hexadecimal, no '_', no surrounding space. A literal too large for a double
// reads as an infinity, one too small as zero. None when `text` is not such a
// literal.
std::optional<double> parse_decimal(std::string_view text) noexcept;

// Appends the text form of a number: integral values within the signed 64-bit
// range as integers ("3", "-42", "0" also for -0.0), every other finite value
// as the shortest decimal that reads back as the same double, never with an
// exponent; "inf", "-inf" and "NaN" for the rest.
void append_number(std::string& out, double number);

}  // namespace quarl
