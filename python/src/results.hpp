// The result classes of compile and check: CompileResult, CheckResult and
// Message. All are frozen views; CompileResult keeps the canonical value of
// the result as its only state (with what that value is a view of).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module_state.hpp"
#include "py_ref.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"

namespace tessel {

// What a CompileResult holds: the canonical value, and for a result the core
// made, what that value is a view of: the core's result and the arena of its
// containers (built where the result was made, without the lock; the view's
// strings point into `result`, so it stays where it was made).
struct CompileResultData {
  struct Backing {
    explicit Backing(quarl::CompileResult made) noexcept : result(std::move(made)) {}

    quarl::CompileResult result;
    // Room for the view of a Markdown result with a few warnings and
    // dependencies, so that it takes no memory of its own.
    alignas(quarl::Value) std::array<std::byte, 512> first;
    quarl::ValueArena arena{first};
  };

  quarl::Value canonical;
  std::unique_ptr<const Backing> backing;  // null for a result made from a dict

  friend bool operator==(const CompileResultData& a, const CompileResultData& b) noexcept {
    return a.canonical == b.canonical;
  }
};

// What a Message holds: its texts, viewed where they are kept: in the
// CompileResult it came from (`owner` keeps it alive), or in `own` for a
// Message made in Python.
struct MessageData {
  PyRef owner;
  std::unique_ptr<const quarl::Message> own;
  std::string_view role;
  std::string_view content;

  friend bool operator==(const MessageData& a, const MessageData& b) noexcept {
    return a.role == b.role && a.content == b.content;
  }
};

PyObject* create_compile_result_class(PyObject* module) noexcept;
PyObject* create_check_result_class(PyObject* module) noexcept;
PyObject* create_message_class(PyObject* module) noexcept;

// New instances for core results. The canonical value's strings must be
// valid UTF-8 (the caller checks the core's result with holds_valid_utf8;
// make_check_result checks the warnings itself, raising the serialization
// error).
PyObject* make_compile_result(const ModuleState& state, CompileResultData data) noexcept;
PyObject* make_check_result(const ModuleState& state, std::vector<std::string> warnings) noexcept;

}  // namespace tessel
