// A broken invariant of the compiler itself, as opposed to a mistake in a
// template: thrown as std::logic_error, which the entry points report as an
// internal fault (the binding's "internal compiler error", the detail kept),
// never as a user's error and never as a crash.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quarl {

[[noreturn]] inline void compiler_bug(std::string_view detail) {
  throw std::logic_error("compiler bug: " + std::string(detail));
}

}  // namespace quarl
