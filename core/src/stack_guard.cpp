#include "stack_guard.hpp"

#include <pthread.h>

#include "quarl/error.hpp"

namespace quarl {
namespace {

// The lowest address of this thread's stack, or 0 when the system does not
// tell. Finding it can be slow (for the main thread glibc reads the process
// memory map), so each thread asks once; the answer never changes.
std::uintptr_t stack_low_end() noexcept {
  thread_local const std::uintptr_t low = [] {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::uintptr_t{0};
    void* base = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
    pthread_attr_destroy(&attr);
    return known ? reinterpret_cast<std::uintptr_t>(base) : std::uintptr_t{0};
  }();
  return low;
}

}  // namespace

StackGuard::StackGuard() noexcept {
  const std::uintptr_t low = stack_low_end();
  if (low != 0) limit_ = low + kStackReserve;
}

void StackGuard::check() const {
  const char probe = 0;
  if (reinterpret_cast<std::uintptr_t>(&probe) < limit_)
    throw Error::resource_limit("template nesting exceeds the available stack space");
}

}  // namespace quarl
