// Placing errors that were raised without a place: a failure deep inside the
// work on a node (an interpolation's expression, a directive's condition, a
// call in a body) is shown at that node when nothing nearer knew where it was.
#pragma once

#include <utility>

#include "quarl/error.hpp"

namespace quarl {

// Runs `work`; an Error it raises without a span gets the span `place()`
// returns (computed only then), in `text`.
template <class Place, class Work>
decltype(auto) placing_errors(const ModuleText& text, Place&& place, Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (Error& error) {
    error.set_span_if_missing(place(), text);
    throw;
  }
}

}  // namespace quarl
