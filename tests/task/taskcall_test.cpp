// Marshalled method calls: argument copies, direct calls on the owner's thread, calls
// skipped (and freed, their waiters released) after the owner died or the push failed.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <string>

#include "base/vnevent.h"
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
    Token(Token&& o) noexcept : value(o.value) { ++s_live; }
    ~Token() { --s_live; }
    int value;
};
std::atomic<int> Token::s_live{0};

class CWorker;
typedef CScopeHolder<CWorker, 0, CRefCountSafe> WorkerHolder;

// An owner that lives on one task thread and receives marshalled calls.
class CWorker {
public:
    explicit CWorker(CVNTaskBase* task) : m_pTask(task), m_pHolder(new WorkerHolder(this)) {}
    ~CWorker() {
        m_pHolder->Clear();
        m_pHolder->Release();
    }

    // Public entry points, callable from any thread.
    unsigned char Post(const char* url, int n, const vn::strutf8& body, Token token);
    unsigned char Notify(const char16_t* text, std::unique_ptr<int> value);
    unsigned int PostWaiting(CVNEvent* done, int n);

    CVNTaskBase* m_pTask;
    WorkerHolder* m_pHolder;
    // Written on the worker only.
    std::string m_strUrl;
    bool m_bNullUrl = false;
    std::string m_strBody;
    int m_nToken = 0;
    std::u16string m_strText;
    int m_nValue = 0;
    CVNTaskBase* m_pRanOn = nullptr;
    int m_nCalls = 0;

private:
    friend struct vn_task_call_CWorkerDoPost;
    void DoPost(const char* url, int n, const vn::strutf8& body, Token token) {
        m_bNullUrl = url == nullptr;
        m_strUrl = url != nullptr ? url : "";
        (void)n;
        m_strBody = body.c_str();
        m_nToken = token.value;
        m_pRanOn = CVNTaskBase::GetCurrentTask();
        ++m_nCalls;
    }

public:
    void DoNotify(const char16_t* text, std::unique_ptr<int> value) {
        m_strText = text != nullptr ? text : u"";
        m_nValue = value ? *value : -1;
        ++m_nCalls;
    }
    void DoCount(int n) { m_nCalls += n; }
};

VN_TASK_CALL(CWorker, DoPost);
VN_TASK_CALL(CWorker, DoNotify);
VN_TASK_CALL(CWorker, DoCount);

unsigned char CWorker::Post(const char* url, int n, const vn::strutf8& body, Token token) {
    return vn_task_call_CWorkerDoPost::Marshal(m_pTask, m_pHolder, this, url, n, body, token);
}

unsigned char CWorker::Notify(const char16_t* text, std::unique_ptr<int> value) {
    return vn_task_call_CWorkerDoNotify::Marshal(m_pTask, m_pHolder, this, text, std::move(value));
}

unsigned int CWorker::PostWaiting(CVNEvent* done, int n) {
    return vn_task_call_CWorkerDoCount::Post(m_pTask, m_pHolder, this, done, n);
}

struct CallFixture : public ::testing::Test {
    void SetUp() override {
        task = new CVNTaskBase("Calls", 50, 1);
        worker = new CWorker(task);
    }
    void TearDown() override {
        delete worker;
        task->Release();
        EXPECT_EQ(0, Token::s_live.load());
    }
    CVNTaskBase* task = nullptr;
    CWorker* worker = nullptr;
};

}  // namespace

typedef CallFixture TaskCall;

