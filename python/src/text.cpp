#include "text.hpp"

#include <cstdio>

namespace tessel {

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
