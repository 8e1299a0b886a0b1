// Public header (part of vnbase.h, through common/vnstream.h).
// vnstl::map: an ordered map with unique keys, stored as a red-black tree with parent
// links, one heap node per element. Insert, find and erase are O(log n), also under the
// task runtime's pattern of ascending inserts and oldest-first erases. Iterators walk
// the keys in ascending order and stay valid until their own element is erased.
// Not thread-safe: the owner serialises access (the task runtime holds its queue lock).
//
// The library exports map<unsigned long, unsigned int> (ids and counts) and
// map<unsigned long, uintptr_t> (for values that are pointers: a pointer never passes
// through a 32-bit value). Other instantiations are compiled from this header.
//
//   vnstl::map<unsigned long, unsigned int> ids;
//   ids.insert(7, 1);
//   for (auto it = ids.begin(); it != ids.end(); ++it) use(it->first, it->second);
#pragma once

#include <stdint.h>

#include <utility>

#include "common/vnexport.h"

namespace vnstl {

template <class K, class V>
class map {
public:
    typedef K key_type;
    typedef V mapped_type;

    // One element. The key is fixed once the node is in the tree.
    struct node {
        node(const K& k, const V& v)
            : first(k), second(v), left(nullptr), right(nullptr), parent(nullptr), red(1) {}
        const K first;
        V second;
        node* left;
        node* right;
        node* parent;
        unsigned char red;  // 1 red, 0 black
    };

    // In-order (ascending key) iterators; end() holds no node.
    class iterator {
    public:
        iterator() : m_pNode(nullptr) {}
        explicit iterator(node* n) : m_pNode(n) {}
        node& operator*() const { return *m_pNode; }
        node* operator->() const { return m_pNode; }
        iterator& operator++() {
            m_pNode = map::successor(m_pNode);
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            m_pNode = map::successor(m_pNode);
            return old;
        }
        bool operator==(const iterator& o) const { return m_pNode == o.m_pNode; }
        bool operator!=(const iterator& o) const { return m_pNode != o.m_pNode; }
        node* get() const { return m_pNode; }

    private:
        node* m_pNode;
    };

    class const_iterator {
    public:
        const_iterator() : m_pNode(nullptr) {}
        explicit const_iterator(const node* n) : m_pNode(n) {}
        const_iterator(const iterator& it) : m_pNode(it.get()) {}
        const node& operator*() const { return *m_pNode; }
        const node* operator->() const { return m_pNode; }
        const_iterator& operator++() {
            m_pNode = map::successor(const_cast<node*>(m_pNode));
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& o) const { return m_pNode == o.m_pNode; }
        bool operator!=(const const_iterator& o) const { return m_pNode != o.m_pNode; }
        const node* get() const { return m_pNode; }

    private:
        const node* m_pNode;
    };

    map() : m_pRoot(nullptr), m_uSize(0) {}
    map(const map& other);
    map(map&& other) noexcept : m_pRoot(other.m_pRoot), m_uSize(other.m_uSize) {
        other.m_pRoot = nullptr;
        other.m_uSize = 0;
    }
    map& operator=(const map& other);
    map& operator=(map&& other) noexcept;
    ~map() { clear(); }

    // True when a node was added; false (map unchanged) when the key is present.
    bool insert(const K& key, const V& value);
    // The element's iterator and whether it was added.
    std::pair<iterator, bool> insert(const std::pair<K, V>& kv);
    // Overwrites the value of an existing key or inserts the pair.
    void set(const K& key, const V& value);
    // The value of key, inserted as V() (0) first when absent.
    V& operator[](const K& key);

    iterator find(const K& key) { return iterator(find_node(key)); }
    const_iterator find(const K& key) const { return const_iterator(find_node(key)); }
    // True when a node was removed.
    bool erase(const K& key);
    // Erases the iterator's element; false for end().
    bool erase(iterator it);

    // First element whose key is not less than key / greater than key.
    iterator lower_bound(const K& key) { return iterator(bound(key, false)); }
    iterator upper_bound(const K& key) { return iterator(bound(key, true)); }
    const_iterator lower_bound(const K& key) const { return const_iterator(bound(key, false)); }
    const_iterator upper_bound(const K& key) const { return const_iterator(bound(key, true)); }

    iterator begin() { return iterator(m_pRoot ? leftmost(m_pRoot) : nullptr); }
    iterator end() { return iterator(); }
    const_iterator begin() const { return const_iterator(m_pRoot ? leftmost(m_pRoot) : nullptr); }
    const_iterator end() const { return const_iterator(); }

    unsigned size() const { return m_uSize; }
    bool empty() const { return m_uSize == 0; }
    // Frees every node (children before their parent) and resets root and count.
    void clear();
    void swap(map& other) noexcept {
        std::swap(m_pRoot, other.m_pRoot);
        std::swap(m_uSize, other.m_uSize);
    }

