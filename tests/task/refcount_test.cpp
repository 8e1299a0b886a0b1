// Reference counting, scope calls and scope holders.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task_test_util.h"

using tasktest::IntArg;
using tasktest::Tracked;

namespace {

struct Plain : public CRefCount {
    static int s_destroyed;
    ~Plain() override { ++s_destroyed; }
};
int Plain::s_destroyed = 0;

struct Base {
    int calls = 0;
    int OnBase(CRefCount* arg) {
        ++calls;
        return arg != nullptr ? static_cast<IntArg*>(arg)->value : -1;
    }
};
struct Derived : public CRefCountSafe, public Base {
    int Twice(CRefCount* arg) { return 2 * static_cast<IntArg*>(arg)->value; }
};

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

TEST(RefCount, ReleaseDeletesAtOne) {
    Plain::s_destroyed = 0;
    Plain* p = new Plain;
    EXPECT_EQ(1, p->RefCount());
    EXPECT_EQ(2, p->AddRef());
    EXPECT_EQ(0, p->Release());
    EXPECT_EQ(1, p->RefCount());
    EXPECT_EQ(0, Plain::s_destroyed);
    EXPECT_EQ(1, p->Release());
    EXPECT_EQ(1, Plain::s_destroyed);
}

TEST(RefCount, PlainObjectIsItsOwnSafeInstance) {
    Plain* p = new Plain;
    EXPECT_EQ(p, p->SafeInstance());
    EXPECT_EQ(1, p->IsValid());
    p->Release();
}

TEST(RefCount, CopyTakesTheCountMemberWise) {
    // A copy starts from the source's count, not from 1.
    Derived a;
    a.AddRef();
    a.AddRef();
    Derived b(a);
    EXPECT_EQ(3, b.RefCount());
    Derived c;
    c = a;
    EXPECT_EQ(3, c.RefCount());
}

TEST(RefCount, SafeCountsExactAcrossThreads) {
    Tracked::s_destroyed = 0;
    Tracked* t = new Tracked;
    constexpr int kThreads = 4;
    constexpr int kRounds = 100000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([t] {
            for (int r = 0; r < kRounds; ++r) {
                t->AddRef();
                EXPECT_EQ(0, t->Release());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(1, t->RefCount());
    EXPECT_EQ(0, Tracked::s_destroyed.load());
    EXPECT_EQ(1, t->Release());
    EXPECT_EQ(1, Tracked::s_destroyed.load());
}

TEST(ScopeCall, CopiesAndAssignmentsKeepCountsExact) {
    const int destroyedBefore = Tracked::s_destroyed;
    Derived* d = new Derived;
    IntArg* a1 = new IntArg(1);
    IntArg* a2 = new IntArg(2);
    {
        CScopeCall c1(d, d, &Derived::Twice, a1);
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(2, a1->RefCount());
        EXPECT_EQ(a1, c1.getArg());
        EXPECT_EQ(d, c1.getTarget());
        {
            CScopeCall copy(c1);
            EXPECT_EQ(3, d->RefCount());
            EXPECT_EQ(3, a1->RefCount());
            EXPECT_EQ(2, copy());
        }
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(2, a1->RefCount());

        CScopeCall c2(d, d, &Derived::Twice, a2);
        EXPECT_EQ(3, d->RefCount());
        c2 = c1;  // drops a2, takes a1
        EXPECT_EQ(3, d->RefCount());
        EXPECT_EQ(3, a1->RefCount());
        EXPECT_EQ(1, a2->RefCount());
        EXPECT_EQ(2, c2());

        CScopeCall empty;
        CScopeCall emptyCopy(empty);  // null fields: no count touched
        c2 = emptyCopy;               // drops everything
        EXPECT_EQ(2, d->RefCount());
        EXPECT_EQ(2, a1->RefCount());
        EXPECT_EQ(nullptr, c2.getTarget());
        EXPECT_EQ(9, c2());  // no target: counted as invalid, nothing called
    }
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, a1->RefCount());
    a1->Release();
    a2->Release();
    d->Release();
    EXPECT_EQ(destroyedBefore + 2, Tracked::s_destroyed.load());
}

TEST(ScopeCall, SelfAssignmentKeepsSoleReferencesAlive) {
    // The call holds the only references: assigning it to itself must not let either
    // count pass through zero.
    const int destroyedBefore = Tracked::s_destroyed;
    Derived* d = new Derived;
    IntArg* arg = new IntArg(5);
    CScopeCall call(d, d, &Derived::Twice, arg);
    d->Release();
    arg->Release();
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, arg->RefCount());
    CScopeCall& alias = call;
    call = alias;
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(1, arg->RefCount());
    EXPECT_EQ(destroyedBefore, Tracked::s_destroyed.load());
    EXPECT_EQ(10, call());
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

TEST(ScopeCall, HolderClearedByItsOwnerSkipsTheCall) {
    Owner* owner = new Owner;
    int result = -7;
    CScopeCall call(owner->m_pHolder, owner, &Owner::Work, nullptr, &result);
    EXPECT_EQ(1, call());
    EXPECT_EQ(1, result);
    OwnerHolder* holder = owner->m_pHolder;
    EXPECT_EQ(2, holder->RefCount());
    EXPECT_EQ(nullptr, holder->SafeInstance());
    EXPECT_EQ(1, holder->IsValid());
    EXPECT_EQ(owner, holder->Get());
    EXPECT_EQ(1, owner->m_nWork);
    result = -7;
    delete owner;  // clears the holder and drops its reference; the call keeps the holder
    EXPECT_EQ(1, holder->RefCount());
    EXPECT_EQ(0, holder->IsValid());
    EXPECT_EQ(nullptr, holder->m_pHeld.load());
    EXPECT_EQ(9, call());
    EXPECT_EQ(-7, result);  // the result place is left alone
}
