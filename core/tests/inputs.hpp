// Builders of large and deeply nested test inputs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quarl/compile.hpp"
#include "quarl/value.hpp"

namespace quarl::testing_support {

inline std::string repeat(std::string_view text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// `times` calls of `function` around `inner`: f(f(inner)).
inline std::string nested_call(std::string_view function, std::size_t times,
                               std::string_view inner) {
  return repeat(std::string(function) + "(", times) + std::string(inner) + repeat(")", times);
}

// A string "leaf" inside `depth` arrays.
inline Value nested_arrays(std::size_t depth) {
  Value value = Value::string("leaf");
  for (std::size_t i = 0; i < depth; ++i) value = Value::array({value});
  return value;
}

// An array of `count` ones.
inline Value ones(std::size_t count) { return Value::array(Value::Array(count, Value::number(1))); }

// "main.quarl" and `length` modules below it, each importing the next and
// rendering its prompt; the last says "end".
inline ModuleMap import_chain(std::size_t length) {
  ModuleMap modules{{"main.quarl", "@import \"./m1.quarl\"\n{{ prompt }}"}};
  for (std::size_t i = 1; i < length; ++i)
    modules.emplace("m" + std::to_string(i) + ".quarl",
                    "@import \"./m" + std::to_string(i + 1) + ".quarl\"\n{{ prompt }}");
  modules.emplace("m" + std::to_string(length) + ".quarl", "end");
  return modules;
}

}  // namespace quarl::testing_support
