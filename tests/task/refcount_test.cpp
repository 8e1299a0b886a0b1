// Reference counting, scope calls and scope holders.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task_test_util.h"

using tasktest::IntArg;

namespace {

struct Target : public CRefCountSafe {
    int Twice(CRefCount* arg) { return 2 * static_cast<IntArg*>(arg)->value; }
};
struct Plain : public CRefCount {};
struct Base {
    int calls = 0;
    int OnBase(CRefCount* arg) {
        ++calls;
        return arg != nullptr ? static_cast<IntArg*>(arg)->value : -1;
    }
};
struct Derived : public Target, public Base {};

int PlainFn(void* object, CRefCount* arg) {
    ++*static_cast<int*>(object);
    return static_cast<IntArg*>(arg)->value + 1;
}

class Owner;
typedef CScopeHolder<Owner, 0, CRefCountSafe> OwnerHolder;
class Owner {
public:
    Owner() : m_pHolder(new OwnerHolder(this)) {}
    ~Owner() {
        m_pHolder->Clear();
        m_pHolder->Release();
    }
    int Work(CRefCount*) { return ++m_nWork; }
    OwnerHolder* m_pHolder;
    int m_nWork = 0;
};

}  // namespace

TEST(RefCount, SafeCountsExactAcrossThreads) {
    Target* t = new Target;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([t] {
            for (int r = 0; r < 100000; ++r) {
                t->AddRef();
                t->Release();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(1, t->RefCount());
    EXPECT_EQ(1, t->Release());  // 1: deleted
}

TEST(ScopeCall, CopiesAssignmentsAndMovesKeepCountsExact) {
    Target* d = new Target;
    IntArg* a1 = new IntArg(1);
    IntArg* a2 = new IntArg(2);
    {
        CScopeCall c1(d, d, &Target::Twice, a1);
        CScopeCall c2(d, d, &Target::Twice, a2);
        EXPECT_EQ(3, d->RefCount());
        c2 = c1;  // drops a2, takes a1
        EXPECT_EQ(3, d->RefCount());
        EXPECT_EQ(3, a1->RefCount());
        EXPECT_EQ(1, a2->RefCount());
        EXPECT_EQ(2, c2());
        CScopeCall moved(static_cast<CScopeCall&&>(c1));
        EXPECT_EQ(3, d->RefCount());  // no count changed
        EXPECT_EQ(9, c1());           // empty: counted as invalid, nothing called
        c2 = CScopeCall();            // drops everything
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(2, a1->RefCount());
    }
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, a1->RefCount());
    a1->Release();
    a2->Release();
    // Self-assignment of a call holding the only references keeps them alive.
    IntArg* arg = new IntArg(5);
    CScopeCall call(d, d, &Target::Twice, arg);
    d->Release();
    arg->Release();
    CScopeCall& alias = call;
    call = alias;
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, arg->RefCount());
    call.setArg(arg);  // the same argument again
    EXPECT_EQ(10, call());
}

TEST(ScopeCall, HolderClearedByItsOwnerSkipsTheCall) {
    Owner* owner = new Owner;
    int result = -7;
    CScopeCall call(owner->m_pHolder, owner, &Owner::Work, nullptr, &result);
    EXPECT_EQ(1, call());
    EXPECT_EQ(1, result);
    OwnerHolder* holder = owner->m_pHolder;
    result = -7;
    delete owner;  // clears the holder; the call keeps the holder alive
    EXPECT_EQ(1, holder->RefCount());
    EXPECT_EQ(9, call());
    EXPECT_EQ(-7, result);  // the result place is left alone
}

TEST(ScopeCall, MovesTakeOverReferences) {
    Derived* d = new Derived;
    IntArg* a1 = new IntArg(3);
    IntArg* a2 = new IntArg(4);
    {
        CScopeCall c1(d, d, &Derived::Twice, a1);
        CScopeCall moved(static_cast<CScopeCall&&>(c1));
        EXPECT_EQ(2, d->RefCount());  // no count changed
        EXPECT_EQ(2, a1->RefCount());
        EXPECT_EQ(nullptr, c1.getTarget());
        EXPECT_EQ(nullptr, c1.getArg());
        EXPECT_EQ(9, c1());
        EXPECT_EQ(6, moved());

        CScopeCall c2(d, d, &Derived::Twice, a2);
        EXPECT_EQ(3, d->RefCount());
        c2 = static_cast<CScopeCall&&>(moved);  // drops a2 and one target reference
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(1, a2->RefCount());
        EXPECT_EQ(2, a1->RefCount());
        EXPECT_EQ(6, c2());
        CScopeCall& self = c2;
        c2 = static_cast<CScopeCall&&>(self);  // self-move keeps everything
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(6, c2());
    }
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, a1->RefCount());
    a1->Release();
    a2->Release();
    d->Release();
}

TEST(ScopeCall, SetArgKeepsTheSameArgumentAlive) {
    Derived* d = new Derived;
    IntArg* arg = new IntArg(4);
    CScopeCall call(d, d, &Derived::Twice, arg);
    arg->Release();  // only the call holds it
    call.setArg(arg);
    EXPECT_EQ(1, arg->RefCount());
    EXPECT_EQ(8, call());
    IntArg* other = new IntArg(7);
    call.setArg(other);
    EXPECT_EQ(2, other->RefCount());
    EXPECT_EQ(14, call());
    call.setArg(nullptr);
    EXPECT_EQ(1, other->RefCount());
    other->Release();
    d->Release();
}

TEST(ScopeCall, ResultPlaceBaseClassMethodAndPlainFunction) {
    Derived* d = new Derived;
    IntArg* arg = new IntArg(33);
    int result = 0;
    CScopeCall call(d, d, &Base::OnBase, arg, &result);
    EXPECT_EQ(33, call());
    EXPECT_EQ(33, result);
    EXPECT_EQ(1, d->calls);
    int touched = 0;
    CScopeCall plain(d, &touched, &PlainFn, arg, &result);
    EXPECT_EQ(34, plain());
    EXPECT_EQ(34, result);
    EXPECT_EQ(1, touched);
    arg->Release();
    d->Release();
}

TEST(RefCount, PlainObjectIsItsOwnSafeInstance) {
    Plain* p = new Plain;
    EXPECT_EQ(p, p->SafeInstance());
    EXPECT_EQ(1, p->IsValid());
    p->Release();
}