TEST_F(TaskCall, ArgumentsAreCopiedForTheWorker) {
    char url[32];
    strcpy(url, "http://a/b");
    vn::strutf8 body("payload");
    ASSERT_EQ(1, worker->Post(url, 42, body, Token(7)));  // queued: the worker is not started
    // The caller's buffers change right away; the call holds its own copies.
    strcpy(url, "overwritten");
    body = "changed";
    ASSERT_EQ(1, worker->Notify(u"hello", std::unique_ptr<int>(new int(5))));
    ASSERT_EQ(1, task->Start());
    CVNEvent done;
    worker->PostWaiting(&done, 0);
    ASSERT_TRUE(done.Wait(kWaitMs));
    EXPECT_EQ("http://a/b", worker->m_strUrl);
    EXPECT_EQ("payload", worker->m_strBody);
    EXPECT_EQ(7, worker->m_nToken);
    EXPECT_EQ(u"hello", worker->m_strText);
    EXPECT_EQ(5, worker->m_nValue);
    EXPECT_EQ(task, worker->m_pRanOn);
    // A null C string stays null; on the owner's thread the call runs at once.
    int callsInside = -1;
    ASSERT_TRUE(RunOn(task, [&] {
        worker->Post("x", 1, body, Token(8));
        callsInside = worker->m_nCalls;
    }));
    EXPECT_EQ(3, callsInside);
    EXPECT_EQ(8, worker->m_nToken);
    ASSERT_EQ(1, worker->Post(nullptr, 1, body, Token(9)));  // posted: copied
    ASSERT_TRUE(RunOn(task, [] {}));
    EXPECT_TRUE(worker->m_bNullUrl);
    EXPECT_EQ(9, worker->m_nToken);
}

TEST_F(TaskCall, CallsForADeadOwnerAreSkippedAndFreed) {
    // Queued before the worker starts, then the owner dies.
    const int tokensBefore = Token::s_live;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(1, worker->Post("u", i, vn::strutf8("b"), Token(i)));
    ASSERT_EQ(1, worker->Notify(u"t", std::unique_ptr<int>(new int(1))));
    EXPECT_EQ(tokensBefore + 5, Token::s_live.load());
    CVNEvent dropped;
    worker->PostWaiting(&dropped, 100);
    WorkerHolder* holder = worker->m_pHolder;
    holder->AddRef();
    delete worker;
    worker = nullptr;
    ASSERT_EQ(1, task->Start());
    // A waiter is released even though the call never ran.
    ASSERT_TRUE(dropped.Wait(kWaitMs));
    ASSERT_TRUE(RunOn(task, [] {}));  // everything before it has been dealt with
    EXPECT_EQ(tokensBefore, Token::s_live.load());
    EXPECT_EQ(1, holder->RefCount());
    holder->Release();
    worker = new CWorker(task);  // for TearDown
}

TEST_F(TaskCall, RefusedPushFreesTheCall) {
    CWorker orphan(nullptr);
    EXPECT_EQ(0, orphan.Post("u", 1, vn::strutf8("b"), Token(1)));
    EXPECT_EQ(0, Token::s_live.load());
    CVNEvent done;
    EXPECT_EQ(0u, orphan.PostWaiting(&done, 1));
    EXPECT_TRUE(done.Wait(0));  // signalled: the call object is gone
}

namespace {
struct Call : public vn_task_call_base {
    static int s_live;
    Call() { ++s_live; }
    ~Call() override { --s_live; }
};
int Call::s_live = 0;
}  // namespace

TEST(TaskCallBox, OwnsTheCallUntilDispatched) {
    CTaskCallArg* box = new CTaskCallArg(new Call);
    EXPECT_EQ(1, Call::s_live);
    box->Release();
    EXPECT_EQ(0, Call::s_live);

    static int invoked = 0;
    Call* call = new Call;
    call->m_pfnInvoke = [](vn_task_call_base*) { ++invoked; };
    box = new CTaskCallArg(call);
    EXPECT_EQ(0, DispatchTaskCall(nullptr, box));
    EXPECT_EQ(1, invoked);
    EXPECT_EQ(0, Call::s_live);                    // deleted by the dispatch
    EXPECT_EQ(0, DispatchTaskCall(nullptr, box));  // nothing left to run
    EXPECT_EQ(1, invoked);
    box->Release();
}
