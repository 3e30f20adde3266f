// The wording the limit messages share, so that every limit reads alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarl {

// "{subject} exceeds maximum {measure} of {max}{unit}": "nesting depth exceeds
// maximum of 64", "value nesting exceeds maximum depth of 64", "output exceeds
// maximum size of 52428800 bytes".
inline std::string exceeds_maximum(std::string_view subject, std::size_t max,
                                   std::string_view measure = {}, std::string_view unit = {}) {
  std::string text(subject);
  text += " exceeds maximum ";
  if (!measure.empty()) {
    text += measure;
    text += ' ';
  }
  text += "of ";
  text += std::to_string(max);
  text += unit;
  return text;
}

// "file too large ({size} bytes, max {max} bytes): {shown}".
inline std::string file_too_large(std::size_t size, std::size_t max, std::string_view shown) {
  return "file too large (" + std::to_string(size) + " bytes, max " + std::to_string(max) +
         " bytes): " + std::string(shown);
}

}  // namespace quarl
