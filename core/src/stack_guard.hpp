// A check that recursion has stack left to use.
//
// Rendering recurses through nested blocks, nested calls in arguments and
// nested user functions; the language's limits allow a depth that needs
// several megabytes of stack, more than some threads have. The guard turns
// running out into an error instead of a crash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarl {

class StackGuard {
 public:
  // Reads the bounds of the calling thread's stack (once per thread).
  StackGuard() noexcept;

  // Throws a `quarl::resource_limit` Error when less than kStackReserve bytes
  // of the thread's stack remain below the caller's frame.
  void check() const;

  static constexpr std::size_t kStackReserve = 256 * 1024;

 private:
  std::uintptr_t limit_ = 0;  // lowest address a frame may reach; 0: unknown, no check
};

}  // namespace quarl
