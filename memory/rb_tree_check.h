// Test helper: checks the red-black invariants and the order of a tree.
#ifndef VLM_MEMORY_RB_TREE_CHECK_H_
#define VLM_MEMORY_RB_TREE_CHECK_H_

#include <string>

#include "memory/rb_tree.h"

namespace vellum::heap {

// Black height of the subtree, or -1 with `error` set when an invariant is
// broken: the root and the sentinel are black, no red node has a red child,
// every path has the same number of black nodes, in-order is sorted.
template <typename Traits>
int CheckRbSubtree(const RbTree<Traits>& tree, const RbNode* n, std::string* error) {
  if (n == tree.nil()) return 1;
  if (n->red() && (n->left->red() || n->right()->red())) {
    *error = "red node with red child";
    return -1;
  }
  if (n->left != tree.nil() && Traits::Compare(n->left, n) >= 0) {
    *error = "left child not below its parent";
    return -1;
  }
  if (n->right() != tree.nil() && Traits::Compare(n->right(), n) <= 0) {
    *error = "right child not above its parent";
    return -1;
  }
  int l = CheckRbSubtree(tree, n->left, error);
  if (l < 0) return -1;
  int r = CheckRbSubtree(tree, n->right(), error);
  if (r < 0) return -1;
  if (l != r) {
    *error = "unequal black heights";
    return -1;
  }
  return l + (n->red() ? 0 : 1);
}

template <typename Traits>
std::string CheckRbTree(const RbTree<Traits>& tree) {
  std::string error;
  if (tree.nil()->red()) return "red sentinel";
  if (tree.root()->red()) return "red root";
  if (CheckRbSubtree(tree, tree.root(), &error) < 0) return error;
  // Sorted in-order walk (catches order breaks between subtrees).
  const RbNode* prev = nullptr;
  tree.ForEach([&](const RbNode* n) {
    if (prev != nullptr && Traits::Compare(prev, n) >= 0 && error.empty()) error = "in-order not sorted";
    prev = n;
  });
  return error;
}

}  // namespace vellum::heap

#endif  // VLM_MEMORY_RB_TREE_CHECK_H_
