// How GoogleTest prints the core's small value types in failure messages.
#pragma once

#include <ostream>

#include "quarl/error.hpp"

namespace quarl {

inline void PrintTo(const Span& span, std::ostream* os) {
  *os << "Span{" << span.offset << ", " << span.length << "}";
}

inline void PrintTo(const LineColumn& at, std::ostream* os) {
  *os << "line " << at.line << ", column " << at.column;
}

}  // namespace quarl
