// Names and what they are bound to while a template renders.
//
// A module's names (its functions, import aliases and module-level variables)
// form a ModuleContext (modules/names.hpp). A Scope is a stack of frames searched innermost first;
// a frame binds names of its own (loop variables, parameters) and may stand
// for a whole module context (the global frame, and the frame of each call,
// which sees the callee's module) without copying it.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "modules/names.hpp"
#include "quarl/value.hpp"
#include "support/text_scan.hpp"

namespace quarl {

class Scope {
 public:
  // A scope of one global frame standing for `global` (which may be null),
  // which the caller keeps alive as long as the scope.
  explicit Scope(const ModuleContext* global = nullptr) { push_frame(global); }

  // A new innermost frame; it stands for `context` (names and variables) or
  // for `names` alone, when given; the caller keeps them alive until the
  // frame is popped.
  void push_frame(const ModuleContext* context = nullptr) {
    push_frame(context, context ? &context->variables : nullptr);
  }
  void push_frame(const ModuleNames* names) { push_frame(names, nullptr); }
  // Drops the innermost frame and its bindings. The global frame cannot be
  // dropped: trying is a compiler bug, reported as an error.
  void pop_frame();
  std::size_t depth() const noexcept { return depth_; }

  // Binds in the innermost frame, replacing a binding of the same name there.
  // Names are views: they come from parsed templates, which outlive the scope.
  void define_var(std::string_view name, Value value);

  // Every name bound in some frame, innermost first (a name may repeat): what
  // a misspelt name is compared with, on the way to an error.
  std::vector<std::string_view> variable_names() const;
  std::vector<std::string_view> function_names() const;
  std::vector<std::string_view> module_names() const;

  // Innermost binding first; null when no frame binds the name.
  const Value* lookup_var(std::string_view name) const noexcept;
  const FunctionDef* lookup_function(std::string_view name) const noexcept;
  const ImportedModule* lookup_module(std::string_view alias) const noexcept;

 private:
  // One frame's bindings of one kind. A loop binds a name or two and a call
  // a few parameters, which a scan finds fastest; a frame that grows past
  // kScanned names (a function with thousands of parameters) gets an index,
  // so that binding and finding stay constant time per name.
  template <class T>
  class Bindings {
   public:
    void bind(std::string_view name, T value) {
      if (index_) return bind_indexed(name, std::move(value));
      for (auto& [bound, existing] : entries_)
        if (same_name(bound, name)) {
          existing = std::move(value);
          return;
        }
      entries_.emplace_back(name, std::move(value));
      if (entries_.size() == kScanned) build_index();
    }
    const T* find(std::string_view name) const noexcept {
      if (index_) return find_indexed(name);
      for (const auto& [bound, value] : entries_)
        if (same_name(bound, name)) return &value;
      return nullptr;
    }
    void clear() noexcept {
      entries_.clear();
      if (index_) [[unlikely]] index_.reset();
    }
    void add_names(std::vector<std::string_view>& out) const {
      for (const auto& [name, value] : entries_) out.push_back(name);
    }

   private:
    static constexpr std::size_t kScanned = 8;
    void build_index();
    void bind_indexed(std::string_view name, T value);
    const T* find_indexed(std::string_view name) const noexcept;

    std::vector<std::pair<std::string_view, T>> entries_;
    // Where each name is in entries_, once there are kScanned of them.
    std::unique_ptr<std::unordered_map<std::string_view, std::size_t>> index_;
  };

  struct Frame {
    Bindings<Value> variables;
    // Looked up after the frame's own bindings.
    const ModuleNames* names = nullptr;
    const NameMap<Value>* module_variables = nullptr;
  };

  friend class FrameGuard;
  void push_frame(const ModuleNames* names, const NameMap<Value>* variables) {
    if (depth_ == frames_.size()) [[unlikely]] frames_.emplace_back();
    Frame& frame = frames_[depth_++];
    frame.names = names;
    frame.module_variables = variables;
  }
  void drop_frame() noexcept;
  // What `name` is bound to in the map `kind` of the innermost frame whose
  // module binds it; null when none does.
  template <class T>
  T lookup_name(NameMap<T> ModuleNames::*kind, std::string_view name) const noexcept;
  template <class T>
  std::vector<std::string_view> names_of(NameMap<T> ModuleNames::*kind) const;

  // frames_[0, depth_) are live. Frames above them are kept, emptied, so that
  // their binding lists keep their capacity: a loop pushes and pops a frame
  // per iteration without allocating.
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
};

// Pushes a frame for as long as it lives; pops it on every way out.
class FrameGuard {
 public:
  explicit FrameGuard(Scope& scope, const ModuleContext* context = nullptr) : scope_(scope) {
    scope_.push_frame(context);
  }
  FrameGuard(Scope& scope, const ModuleNames* names) : scope_(scope) { scope_.push_frame(names); }
  ~FrameGuard() { scope_.drop_frame(); }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

 private:
  Scope& scope_;
};

}  // namespace quarl
