// VN_ASSERT_ON_THREAD in a debug build: this file is compiled as one whatever the build.
#ifdef NDEBUG
#undef NDEBUG
#endif
#include <gtest/gtest.h>

#include "task/vntask.h"
#include "task_test_util.h"

TEST(AssertOnThreadDeathTest, AbortsOffTheTaskThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CVNTaskBase* task = new CVNTaskBase("Assert", 50, 1);
    ASSERT_EQ(1, task->Start());
    bool passed = false;
    ASSERT_TRUE(tasktest::RunOn(task, [&] {
        VN_ASSERT_ON_THREAD(task);
        passed = true;
    }));
    EXPECT_TRUE(passed);
    EXPECT_DEATH(VN_ASSERT_ON_THREAD(task), "called off its task thread");
    task->Release();
}
