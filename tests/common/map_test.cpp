// vnstl::map: the documented edge cases, random operation sequences against std::map with
// the red-black invariants checked after each step, and the task runtime's pattern of
// ascending inserts with oldest-first erases staying logarithmic.
#include "common/vnstream.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>

#include <map>
#include <random>
#include <vector>

namespace {

typedef vnstl::map<unsigned long, unsigned int> IdMap;

// Checks parent links, key order, colours (red nodes have black children, the root is
// black) and equal black height on every path. Returns the tree height; fails the test
// on a violation.
template <class M>
int CheckTree(const M& m) {
    typedef typename M::node Node;
    const Node* root = m.root();
    if (!root) {
        EXPECT_EQ(0u, m.size());
        return 0;
    }
    EXPECT_EQ(nullptr, root->parent);
    EXPECT_EQ(0, root->red) << "root must be black";
    unsigned count = 0;
    int height = 0;
    int blackheight = -1;
    // Iterative walk that carries the depth, the black count and the key bounds.
    struct Frame {
        const Node* n;
        int depth;
        int blacks;
        const Node* lo;
        const Node* hi;
    };
    std::vector<Frame> stack{{root, 1, 0, nullptr, nullptr}};
    while (!stack.empty()) {
        Frame f = stack.back();
        stack.pop_back();
        const Node* n = f.n;
        ++count;
        if (f.depth > height) height = f.depth;
        EXPECT_TRUE(!f.lo || f.lo->first < n->first) << "key order at " << n->first;
        EXPECT_TRUE(!f.hi || n->first < f.hi->first) << "key order at " << n->first;
        int blacks = f.blacks + (n->red ? 0 : 1);
        EXPECT_FALSE(n->red && ((n->left && n->left->red) || (n->right && n->right->red)))
            << "red node " << n->first << " has a red child";
        if (!n->left || !n->right) {
            if (blackheight < 0) blackheight = blacks;
            EXPECT_EQ(blackheight, blacks) << "black height differs below " << n->first;
        }
        if (n->left) {
            EXPECT_EQ(n, n->left->parent);
            stack.push_back({n->left, f.depth + 1, blacks, f.lo, n});
        }
        if (n->right) {
            EXPECT_EQ(n, n->right->parent);
            stack.push_back({n->right, f.depth + 1, blacks, n, f.hi});
        }
    }
    EXPECT_EQ(m.size(), count);
    // A red-black tree of n nodes is at most 2 log2(n + 1) high.
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

// Forms the random sequences below do not use: the pair insert, the const lookups,
// post-increment and erasing at end().
TEST(VnMap, PairInsertConstLookupsAndEraseAtEnd) {
    IdMap m;
    EXPECT_TRUE(m.empty());
    for (unsigned long k = 10; k <= 50; k += 10)
        m.insert(k, (unsigned)k);
    std::pair<IdMap::iterator, bool> r = m.insert(std::pair<unsigned long, unsigned>(20, 1));
    EXPECT_FALSE(r.second);
    EXPECT_EQ(20u, r.first->second);
    r = m.insert(std::pair<unsigned long, unsigned>(5, 7));
    EXPECT_TRUE(r.second);
    EXPECT_EQ(7u, r.first->second);
    EXPECT_FALSE(m.erase(m.end()));
    CheckTree(m);
    const IdMap& c = m;
    EXPECT_EQ(40u, c.find(40)->second);
    EXPECT_TRUE(c.find(41) == c.end());
    EXPECT_EQ(50ul, c.upper_bound(40)->first);
    EXPECT_EQ(50ul, c.lower_bound(45)->first);
    unsigned long sum = 0;
    for (IdMap::const_iterator it = c.begin(); it != c.end(); it++)
        sum += it->first;
    EXPECT_EQ(155ul, sum);
}

TEST(VnMap, CopyClearAndMove) {
    IdMap m;
    for (unsigned long k = 0; k < 100; ++k)
        m.insert(k * 7 % 101, (unsigned)k);
    IdMap copy(m);
    CheckTree(copy);
    std::map<unsigned long, unsigned> ref;
    for (auto it = m.begin(); it != m.end(); ++it)
        ref[it->first] = it->second;
    ExpectSame(copy, ref);
    copy.erase(7);
    EXPECT_TRUE(m.find(7) != m.end());  // deep copy
    IdMap assigned;
    assigned.insert(1000, 1);
    assigned = m;
    ExpectSame(assigned, ref);
    const IdMap& self = assigned;
    assigned = self;  // self-assignment keeps the content
    ExpectSame(assigned, ref);
    IdMap moved(static_cast<IdMap&&>(assigned));
    EXPECT_TRUE(assigned.empty());
    ExpectSame(moved, ref);
    m.clear();
    EXPECT_EQ(0u, m.size());
    EXPECT_TRUE(m.begin() == m.end());
    EXPECT_EQ(nullptr, m.root());
    m.insert(3, 3);  // usable after clear
    EXPECT_EQ(1u, m.size());
}

TEST(VnMap, PointerValuesKeepAllBits) {
    vnstl::map<unsigned long, uintptr_t> m;
    int local = 0;
    uintptr_t p = reinterpret_cast<uintptr_t>(&local);
    uintptr_t high = (uintptr_t)0xFEDCBA9876543210ull;
    m.insert(1, p);
    m.insert(2, high);
    EXPECT_EQ(&local, reinterpret_cast<int*>(m.find(1)->second));
    EXPECT_EQ(high, m[2]);
    static_assert(sizeof(uintptr_t) == sizeof(void*), "pointer-sized values");
    vnstl::map<unsigned long, void*> pm;  // any other instantiation compiles from the header
    pm[reinterpret_cast<unsigned long>(&local)] = &local;
    EXPECT_EQ(&local, pm.begin()->second);
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
            case 6: {
                auto it = m.lower_bound(key);
                auto rit = ref.lower_bound(key);
                ASSERT_EQ(rit == ref.end(), it == m.end());
                if (it != m.end()) {
                    ASSERT_EQ(rit->first, it->first);
                    ref.erase(rit);
                    ASSERT_TRUE(m.erase(it));
                }
                break;
            }
            default: {
                auto it = m.upper_bound(key);
                auto rit = ref.upper_bound(key);
                ASSERT_EQ(rit == ref.end(), it == m.end());
                if (it != m.end()) {
                    ASSERT_EQ(rit->first, it->first);
                }
                ASSERT_EQ(ref.count(key) == 1, m.find(key) != m.end());
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

// The task runtime hands out ascending ids and retires the oldest: the tree must stay
// balanced instead of degenerating into a list.
TEST(VnMap, AscendingInsertOldestEraseStaysLogarithmic) {
    IdMap m;
    const unsigned long kWindow = 10000;
    unsigned long next = 1;
    for (; next <= kWindow; ++next)
        m.insert(next, 1);
    for (int i = 0; i < 200000; ++i) {
        ASSERT_EQ(next - kWindow, m.begin()->first);
        ASSERT_TRUE(m.erase(m.begin()));
        ASSERT_TRUE(m.insert(next++, 1));
    }
    int height = CheckTree(m);
    EXPECT_LE(height, 2 * 14 + 1);  // log2(10001) < 14
}

}  // namespace
