#include "values/number.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace quarl {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// For a well-formed literal that is out of a double's range: whether its
// magnitude is huge (it overflows) rather than tiny (it underflows). The
// decimal exponent of the first significant digit decides.
bool overflows(std::string_view text) noexcept {
  std::size_t i = text.starts_with('-') ? 1 : 0;
  std::int64_t integer_digits = 0;  // significant digits before the point
  std::int64_t fraction_zeros = 0;  // zeros after the point before the first significant digit
  bool significant = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    significant = significant || text[i] != '0';
    if (significant) ++integer_digits;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]) && !significant; ++i) {
      significant = text[i] != '0';
      if (!significant) ++fraction_zeros;
    }
    while (i < text.size() && is_digit(text[i])) ++i;
  }
  std::int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    for (; i < text.size() && is_digit(text[i]); ++i)
      exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000);
    if (negative) exponent = -exponent;
  }
  const std::int64_t magnitude =
      integer_digits > 0 ? integer_digits - 1 + exponent : exponent - fraction_zeros - 1;
  return magnitude > 0;
}

}  // namespace

bool has_numeric_start(std::string_view text) noexcept {
  return (!text.empty() && is_digit(text[0])) ||
         (text.size() >= 2 && text[0] == '-' && is_digit(text[1]));
}

std::optional<double> read_double(std::string_view text) noexcept {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (stop != end || text.empty()) return std::nullopt;
  if (error == std::errc::result_out_of_range) {
    const double magnitude = overflows(text) ? HUGE_VAL : 0.0;
    return text.starts_with('-') ? -magnitude : magnitude;
  }
  if (error != std::errc()) return std::nullopt;
  return value;
}

std::optional<double> parse_decimal(std::string_view text) noexcept {
  if (!has_numeric_start(text)) return std::nullopt;
  return read_double(text);
}

void append_number(std::string& out, double number) {
  if (std::isnan(number)) {
    out += "NaN";
    return;
  }
  if (std::isinf(number)) {
    out += number < 0 ? "-inf" : "inf";
    return;
  }
  // 2^63 is exactly representable; the signed range stops just below it.
  constexpr double kTwoPow63 = 9223372036854775808.0;
  std::array<char, 512> buffer;  // fixed notation of any double fits in ~330 characters
  std::to_chars_result written;
  if (number == std::trunc(number) && number >= -kTwoPow63 && number < kTwoPow63)
    written = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                            static_cast<std::int64_t>(number));
  else  // the fewest characters that read back; whole numbers past 2^63 keep their exact digits
    written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number,
                            std::chars_format::fixed);
  out.append(buffer.data(), written.ptr);
}

}  // namespace quarl
