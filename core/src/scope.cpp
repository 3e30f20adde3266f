#include "scope.hpp"

#include <algorithm>

#include "quarl/error.hpp"
#include "text_scan.hpp"

namespace quarl {
namespace {

template <class T>
const T* find(const NameMap<T>& map, std::string_view name) noexcept {
  const auto found = map.find(name);
  return found == map.end() ? nullptr : &found->second;
}

void append_default(std::string& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::String:
      out += '"';
      out += value.as_string();
      out += '"';
      return;
    case ValueKind::Number:
    case ValueKind::Boolean:
      append_text(out, value);
      return;
    case ValueKind::Null:
      out += "null";
      return;
    case ValueKind::Array:
    case ValueKind::Object:
      out += "\u2026";
      return;
  }
}

}  // namespace

std::size_t FunctionDef::required_params() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(define->params.begin(), define->params.end(),
                    [](const Param& param) { return !param.default_value; }));
}

std::string function_signature(const Define& define) {
  std::string out(define.name);
  out += '(';
  for (std::size_t i = 0; i < define.params.size(); ++i) {
    const Param& param = define.params[i];
    if (i) out += ", ";
    out += param.name;
    if (param.default_value) {
      out += " = ";
      append_default(out, *param.default_value);
    }
  }
  out += ')';
  return out;
}

void define_functions(const std::shared_ptr<ModuleContext>& context,
                      const std::shared_ptr<const Template>& module) {
  for (const Node& node : module->body) {
    const auto* define = std::get_if<Define>(&node.data);
    if (!define) continue;
    auto function = std::make_shared<FunctionDef>();
    function->name = define->name;
    function->define = define;
    function->source = module;
    function->context = context;
    function->signature = function_signature(*define);
    context->functions.insert_or_assign(std::string(define->name), std::move(function));
  }
}

ModuleContextPtr make_module_context(const std::shared_ptr<const Template>& module,
                                     const Variables& variables) {
  auto context = std::make_shared<ModuleContext>();
  define_functions(context, module);
  for (const auto& [name, value] : variables) context->variables.insert_or_assign(name, value);
  return context;
}

ModuleContextPtr names_of(const ModuleContext& context) {
  auto names = std::make_shared<ModuleContext>();
  names->functions = context.functions;
  names->modules = context.modules;
  return names;
}

Scope::Scope(ModuleContextPtr global) : global_(std::move(global)) { push_frame(global_.get()); }

void Scope::push_frame(const ModuleContext* context) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  frames_[depth_++].context = context;
}

void Scope::drop_frame() noexcept {
  Frame& frame = frames_[--depth_];
  frame.context = nullptr;
  frame.variables.clear();
  frame.functions.clear();
  frame.modules.clear();
}

void Scope::pop_frame() {
  if (depth_ <= 1)
    throw Error::syntax(
        "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, please "
        "report it");
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
void Scope::define_function(std::string_view name, FunctionPtr function) {
  frames_[depth_ - 1].functions.bind(name, std::move(function));
}
void Scope::define_module(std::string_view alias, ImportedModulePtr module) {
  frames_[depth_ - 1].modules.bind(alias, std::move(module));
}

const Value* Scope::lookup_var(std::string_view name) const noexcept {
  for (std::size_t i = depth_; i-- > 0;) {
    const Frame& frame = frames_[i];
    if (const Value* value = frame.variables.find(name)) return value;
    if (frame.context)
      if (const Value* value = find(frame.context->variables, name)) return value;
  }
  return nullptr;
}

const FunctionDef* Scope::lookup_function(std::string_view name) const noexcept {
  for (std::size_t i = depth_; i-- > 0;) {
    const Frame& frame = frames_[i];
    if (const FunctionPtr* function = frame.functions.find(name)) return function->get();
    if (frame.context)
      if (const FunctionPtr* function = find(frame.context->functions, name))
        return function->get();
  }
  return nullptr;
}

const ImportedModule* Scope::lookup_module(std::string_view alias) const noexcept {
  for (std::size_t i = depth_; i-- > 0;) {
    const Frame& frame = frames_[i];
    if (const ImportedModulePtr* module = frame.modules.find(alias)) return module->get();
    if (frame.context)
      if (const ImportedModulePtr* module = find(frame.context->modules, alias))
        return module->get();
  }
  return nullptr;
}

}  // namespace quarl
