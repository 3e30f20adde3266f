// Names and what they are bound to while a template renders.
//
// A module's names (its functions, import aliases and module-level variables)
// form a ModuleContext (modules/names.hpp). A Scope is a stack of frames searched innermost first;
// a frame binds names of its own (loop variables, parameters) and may stand
// for a whole module context (the global frame, and the frame of each call,
// which sees the callee's module) without copying it.
#pragma once

#include <cstddef>
#include <cstdint>
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
#include "syntax/expressions.hpp"
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
  // The same without the check, while a failure unwinds a frame it pushed.
  void drop_frame() noexcept;
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
  // The same for a name whose binding the parse placed (`local`): read
  // where it is, without a search. The place is always checked to exist;
  // debug builds (the sanitized tests) also check that it binds `name`.
  const Value* lookup_var(std::string_view name, LocalSlot local) const {
    if (!local.resolved()) return lookup_var(name);
    if (local.distance < depth_) {
      const Bindings<Value>& bindings = frames_[depth_ - 1 - local.distance].variables;
      if (local.slot < bindings.size() && (!kCheckLocals || same_name(bindings.name_at(local.slot), name)))
        return &bindings.value_at(local.slot);
    }
    misplaced_local(name);
  }
  const FunctionDef* lookup_function(std::string_view name) const noexcept;
  const ImportedModule* lookup_module(std::string_view alias) const noexcept;

  // The user function `call` names, as lookup_function(call.name) finds it;
  // null when none (then it may be a builtin).
  const FunctionDef* function_for(const Call& call);
  // The function `alias.name` names: the one the aliased module exports;
  // null when the alias or the function is missing.
  const FunctionDef* function_for(const QualifiedCall& call);

 private:
#ifdef NDEBUG
  static constexpr bool kCheckLocals = false;
#else
  static constexpr bool kCheckLocals = true;
#endif

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
    std::size_t size() const noexcept { return entries_.size(); }
    std::string_view name_at(std::size_t i) const noexcept { return entries_[i].first; }
    const T& value_at(std::size_t i) const noexcept { return entries_[i].second; }
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
    // `names`, or the innermost names of the frames below when this frame
    // has none: where a function name is looked up first.
    const ModuleNames* nearest_names = nullptr;
  };

  // What each call site (a Call or QualifiedCall node) was found to name,
  // and under which innermost names: the same site rendered under the same
  // names names the same function, as long as it was found in those names
  // (and not in an outer frame's). A site renders many times (a function
  // called in a loop, a call in a function's body) and a module's names do
  // not change once it renders, so a name is looked up and hashed once per
  // site and names rather than on every call. An open-addressed table of
  // the pairs, by address.
  class CallSites {
   public:
    const FunctionDef* find(const void* site, const ModuleNames* names) const noexcept {
      if (entries_.empty()) return nullptr;
      for (std::size_t i = slot(site, names);; i = (i + 1) & mask()) {
        const Entry& entry = entries_[i];
        if (entry.site == site && entry.names == names) return entry.function;
        if (!entry.site) return nullptr;
      }
    }
    // Adds a pair find did not find.
    void remember(const void* site, const ModuleNames* names, const FunctionDef* function);

   private:
    struct Entry {
      const void* site = nullptr;  // null: a free slot
      const ModuleNames* names = nullptr;
      const FunctionDef* function = nullptr;
    };
    std::size_t mask() const noexcept { return entries_.size() - 1; }
    std::size_t slot(const void* site, const ModuleNames* names) const noexcept {
      const auto key = reinterpret_cast<std::uintptr_t>(site) ^ (reinterpret_cast<std::uintptr_t>(names) << 7U);
      return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32U) & mask();
    }
    std::vector<Entry> entries_;  // a power of two of them, at most half used
    std::size_t used_ = 0;
  };

  friend class FrameGuard;
  void push_frame(const ModuleNames* names, const NameMap<Value>* variables) {
    if (depth_ == frames_.size()) [[unlikely]] frames_.emplace_back();
    Frame& frame = frames_[depth_];
    frame.names = names;
    frame.module_variables = variables;
    frame.nearest_names = names || depth_ == 0 ? names : frames_[depth_ - 1].nearest_names;
    ++depth_;
  }
  const ModuleNames* nearest_names() const noexcept { return frames_[depth_ - 1].nearest_names; }
  // A name the parse placed in a frame that does not bind it there: a
  // compiler bug, reported as an internal error.
  [[noreturn]] static void misplaced_local(std::string_view name);
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
  CallSites call_sites_;
};

// Pushes a frame for as long as it lives; pops it on every way out.
class FrameGuard {
 public:
  explicit FrameGuard(Scope& scope, const ModuleContext* context = nullptr) : scope_(scope) {
    scope_.push_frame(context);
  }
  FrameGuard(Scope& scope, const ModuleNames* names) : scope_(scope) { scope_.push_frame(names); }
  ~FrameGuard() {
    if (!kept_) scope_.drop_frame();
  }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

  // Leaves the frame pushed, for its owner to pop.
  void keep() noexcept { kept_ = true; }

 private:
  Scope& scope_;
  bool kept_ = false;
};

}  // namespace quarl
