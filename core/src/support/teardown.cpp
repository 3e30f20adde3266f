#include "support/teardown.hpp"

#include <vector>

namespace quarl {
namespace {

using Pending = std::vector<std::shared_ptr<const void>>;

// The list of the teardown running on this thread, if any: nodes released
// while it runs wait there instead of being destroyed where they were
// released. Set only for the duration of one release_iteratively call.
thread_local Pending* running = nullptr;

}  // namespace

void release_iteratively(std::shared_ptr<const void> node) noexcept {
  if (running) {
    try {
      running->push_back(std::move(node));
    } catch (...) {
      node.reset();  // out of memory: destroyed right here, one level deeper
    }
    return;
  }
  Pending pending;
  running = &pending;
  node.reset();
  while (!pending.empty()) {
    std::shared_ptr<const void> next = std::move(pending.back());
    pending.pop_back();
    next.reset();
  }
  running = nullptr;
}

}  // namespace quarl
