#include "render/scope.hpp"

#include <algorithm>
#include <utility>

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

void Scope::misplaced_local(std::string_view name) {
  compiler_bug("'" + std::string(name) + "' is not bound where its parse placed it");
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

void Scope::CallSites::remember(const void* site, const ModuleNames* names, const FunctionDef* function) {
  if (2 * (used_ + 1) > entries_.size()) {
    std::vector<Entry> old = std::exchange(entries_, std::vector<Entry>(std::max<std::size_t>(64, 2 * entries_.size())));
    used_ = 0;
    for (const Entry& entry : old)
      if (entry.site) remember(entry.site, entry.names, entry.function);
  }
  std::size_t i = slot(site, names);
  while (entries_[i].site) i = (i + 1) & mask();
  entries_[i] = {site, names, function};
  ++used_;
}

const FunctionDef* Scope::function_for(const Call& call) {
  const ModuleNames* nearest = nearest_names();
  if (const FunctionDef* known = call_sites_.find(&call, nearest)) return known;
  if (nearest)
    if (const FunctionDef* const* found = find(nearest->functions, call.name)) {
      call_sites_.remember(&call, nearest, *found);
      return *found;
    }
  return lookup_function(call.name);
}

const FunctionDef* Scope::function_for(const QualifiedCall& call) {
  const ModuleNames* nearest = nearest_names();
  if (const FunctionDef* known = call_sites_.find(&call, nearest)) return known;
  const ImportedModule* const* near_module = nearest ? find(nearest->modules, call.alias) : nullptr;
  const ImportedModule* module = near_module ? *near_module : lookup_module(call.alias);
  if (!module) return nullptr;
  const FunctionDef* const* exported = find(module->functions, call.name);
  if (!exported) return nullptr;
  if (near_module) call_sites_.remember(&call, nearest, *exported);
  return *exported;
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
