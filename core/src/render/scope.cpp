#include "render/scope.hpp"

#include <algorithm>

#include "quarl/error.hpp"
#include "support/compiler_bug.hpp"
#include "support/text_scan.hpp"

namespace quarl {
namespace {

template <class T>
const T* find(const NameMap<T>& map, std::string_view name) noexcept {
  const auto found = map.find(name);
  return found == map.end() ? nullptr : &found->second;
}

}  // namespace

void Scope::drop_frame() noexcept {
  frames_[--depth_].variables.clear();
}

void Scope::pop_frame() {
  if (depth_ <= 1)
    compiler_bug("the global scope frame was popped");
  drop_frame();
}

template <class T>
void Scope::Bindings<T>::build_index() {
  index_ = std::make_unique<std::unordered_map<std::string_view, std::size_t>>();
  for (std::size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first, i);
}

template <class T>
void Scope::Bindings<T>::bind_indexed(std::string_view name, T value) {
  const auto [at, added] = index_->emplace(name, entries_.size());
  if (added)
    entries_.emplace_back(name, std::move(value));
  else
    entries_[at->second].second = std::move(value);
}

template <class T>
const T* Scope::Bindings<T>::find_indexed(std::string_view name) const noexcept {
  const auto at = index_->find(name);
  return at == index_->end() ? nullptr : &entries_[at->second].second;
}

void Scope::define_var(std::string_view name, Value value) {
  frames_[depth_ - 1].variables.bind(name, std::move(value));
}

const Value* Scope::lookup_var(std::string_view name) const noexcept {
  for (std::size_t i = depth_; i-- > 0;) {
    const Frame& frame = frames_[i];
    if (const Value* value = frame.variables.find(name)) return value;
    if (frame.module_variables)
      if (const Value* value = find(*frame.module_variables, name)) return value;
  }
  return nullptr;
}

const FunctionDef* Scope::lookup_function(std::string_view name) const noexcept {
  return lookup_name(&ModuleNames::functions, name);
}

const ImportedModule* Scope::lookup_module(std::string_view alias) const noexcept {
  return lookup_name(&ModuleNames::modules, alias);
}

std::vector<std::string_view> Scope::variable_names() const {
  std::vector<std::string_view> names;
  for (std::size_t i = depth_; i-- > 0;) {
    frames_[i].variables.add_names(names);
    if (const NameMap<Value>* variables = frames_[i].module_variables)
      for (const auto& [name, value] : *variables) names.push_back(name);
  }
  return names;
}

std::vector<std::string_view> Scope::function_names() const { return names_of(&ModuleNames::functions); }

std::vector<std::string_view> Scope::module_names() const { return names_of(&ModuleNames::modules); }

template <class T>
std::vector<std::string_view> Scope::names_of(NameMap<T> ModuleNames::*kind) const {
  std::vector<std::string_view> names;
  for (std::size_t i = depth_; i-- > 0;)
    if (const ModuleNames* frame_names = frames_[i].names)
      for (const auto& [name, value] : frame_names->*kind) names.push_back(name);
  return names;
}

template <class T>
T Scope::lookup_name(NameMap<T> ModuleNames::*kind, std::string_view name) const noexcept {
  for (std::size_t i = depth_; i-- > 0;)
    if (const ModuleNames* names = frames_[i].names)
      if (const T* found = find(names->*kind, name)) return *found;
  return nullptr;
}

}  // namespace quarl