    // The tree itself, for checks of its shape and colours.
    const node* root() const { return m_pRoot; }

private:
    static node* leftmost(node* n) {
        while (n->left)
            n = n->left;
        return n;
    }
    static node* successor(node* n);
    node* find_node(const K& key) const;
    node* bound(const K& key, bool upper) const;
    // Inserts a new node for key unless present; returns the node and whether it is new.
    std::pair<node*, bool> insert_node(const K& key, const V& value);
    void insert_fixup(node* z);
    void erase_node(node* z);
    void erase_fixup(node* x, node* parent);
    void rotate_left(node* x);
    void rotate_right(node* x);
    void transplant(node* u, node* v);
    static node* clone(const node* src, node* parent);

    node* m_pRoot;
    unsigned m_uSize;
};

template <class K, class V>
map<K, V>::map(const map& other) : m_pRoot(nullptr), m_uSize(0) {
    m_pRoot = clone(other.m_pRoot, nullptr);
    m_uSize = other.m_uSize;
}

template <class K, class V>
map<K, V>& map<K, V>::operator=(const map& other) {
    if (this != &other) {
        map copy(other);
        swap(copy);
    }
    return *this;
}

template <class K, class V>
map<K, V>& map<K, V>::operator=(map&& other) noexcept {
    if (this != &other) {
        clear();
        swap(other);
    }
    return *this;
}

template <class K, class V>
bool map<K, V>::insert(const K& key, const V& value) {
    return insert_node(key, value).second;
}

template <class K, class V>
std::pair<typename map<K, V>::iterator, bool> map<K, V>::insert(const std::pair<K, V>& kv) {
    std::pair<node*, bool> r = insert_node(kv.first, kv.second);
    return std::pair<iterator, bool>(iterator(r.first), r.second);
}

template <class K, class V>
void map<K, V>::set(const K& key, const V& value) {
    std::pair<node*, bool> r = insert_node(key, value);
    if (!r.second) r.first->second = value;
}

template <class K, class V>
V& map<K, V>::operator[](const K& key) {
    return insert_node(key, V()).first->second;
}

template <class K, class V>
bool map<K, V>::erase(const K& key) {
    node* n = find_node(key);
    if (!n) return false;
    erase_node(n);
    return true;
}

template <class K, class V>
bool map<K, V>::erase(iterator it) {
    if (!it.get()) return false;
    erase_node(it.get());
    return true;
}

template <class K, class V>
void map<K, V>::clear() {
    // Post-order without a stack: descend to a leaf, free it, unhook it from its parent
    // and continue from the parent.
    node* n = m_pRoot;
    while (n) {
        if (n->left) {
            n = n->left;
        } else if (n->right) {
            n = n->right;
        } else {
            node* p = n->parent;
            if (p) {
                if (p->left == n)
                    p->left = nullptr;
                else
                    p->right = nullptr;
            }
            delete n;
            n = p;
        }
    }
    m_pRoot = nullptr;
    m_uSize = 0;
}

template <class K, class V>
typename map<K, V>::node* map<K, V>::successor(node* n) {
    if (n->right) return leftmost(n->right);
    node* p = n->parent;
    while (p && n == p->right) {
        n = p;
        p = p->parent;
    }
    return p;
}

template <class K, class V>
typename map<K, V>::node* map<K, V>::find_node(const K& key) const {
    // One comparison per level down to the lower bound, then one equality test: the
    // descent has no data-dependent branch to mispredict (compilers select the child
    // with a conditional move), which matters more than stopping early at a match.
    node* n = bound(key, false);
    return (n && !(key < n->first)) ? n : nullptr;
}

template <class K, class V>
typename map<K, V>::node* map<K, V>::bound(const K& key, bool upper) const {
    node* n = m_pRoot;
    node* best = nullptr;
    if (upper) {
        while (n) {
            bool goleft = key < n->first;
            best = goleft ? n : best;
            n = goleft ? n->left : n->right;
        }
    } else {
        while (n) {
            bool goleft = !(n->first < key);
            best = goleft ? n : best;
            n = goleft ? n->left : n->right;
        }
    }
    return best;
}

template <class K, class V>
std::pair<typename map<K, V>::node*, bool> map<K, V>::insert_node(const K& key, const V& value) {
    node* parent = nullptr;
    node* n = m_pRoot;
    bool left = false;
    while (n) {
        parent = n;
        if (key < n->first) {
            n = n->left;
            left = true;
        } else if (n->first < key) {
            n = n->right;
            left = false;
        } else {
            return std::pair<node*, bool>(n, false);
        }
    }
    node* z = new node(key, value);
    z->parent = parent;
    if (!parent)
        m_pRoot = z;
    else if (left)
        parent->left = z;
    else
        parent->right = z;
    ++m_uSize;
    insert_fixup(z);
    return std::pair<node*, bool>(z, true);
}

template <class K, class V>
void map<K, V>::insert_fixup(node* z) {
    while (z->parent && z->parent->red) {
        node* p = z->parent;
        node* g = p->parent;  // exists: a red parent is never the root
        if (p == g->left) {
            node* u = g->right;
            if (u && u->red) {
                p->red = 0;
                u->red = 0;
                g->red = 1;
                z = g;
            } else {
                if (z == p->right) {
                    z = p;
                    rotate_left(z);
                    p = z->parent;
                }
                p->red = 0;
                g->red = 1;
                rotate_right(g);
            }
        } else {
            node* u = g->left;
            if (u && u->red) {
                p->red = 0;
                u->red = 0;
                g->red = 1;
                z = g;
            } else {
                if (z == p->left) {
                    z = p;
                    rotate_right(z);
                    p = z->parent;
                }
                p->red = 0;
                g->red = 1;
                rotate_left(g);
            }
        }
    }
    m_pRoot->red = 0;
}

template <class K, class V>
void map<K, V>::erase_node(node* z) {
    // Standard red-black deletion with absent leaves: x is the node that moves into the
    // removed position (possibly null), xparent its parent, so that the fix-up can find
    // the sibling even when x is null.
    node* x;
    node* xparent;
    unsigned char removedred = z->red;
    if (!z->left) {
        x = z->right;
        xparent = z->parent;
        transplant(z, z->right);
    } else if (!z->right) {
        x = z->left;
        xparent = z->parent;
        transplant(z, z->left);
    } else {
        node* y = leftmost(z->right);
        removedred = y->red;
        x = y->right;
        if (y->parent == z) {
            xparent = y;
        } else {
            xparent = y->parent;
            transplant(y, y->right);
            y->right = z->right;
            y->right->parent = y;
        }
        transplant(z, y);
        y->left = z->left;
        y->left->parent = y;
        y->red = z->red;
    }
    delete z;
    --m_uSize;
    if (!removedred) erase_fixup(x, xparent);
}

template <class K, class V>
void map<K, V>::erase_fixup(node* x, node* parent) {
    // x carries an extra black. Its sibling exists while x is not the root: the sibling's
    // side had at least one black node more than x's side.
    while (x != m_pRoot && (!x || !x->red)) {
        if (x == parent->left) {
            node* w = parent->right;
            if (w->red) {
                w->red = 0;
                parent->red = 1;
                rotate_left(parent);
                w = parent->right;
            }
            if ((!w->left || !w->left->red) && (!w->right || !w->right->red)) {
                w->red = 1;
                x = parent;
                parent = x->parent;
            } else {
                if (!w->right || !w->right->red) {
                    w->left->red = 0;
                    w->red = 1;
                    rotate_right(w);
                    w = parent->right;
                }
                w->red = parent->red;
                parent->red = 0;
                if (w->right) w->right->red = 0;
                rotate_left(parent);
                x = m_pRoot;
                parent = nullptr;
            }
        } else {
            node* w = parent->left;
            if (w->red) {
                w->red = 0;
                parent->red = 1;
                rotate_right(parent);
                w = parent->left;
            }
            if ((!w->left || !w->left->red) && (!w->right || !w->right->red)) {
                w->red = 1;
                x = parent;
                parent = x->parent;
            } else {
                if (!w->left || !w->left->red) {
                    w->right->red = 0;
                    w->red = 1;
                    rotate_left(w);
                    w = parent->left;
                }
                w->red = parent->red;
                parent->red = 0;
                if (w->left) w->left->red = 0;
                rotate_right(parent);
                x = m_pRoot;
                parent = nullptr;
            }
        }
    }
    if (x) x->red = 0;
}

template <class K, class V>
void map<K, V>::rotate_left(node* x) {
    node* y = x->right;
    x->right = y->left;
    if (y->left) y->left->parent = x;
    y->parent = x->parent;
    if (!x->parent)
        m_pRoot = y;
    else if (x == x->parent->left)
        x->parent->left = y;
    else
        x->parent->right = y;
    y->left = x;
    x->parent = y;
}

template <class K, class V>
void map<K, V>::rotate_right(node* x) {
    node* y = x->left;
    x->left = y->right;
    if (y->right) y->right->parent = x;
    y->parent = x->parent;
    if (!x->parent)
        m_pRoot = y;
    else if (x == x->parent->right)
        x->parent->right = y;
    else
        x->parent->left = y;
    y->right = x;
    x->parent = y;
}

template <class K, class V>
void map<K, V>::transplant(node* u, node* v) {
    if (!u->parent)
        m_pRoot = v;
    else if (u == u->parent->left)
        u->parent->left = v;
    else
        u->parent->right = v;
    if (v) v->parent = u->parent;
}

template <class K, class V>
typename map<K, V>::node* map<K, V>::clone(const node* src, node* parent) {
    // Parent first, then its subtrees: the copy has the same shape and colours, so it
    // is balanced without rebalancing. The depth is bounded by 2 log2(n).
    if (!src) return nullptr;
    node* n = new node(src->first, src->second);
    n->red = src->red;
    n->parent = parent;
    n->left = clone(src->left, n);
    n->right = clone(src->right, n);
    return n;
}

// Instantiated and exported by the library.
extern template class VN_EXPORT map<unsigned long, unsigned int>;
extern template class VN_EXPORT map<unsigned long, uintptr_t>;

}  // namespace vnstl
