// Intrusive red-black tree used by every ordered index of the allocator.
//
// The two links live inside the indexed record (an RbNode member); the tree
// owns one sentinel node that stands for every empty child, and a node's
// colour is the lowest bit of its right link (set = red). Nothing here
// allocates, so the allocator can keep its indexes without calling itself.
// Insertion and removal walk down from the root and keep the path on the
// stack instead of parent links.
//
// Traits supplies `static int Compare(const RbNode* a, const RbNode* b)`, a
// total order (negative, zero or positive). Searches take a probe callable
// `int(const RbNode*)` that compares the wanted key with a node the same way.
// Not thread-safe: callers hold the lock of the structure owning the tree.
#ifndef VLM_MEMORY_RB_TREE_H_
#define VLM_MEMORY_RB_TREE_H_

#include <cstddef>
#include <cstdint>

namespace vellum::heap {

struct RbNode {
  RbNode* left;
  uintptr_t right_red;  // right child | red bit

  RbNode* right() const { return reinterpret_cast<RbNode*>(right_red & ~uintptr_t{1}); }
  bool red() const { return right_red & 1; }
  void set_right(RbNode* n) { right_red = reinterpret_cast<uintptr_t>(n) | (right_red & 1); }
  void set_red(bool red) { right_red = (right_red & ~uintptr_t{1}) | (red ? 1 : 0); }
};

// Record that embeds `member` (an RbNode) and is reached through it.
template <typename T, RbNode T::*member>
inline T* RbOwner(const RbNode* node) {
  const T* zero = nullptr;
  size_t offset = reinterpret_cast<size_t>(&(zero->*member));
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(node) - offset);
}

template <typename Traits>
class RbTree {
 public:
  // Deepest possible path: a red-black tree of n nodes is at most
  // 2 log2(n + 1) deep, and fewer than 2^64 nodes fit in memory.
  static constexpr int kMaxDepth = 130;

  // Makes the tree empty. Trees start zero-filled (static state or base
  // memory), which is not yet a valid tree: their owner calls Init once
  // before any other operation.
  void Init() {
    nil_.left = &nil_;
    nil_.right_red = reinterpret_cast<uintptr_t>(&nil_);
    root_ = &nil_;
  }

  bool empty() const { return root_ == &nil_; }
  const RbNode* nil() const { return &nil_; }
  RbNode* root() const { return root_; }

  RbNode* First() const {
    RbNode* n = root_;
    if (n == &nil_) return nullptr;
    while (n->left != &nil_) n = n->left;
    return n;
  }

  RbNode* Last() const {
    RbNode* n = root_;
    if (n == &nil_) return nullptr;
    while (n->right() != &nil_) n = n->right();
    return n;
  }

  // Node equal to the probe's key, or null.
  template <typename Probe>
  RbNode* Search(Probe probe) const {
    RbNode* n = root_;
    while (n != &nil_) {
      int c = probe(n);
      if (c == 0) return n;
      n = c < 0 ? n->left : n->right();
    }
    return nullptr;
  }

  // Smallest node not below the probe's key, or null.
  template <typename Probe>
  RbNode* SearchNotBelow(Probe probe) const {
    RbNode* n = root_;
    RbNode* best = nullptr;
    while (n != &nil_) {
      int c = probe(n);
      if (c == 0) return n;
      if (c < 0) {
        best = n;
        n = n->left;
      } else {
        n = n->right();
      }
    }
    return best;
  }

  // Greatest node below `node` (which is in the tree), or null.
  RbNode* Prev(const RbNode* node) const {
    RbNode* n = root_;
    RbNode* best = nullptr;
    while (n != &nil_) {
      if (n == node) {
        if (n->left == &nil_) return best;
        n = n->left;
        while (n->right() != &nil_) n = n->right();
        return n;
      }
      if (Traits::Compare(node, n) < 0) {
        n = n->left;
      } else {
        best = n;
        n = n->right();
      }
    }
    return best;
  }

  // Smallest node above `node` (which is in the tree), or null.
  RbNode* Next(const RbNode* node) const {
    RbNode* n = root_;
    RbNode* best = nullptr;
    while (n != &nil_) {
      if (n == node) {
        if (n->right() == &nil_) return best;
        n = n->right();
        while (n->left != &nil_) n = n->left;
        return n;
      }
      if (Traits::Compare(node, n) < 0) {
        best = n;
        n = n->left;
      } else {
        n = n->right();
      }
    }
    return best;
  }

  // In-order traversal; `visit(RbNode*)` must not change the tree.
  template <typename Visit>
  void ForEach(Visit visit) const {
    RbNode* stack[kMaxDepth];
    int depth = 0;
    RbNode* n = root_;
    while (n != &nil_ || depth > 0) {
      while (n != &nil_) {
        stack[depth++] = n;
        n = n->left;
      }
      n = stack[--depth];
      visit(n);
      n = n->right();
    }
  }

