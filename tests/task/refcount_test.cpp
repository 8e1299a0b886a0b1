// Scope calls: the references they hold, results and the kinds of callee.
#include <gtest/gtest.h>

#include "task_test_util.h"

using tasktest::IntArg;

namespace {

struct Base {
    int calls = 0;
    int OnBase(CRefCount* arg) { return ++calls, static_cast<IntArg*>(arg)->value; }
};
struct Target : public CRefCountSafe, public Base {
    int Twice(CRefCount* arg) { return 2 * static_cast<IntArg*>(arg)->value; }
};

int PlainFn(void* object, CRefCount* arg) {
    ++*static_cast<int*>(object);
    return static_cast<IntArg*>(arg)->value + 1;
}

}  // namespace

TEST(ScopeCall, CopiesMovesAndAssignmentsKeepCountsExact) {
    Target* d = new Target;
    IntArg* a1 = new IntArg(3);
    IntArg* a2 = new IntArg(4);
    auto counts = [&] { return std::vector<int>{d->RefCount(), a1->RefCount(), a2->RefCount()}; };
    {
        CScopeCall c1(d, d, &Target::Twice, a1);
        CScopeCall c2(d, d, &Target::Twice, a2);
        c2 = c1;  // drops a2, takes a1
        EXPECT_EQ((std::vector<int>{3, 3, 1}), counts());
        CScopeCall moved(static_cast<CScopeCall&&>(c1));  // no count changes
        EXPECT_EQ(nullptr, c1.getTarget());
        EXPECT_EQ(nullptr, c1.getArg());
        EXPECT_EQ(9, c1());  // empty: counted as invalid, nothing called
        EXPECT_EQ(6, moved());
        c2 = static_cast<CScopeCall&&>(moved);  // drops c2's references
        CScopeCall& self = c2;
        c2 = static_cast<CScopeCall&&>(self);  // self-move keeps everything
        c2 = self;                             // and so does self-assignment
        EXPECT_EQ((std::vector<int>{2, 2, 1}), counts());
        EXPECT_EQ(6, c2());
        c2.setArg(a2);
        EXPECT_EQ(8, c2());
        EXPECT_EQ((std::vector<int>{2, 1, 2}), counts());
        c2 = CScopeCall();  // drops everything
        EXPECT_EQ((std::vector<int>{1, 1, 1}), counts());
    }
    // Setting the argument a call holds the only reference to keeps it alive.
    CScopeCall call(d, d, &Target::Twice, a1);
    d->Release();
    a1->Release();
    a2->Release();
    call.setArg(a1);
    EXPECT_EQ(1, a1->RefCount());
    EXPECT_EQ(6, call());
    call.setArg(nullptr);
}

TEST(ScopeCall, ResultPlaceBaseClassMethodAndPlainFunction) {
    Target* d = new Target;
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
