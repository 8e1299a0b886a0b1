// vnstl::map: the documented edge cases, random operation sequences against std::map with
// the red-black invariants (and so a logarithmic height) checked as it goes.
#include "common/vnstream.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

typedef vnstl::map<unsigned long, unsigned int> IdMap;

// Checks the subtree below n: parent links, key order within (lo, hi), no red node under
// a red one, the same number of black nodes on every path. Returns that number, and
// counts the nodes and the deepest level.
template <class Node>
int CheckNode(const Node* n, const Node* parent, const Node* lo, const Node* hi, int depth,
              unsigned* count, int* height) {
    if (!n) return 0;
    ++*count;
    *height = std::max(*height, depth);
    EXPECT_EQ(parent, n->parent);
    EXPECT_TRUE((!lo || lo->first < n->first) && (!hi || n->first < hi->first)) << n->first;
    EXPECT_FALSE(n->red && parent && parent->red) << "red under red at " << n->first;
    int left = CheckNode(n->left, n, lo, n, depth + 1, count, height);
    int right = CheckNode(n->right, n, n, hi, depth + 1, count, height);
    EXPECT_EQ(left, right) << "black height differs below " << n->first;
    return left + (n->red ? 0 : 1);
}

// Checks the whole tree (a black root, every node counted) and returns its height, which
// for n nodes is at most 2 log2(n + 1).
template <class M>
int CheckTree(const M& m) {
    unsigned count = 0;
    int height = 0;
    EXPECT_FALSE(m.root() && m.root()->red) << "root must be black";
    CheckNode<typename M::node>(m.root(), nullptr, nullptr, nullptr, 1, &count, &height);
    EXPECT_EQ(m.size(), count);
    EXPECT_LE(height, 2 * log2((double)count + 1) + 1e-9);
    return height;
}

template <class M, class S>
void ExpectSame(const M& m, const S& ref) {
    ASSERT_EQ(ref.size(), m.size());
    auto r = ref.begin();
    for (auto it = m.begin(); it != m.end(); ++it, ++r) {
        ASSERT_EQ(r->first, it->first);
        ASSERT_EQ(r->second, it->second);
    }
}

// Forms the random sequences below do not use: the pair insert, const lookups, erasing at
// end(), copies and clear.
TEST(VnMap, PairInsertConstLookupsAndCopies) {
    IdMap m;
    for (unsigned long k = 10; k <= 50; k += 10)
        m.insert(k, (unsigned)k);
    std::pair<IdMap::iterator, bool> r = m.insert(std::pair<unsigned long, unsigned>(20, 1));
    EXPECT_TRUE(!r.second && r.first->second == 20u);
    r = m.insert(std::pair<unsigned long, unsigned>(5, 7));
    EXPECT_TRUE(r.second && r.first->second == 7u);
    EXPECT_FALSE(m.erase(m.end()));
    const IdMap& c = m;
    EXPECT_TRUE(c.find(41) == c.end());
    EXPECT_EQ(50ul, c.upper_bound(40)->first);
    EXPECT_EQ(50ul, c.lower_bound(45)->first);

    const std::map<unsigned long, unsigned> ref = {{5, 7},   {10, 10}, {20, 20},
                                                   {30, 30}, {40, 40}, {50, 50}};
    IdMap copy(m), assigned;
    assigned.insert(1000, 1);
    assigned = copy;
    copy.erase(20);
    EXPECT_TRUE(m.find(20) != m.end());  // deep copy
    const IdMap& self = assigned;
    assigned = self;  // self-assignment keeps the content
    CheckTree(assigned);
    ExpectSame(assigned, ref);
    m.clear();
    EXPECT_TRUE(m.begin() == m.end() && m.root() == nullptr && m.size() == 0);
}

TEST(VnMap, RandomOperationsMatchStdMap) {
    std::mt19937 rng(12345);
    IdMap m;
    std::map<unsigned long, unsigned> ref;
    for (int step = 0; step < 40000; ++step) {
        unsigned long key = rng() % 600;
        unsigned value = rng();
        switch (rng() % 8) {
            case 0:
            case 1: {
                bool added = ref.insert({key, value}).second;
                ASSERT_EQ(added, m.insert(key, value));
                break;
            }
            case 2:
                ref[key] = value;
                m.set(key, value);
                break;
            case 3:
                ASSERT_EQ(ref[key], m[key]);
                break;
            case 4:
            case 5:
                ASSERT_EQ(ref.erase(key) == 1, m.erase(key));
                break;
            default: {  // erase at lower_bound, or check upper_bound and find
                auto it = rng() % 2 ? m.lower_bound(key) : m.upper_bound(key);
                auto rit = ref.upper_bound(key);
                if (it != m.end() && it->first == key) rit = ref.find(key);
                ASSERT_EQ(rit == ref.end(), it == m.end());
                if (it == m.end()) break;
                ASSERT_EQ(rit->first, it->first);
                if (step % 2) {
                    ref.erase(rit);
                    ASSERT_TRUE(m.erase(it));
                }
                break;
            }
        }
        if (step % 97 == 0) {
            CheckTree(m);
            ExpectSame(m, ref);
            if (HasFailure()) return;
        }
    }
    CheckTree(m);
    ExpectSame(m, ref);
    // Drain in random order, checking as the tree empties.
    std::vector<unsigned long> keys;
    for (auto& kv : ref)
        keys.push_back(kv.first);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(m.erase(keys[i]));
        if (i % 13 == 0) CheckTree(m);
    }
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(nullptr, m.root());
}

}  // namespace