  void Insert(RbNode* node) {
    node->left = &nil_;
    node->right_red = reinterpret_cast<uintptr_t>(&nil_) | 1;
    RbNode* path[kMaxDepth];
    int k = 0;
    RbNode* n = root_;
    while (n != &nil_) {
      path[k++] = n;
      n = Traits::Compare(node, n) < 0 ? n->left : n->right();
    }
    if (k == 0) {
      root_ = node;
      node->set_red(false);
      return;
    }
    RbNode* parent = path[k - 1];
    if (Traits::Compare(node, parent) < 0) {
      parent->left = node;
    } else {
      parent->set_right(node);
    }
    path[k] = node;
    // path[k] is red; repair while its parent is red too.
    while (k >= 2 && path[k - 1]->red()) {
      RbNode* x = path[k];
      RbNode* p = path[k - 1];
      RbNode* g = path[k - 2];
      bool p_left = g->left == p;
      RbNode* uncle = p_left ? g->right() : g->left;
      if (uncle->red()) {
        p->set_red(false);
        uncle->set_red(false);
        g->set_red(true);
        k -= 2;
        continue;
      }
      if (p_left) {
        if (p->right() == x) {
          RotateLeft(p);
          g->left = x;
          p = x;
        }
        RbNode* top = RotateRight(g);
        Replace(k >= 3 ? path[k - 3] : nullptr, g, top);
      } else {
        if (p->left == x) {
          RotateRight(p);
          g->set_right(x);
          p = x;
        }
        RbNode* top = RotateLeft(g);
        Replace(k >= 3 ? path[k - 3] : nullptr, g, top);
      }
      p->set_red(false);
      g->set_red(true);
      break;
    }
    root_->set_red(false);
  }

  void Remove(RbNode* node) {
    RbNode* path[kMaxDepth];
    int k = 0;
    RbNode* n = root_;
    while (n != node) {
      path[k++] = n;
      n = Traits::Compare(node, n) < 0 ? n->left : n->right();
    }
    int zk = k;  // index of node in path
    path[k++] = node;
    if (node->left != &nil_ && node->right() != &nil_) {
      // Swap node with its in-order successor so that it has at most one
      // child; records cannot be copied, so the two swap places.
      RbNode* y = node->right();
      path[k++] = y;
      while (y->left != &nil_) {
        y = y->left;
        path[k++] = y;
      }
      RbNode* zp = zk > 0 ? path[zk - 1] : nullptr;
      bool z_red = node->red();
      bool y_red = y->red();
      if (path[k - 2] == node) {
        // y is node's right child.
        RbNode* y_right = y->right();
        y->left = node->left;
        y->set_right(node);
        node->left = &nil_;
        node->set_right(y_right);
      } else {
        RbNode* yp = path[k - 2];
        RbNode* y_right = y->right();
        y->left = node->left;
        y->set_right(node->right());
        node->left = &nil_;
        node->set_right(y_right);
        yp->left = node;
      }
      y->set_red(z_red);
      node->set_red(y_red);
      Replace(zp, node, y);
      path[zk] = y;
      path[k - 1] = node;
    }
    // node has at most one child and sits at path[k - 1].
    --k;
    RbNode* child = node->left != &nil_ ? node->left : node->right();
    RbNode* parent = k > 0 ? path[k - 1] : nullptr;
    bool child_left = parent != nullptr && parent->left == node;
    Replace(parent, node, child);
    if (node->red()) return;
    if (child->red()) {
      child->set_red(false);
      return;
    }
    // `child` carries an extra black; path[0..k-1] are its ancestors.
    RbNode* x = child;
    while (k > 0) {
      RbNode* p = path[k - 1];
      RbNode* gp = k >= 2 ? path[k - 2] : nullptr;
      if (child_left) {
        RbNode* w = p->right();
        if (w->red()) {
          w->set_red(false);
          p->set_red(true);
          RotateLeft(p);
          Replace(gp, p, w);
          // w is now p's parent: put it on the path.
          path[k - 1] = w;
          path[k] = p;
          ++k;
          gp = w;
          w = p->right();
        }
        if (!w->left->red() && !w->right()->red()) {
          w->set_red(true);
          x = p;
        } else {
          if (!w->right()->red()) {
            w->left->set_red(false);
            w->set_red(true);
            RbNode* top = RotateRight(w);
            p->set_right(top);
            w = top;
          }
          w->set_red(p->red());
          p->set_red(false);
          w->right()->set_red(false);
          RotateLeft(p);
          Replace(gp, p, w);
          x = root_;
          break;
        }
      } else {
        RbNode* w = p->left;
        if (w->red()) {
          w->set_red(false);
          p->set_red(true);
          RotateRight(p);
          Replace(gp, p, w);
          path[k - 1] = w;
          path[k] = p;
          ++k;
          gp = w;
          w = p->left;
        }
        if (!w->left->red() && !w->right()->red()) {
          w->set_red(true);
          x = p;
        } else {
          if (!w->left->red()) {
            w->right()->set_red(false);
            w->set_red(true);
            RbNode* top = RotateLeft(w);
            p->left = top;
            w = top;
          }
          w->set_red(p->red());
          p->set_red(false);
          w->left->set_red(false);
          RotateRight(p);
          Replace(gp, p, w);
          x = root_;
          break;
        }
      }
      // Move the extra black up to p.
      if (x->red()) break;
      --k;
      child_left = k > 0 && path[k - 1]->left == x;
    }
    x->set_red(false);
    nil_.set_red(false);
  }

 private:
  // Rotations return the new top of the rotated subtree; the caller links it
  // into the parent.
  RbNode* RotateLeft(RbNode* n) {
    RbNode* r = n->right();
    n->set_right(r->left);
    r->left = n;
    return r;
  }
  RbNode* RotateRight(RbNode* n) {
    RbNode* l = n->left;
    n->left = l->right();
    l->set_right(n);
    return l;
  }
  // Puts `to` where `from` was below `parent` (null parent: the root).
  void Replace(RbNode* parent, RbNode* from, RbNode* to) {
    if (parent == nullptr) {
      root_ = to;
    } else if (parent->left == from) {
      parent->left = to;
    } else {
      parent->set_right(to);
    }
  }

  RbNode* root_;
  RbNode nil_;
};

}  // namespace vellum::heap

#endif  // VLM_MEMORY_RB_TREE_H_
