// Tearing down deep trees without deep recursion.
//
// Values and YAML documents are trees of shared nodes. Dropping the last
// reference to a node destroys its children, whose destructors drop theirs:
// one run of stack frames per level, enough to overflow a small thread stack
// on a deep document. Their destructors hand each child they hold the last
// reference to to release_iteratively instead, which destroys the nodes one at
// a time from a list, so tearing down any tree takes a few frames of stack.
#pragma once

#include <memory>

namespace quarl {

// Drops `node`, the last reference to a tree node. Nodes that its destruction
// hands back (through the destructors of its children) are destroyed here
// too, in a loop, rather than inside the destructor that released them.
void release_iteratively(std::shared_ptr<const void> node) noexcept;

// Hands `node` to release_iteratively when it holds the last reference.
template <class T>
void release_if_last(std::shared_ptr<T>& node) noexcept {
  if (node && node.use_count() == 1) release_iteratively(std::move(node));
}

}  // namespace quarl
