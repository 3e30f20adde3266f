#include "quarl/stack_guard.hpp"

#include <pthread.h>

#include <limits>

#include "quarl/error.hpp"

namespace quarl {
namespace {

constexpr std::uintptr_t kUnknown = std::numeric_limits<std::uintptr_t>::max();

// The lowest address of this thread's stack, or kUnknown when the system does
// not tell. Finding it can be slow (for the main thread glibc reads the
// process memory map), so each thread asks once; the answer never changes.
std::uintptr_t stack_low_end() noexcept {
  thread_local const std::uintptr_t low = [] {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return kUnknown;
    void* base = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
    pthread_attr_destroy(&attr);
    return known ? reinterpret_cast<std::uintptr_t>(base) : kUnknown;
  }();
  return low;
}

}  // namespace

StackGuard::StackGuard() noexcept : low_(stack_low_end()) {}

void StackGuard::fail() {
  throw Error::resource_limit("template nesting exceeds the available stack space");
}

void check_stack() { StackGuard().check(); }

}  // namespace quarl
