#include "memory/rb_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "memory/rb_tree_check.h"

namespace vellum::heap {
namespace {

// Records with duplicate keys, told apart by their address (like the
// allocator's size-then-address orders).
struct Item {
  int key;
  RbNode link;
};

Item* ItemOf(const RbNode* n) { return RbOwner<Item, &Item::link>(n); }

struct ItemOrder {
  static int Compare(const RbNode* a, const RbNode* b) {
    int ka = ItemOf(a)->key, kb = ItemOf(b)->key;
    if (ka != kb) return ka < kb ? -1 : 1;
    return a < b ? -1 : a > b ? 1 : 0;
  }
};

using Tree = RbTree<ItemOrder>;
using Ref = std::map<std::pair<int, const Item*>, Item*>;

void ExpectSame(const Tree& tree, const Ref& ref) {
  ASSERT_EQ(CheckRbTree(tree), "");
  std::vector<Item*> got;
  tree.ForEach([&](RbNode* n) { got.push_back(ItemOf(n)); });
  ASSERT_EQ(got.size(), ref.size());
  size_t i = 0;
  for (auto& [k, item] : ref) ASSERT_EQ(got[i++], item);
  if (ref.empty()) {
    EXPECT_TRUE(tree.empty());
    EXPECT_EQ(tree.First(), nullptr);
    EXPECT_EQ(tree.Last(), nullptr);
  } else {
    EXPECT_EQ(ItemOf(tree.First()), ref.begin()->second);
    EXPECT_EQ(ItemOf(tree.Last()), ref.rbegin()->second);
  }
}

TEST(RbTree, RandomInsertRemoveMatchesOrderedMap) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    std::vector<Item> items(200 + round * 37);
    Tree tree;
    tree.Init();
    Ref ref;
    std::vector<bool> in(items.size());
    for (int step = 0; step < 3000; ++step) {
      size_t i = rng() % items.size();
      Item* it = &items[i];
      if (!in[i]) {
        it->key = static_cast<int>(rng() % 50);  // many duplicates
        tree.Insert(&it->link);
        ref[{it->key, it}] = it;
      } else {
        tree.Remove(&it->link);
        ref.erase({it->key, it});
      }
      in[i] = !in[i];
      if (step % 97 == 0) ExpectSame(tree, ref);
    }
    ExpectSame(tree, ref);
    // Drain in random order down to empty.
    for (size_t i = 0; i < items.size(); ++i) {
      if (in[i]) {
        tree.Remove(&items[i].link);
        ref.erase({items[i].key, &items[i]});
      }
    }
    ExpectSame(tree, ref);
  }
}

TEST(RbTree, SearchesAndNeighbours) {
  std::mt19937 rng(99);
  std::vector<Item> items(300);
  Tree tree;
  tree.Init();
  Ref ref;
  for (auto& it : items) {
    it.key = static_cast<int>(rng() % 1000) * 2;  // even keys only
    tree.Insert(&it.link);
    ref[{it.key, &it}] = &it;
  }
  ASSERT_EQ(CheckRbTree(tree), "");
  for (int key = -1; key <= 2001; ++key) {
    // Lowest element with a key not below `key` (ties: lowest address).
    RbNode* got = tree.SearchNotBelow([key](const RbNode* n) { return key <= ItemOf(n)->key ? -1 : 1; });
    auto want = ref.lower_bound({key, nullptr});
    if (want == ref.end()) {
      EXPECT_EQ(got, nullptr) << key;
    } else {
      EXPECT_EQ(ItemOf(got), want->second) << key;
    }
    RbNode* exact = tree.Search([key](const RbNode* n) {
      int k = ItemOf(n)->key;
      return key < k ? -1 : key > k ? 1 : 0;
    });
    EXPECT_EQ(exact != nullptr, want != ref.end() && want->first.first == key) << key;
  }
  // Prev and Next walk the whole order both ways.
  for (auto it = ref.begin(); it != ref.end(); ++it) {
    RbNode* prev = tree.Prev(&it->second->link);
    RbNode* next = tree.Next(&it->second->link);
    if (it == ref.begin()) {
      EXPECT_EQ(prev, nullptr);
    } else {
      EXPECT_EQ(ItemOf(prev), std::prev(it)->second);
    }
    if (std::next(it) == ref.end()) {
      EXPECT_EQ(next, nullptr);
    } else {
      EXPECT_EQ(ItemOf(next), std::next(it)->second);
    }
  }
}

TEST(RbTree, ColourLivesInTheRightLink) {
  Item a{1, {}}, b{2, {}};
  Tree tree;
  tree.Init();
  tree.Insert(&a.link);
  tree.Insert(&b.link);
  // b is a red right child of the black root a.
  EXPECT_FALSE(a.link.red());
  EXPECT_EQ(a.link.right(), &b.link);
  EXPECT_EQ(a.link.right_red & 1, 0u);
  EXPECT_EQ(b.link.right_red & 1, 1u);
  EXPECT_EQ(b.link.right(), tree.nil());
}

}  // namespace
}  // namespace vellum::heap
