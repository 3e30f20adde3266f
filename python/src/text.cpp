#include "text.hpp"

#include <cstdio>

namespace tessel {

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string debug_list(const quarl::Value& strings) {
  std::string out = "[";
  if (strings.kind() == quarl::ValueKind::Array) {
    const char* separator = "";
    for (const quarl::Value& element : strings.as_array()) {
      out += separator;
      out += element.kind() == quarl::ValueKind::String ? debug_quoted(element.as_string())
                                                       : quarl::to_text(element);
      separator = ", ";
    }
  }
  out += ']';
  return out;
}

}  // namespace tessel
