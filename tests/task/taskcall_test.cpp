// Marshalled method calls: argument copies, direct calls on the owner's thread, calls
// skipped (and freed, their waiters released) after the owner died or the push failed.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>

#include "common/vnstring.h"
#include "task/vntaskcall.h"
#include "task_test_util.h"

using namespace tasktest;

namespace {

// Counts live copies, to prove that every copy a call object made is destroyed.
struct Token {
    static std::atomic<int> s_live;
    explicit Token(int v = 0) : value(v) { ++s_live; }
    Token(const Token& o) : value(o.value) { ++s_live; }
    ~Token() { --s_live; }
    int value;
};
std::atomic<int> Token::s_live{0};

class CWorker;
typedef CScopeHolder<CWorker, 0, CRefCountSafe> WorkerHolder;

// An owner that lives on one task thread and receives marshalled calls.
class CWorker {
public:
    explicit CWorker(CVNTaskBase* task) : m_pTask(task) {}
    ~CWorker() {
        m_pHolder->Clear();
        m_pHolder->Release();
    }
    void DoPost(const char* url, const vn::strutf8& body, Token token) {
        m_strSeen = (url ? url : "null") + std::string(",") + body.c_str() + "," +
                    std::to_string(token.value);
        EXPECT_EQ(m_pTask, CVNTaskBase::GetCurrentTask());
        ++m_nCalls;
    }
    void DoNotify(const char16_t* text, std::unique_ptr<int> value) {
        m_strText = text != nullptr ? text : u"";
        m_nValue = value ? *value : -1;
    }
    void DoCount(int n) { m_nCalls += n; }

    CVNTaskBase* m_pTask;
    WorkerHolder* m_pHolder = new WorkerHolder(this);
    std::string m_strSeen;  // written on the worker only
    std::u16string m_strText;
    int m_nValue = 0;
    int m_nCalls = 0;
};

VN_TASK_CALL(CWorker, DoPost);
VN_TASK_CALL(CWorker, DoNotify);
VN_TASK_CALL(CWorker, DoCount);

unsigned char Post(CWorker* w, const char* url, const vn::strutf8& body, Token token) {
    return vn_task_call_CWorkerDoPost::Marshal(w->m_pTask, w->m_pHolder, w, url, body, token);
}
unsigned int PostWaiting(CWorker* w, CVNEvent* done, int n) {
    return vn_task_call_CWorkerDoCount::Post(w->m_pTask, w->m_pHolder, w, done, n);
}

}  // namespace

TEST(TaskCall, ArgumentsAreCopiedAndTheOwnersThreadCallsAtOnce) {
    CVNTaskBase* task = new CVNTaskBase("Calls", 50, 1);
    CWorker* worker = new CWorker(task);
    char url[32];
    strcpy(url, "http://a/b");
    vn::strutf8 body("payload");
    ASSERT_EQ(1, Post(worker, url, body, Token(7)));  // queued: the worker is not started
    strcpy(url, "overwritten");                       // the call holds its own copies
    body = "changed";
    ASSERT_EQ(1, vn_task_call_CWorkerDoNotify::Marshal(task, worker->m_pHolder, worker, u"hello",
                                                       std::unique_ptr<int>(new int(5))));
    ASSERT_EQ(1, task->Start());
    CVNEvent done;
    PostWaiting(worker, &done, 0);
    ASSERT_TRUE(done.Wait(kWaitMs));
    EXPECT_EQ("http://a/b,payload,7", worker->m_strSeen);
    EXPECT_EQ(u"hello", worker->m_strText);
    EXPECT_EQ(5, worker->m_nValue);
    int callsInside = -1;
    ASSERT_TRUE(RunOn(task, [&] {
        Post(worker, "x", body, Token(8));
        callsInside = worker->m_nCalls;
    }));
    EXPECT_EQ(2, callsInside);
    ASSERT_EQ(1, Post(worker, nullptr, body, Token(9)));  // a null C string stays null
    ASSERT_TRUE(RunOn(task, [] {}));
    EXPECT_EQ("null,changed,9", worker->m_strSeen);
    delete worker;
    task->Release();
    EXPECT_EQ(0, Token::s_live.load());
}

TEST(TaskCall, CallsForADeadOwnerOrARefusedPushAreSkippedAndFreed) {
    CVNTaskBase* task = new CVNTaskBase("Calls", 50, 1);
    CWorker* worker = new CWorker(task);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(1, Post(worker, "u", vn::strutf8("b"), Token(i)));
    EXPECT_EQ(5, Token::s_live.load());
    CVNEvent dropped;
    PostWaiting(worker, &dropped, 100);
    WorkerHolder* holder = worker->m_pHolder;
    holder->AddRef();
    delete worker;
    ASSERT_EQ(1, task->Start());
    ASSERT_TRUE(dropped.Wait(kWaitMs));  // released although the call never ran
    ASSERT_TRUE(RunOn(task, [] {}));
    EXPECT_EQ(0, Token::s_live.load());
    EXPECT_EQ(1, holder->RefCount());
    holder->Release();
    task->Release();

    CWorker orphan(nullptr);
    EXPECT_EQ(0, Post(&orphan, "u", vn::strutf8("b"), Token(1)));
    EXPECT_EQ(0, Token::s_live.load());
    EXPECT_EQ(0u, PostWaiting(&orphan, &dropped, 1));
    EXPECT_TRUE(dropped.Wait(0));  // signalled: the call object is gone
}
