// A check that recursion has stack left to use.
//
// Every phase that recurses over what the input nests (blocks, call
// arguments, conditions, YAML collections, values, imported modules) checks
// the guard on each level, so that running out of stack is an error instead
// of a crash on any thread, whatever its stack size. Work that does not
// recurse needs at most kStackReserve bytes below the last check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarl {

class StackGuard {
 public:
  // Reads the bounds of the calling thread's stack (once per thread).
  StackGuard() noexcept;

  // Throws a `quarl::resource_limit` Error ("template nesting exceeds the
  // available stack space") when fewer than kStackReserve bytes of the
  // thread's stack remain below the caller's frame.
  void check() const {
    if (exhausted()) fail();
  }

  // Whether fewer than kStackReserve bytes remain below the caller's frame.
  // Off the thread's own stack (a coroutine's stack, say) nothing is known
  // and the answer is no: the difference then wraps to a large number.
  bool exhausted() const noexcept {
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return frame - low_ < kStackReserve;
  }

  // What the deepest step between two checks needs, with a margin: about 8
  // KiB for a whole compile of a small template in an optimised build (an
  // error thrown from a builtin included), several times that under the
  // sanitizers, whose frames carry red zones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr std::size_t kStackReserve = 96 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  static constexpr std::size_t kStackReserve = 96 * 1024;
#else
  static constexpr std::size_t kStackReserve = 32 * 1024;
#endif
#else
  static constexpr std::size_t kStackReserve = 32 * 1024;
#endif

 private:
  [[noreturn]] static void fail();

  // The lowest address of the thread's stack; the largest value (no check
  // can fail) when the system does not tell.
  std::uintptr_t low_;
};

// StackGuard().check(), for recursive functions that keep no guard of their own.
void check_stack();

}  // namespace quarl
