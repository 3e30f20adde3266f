// What a call names, resolved one way for the check gate and the evaluator:
// the user function in scope by that name (or the function an alias's module
// exports under it), else the builtin; the name the call is shown by; and
// whether a number of arguments fits.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "modules/names.hpp"
#include "quarl/error.hpp"
#include "render/builtins.hpp"
#include "render/scope.hpp"
#include "syntax/expressions.hpp"

namespace quarl {

struct Callee {
  const FunctionDef* function = nullptr;  // a user function; else `builtin`
  const Builtin* builtin = nullptr;

  ArityRange arity() const noexcept {
    if (function) return {function->required_params, function->define->params.size()};
    return {builtin->min_args, builtin->max_args};
  }
};

// `name(...)`: the user function of that name in scope, else the builtin of
// that name; none when neither.
inline std::optional<Callee> find_callee(Scope& scope, const Call& call) {
  if (const FunctionDef* function = scope.function_for(call)) return Callee{function, nullptr};
  if (const Builtin* builtin = find_builtin(call.name)) return Callee{nullptr, builtin};
  return std::nullopt;
}

// The same among a module's own names (its functions, imported ones
// included).
inline std::optional<Callee> find_callee(const ModuleNames& names, std::string_view name) noexcept {
  if (const auto found = names.functions.find(name); found != names.functions.end())
    return Callee{found->second, nullptr};
  if (const Builtin* builtin = find_builtin(name)) return Callee{nullptr, builtin};
  return std::nullopt;
}

// `alias.name(...)`: the function `module` exports as `name`, or none.
inline std::optional<Callee> find_callee(const ImportedModule& module, std::string_view name) noexcept {
  const auto found = module.functions.find(name);
  if (found == module.functions.end()) return std::nullopt;
  return Callee{found->second, nullptr};
}

// "alias.name", as errors show a qualified call.
inline std::string call_display(const QualifiedCall& call) {
  std::string display(call.alias);
  display += '.';
  display += call.name;
  return display;
}

// Throws `quarl::arity` when `given` arguments do not fit `callee`, called
// as `display`; a user function's signature is noted.
inline void check_arity(const Callee& callee, std::string_view display, std::size_t given,
                        std::optional<Span> span = std::nullopt, ModuleText text = nullptr) {
  const ArityRange arity = callee.arity();
  if (given < arity.min || given > arity.max) [[unlikely]]
    throw Error::arity(std::string(display), arity, given, span, std::move(text),
                       callee.function ? callee.function->signature : std::string());
}

}  // namespace quarl
