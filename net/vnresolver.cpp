// Name resolution off the connection's thread (see vnresolver_internal.h).
#include "net/vnresolver_internal.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <utility>

#include "base/vnlog.h"
#include "net/vnnet.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace vn {
namespace detail {

namespace {

const char kTag[] = "vnnet";

// The addresses getaddrinfo gives for host, each once, in its order (RFC 6724's).
std::vector<std::string> GetAddrInfo(const std::string& host) {
    std::vector<std::string> out;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    struct addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "getaddrinfo [%s] failed: %s", host.c_str(),
               gai_strerror(rc));
        return out;
    }
    for (const struct addrinfo* a = list; a != nullptr; a = a->ai_next) {
        char text[64];
        const void* raw = nullptr;
        if (a->ai_family == AF_INET) {
            raw = &reinterpret_cast<const struct sockaddr_in*>(a->ai_addr)->sin_addr;
        } else if (a->ai_family == AF_INET6) {
            raw = &reinterpret_cast<const struct sockaddr_in6*>(a->ai_addr)->sin6_addr;
        }
        if (raw == nullptr || inet_ntop(a->ai_family, raw, text, sizeof(text)) == nullptr) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
    }
    freeaddrinfo(list);
    return out;
}

// The process's resolver: getaddrinfo on up to kMaxThreads threads of its own; lookups
// beyond that wait their turn. A lookup that hangs holds one thread for as long as it
// hangs (getaddrinfo cannot be interrupted), never the asker's. Answers with addresses are
// kept for a minute (as curl keeps them), so that a client connecting again and again to
// one name does not ask each time. It lives as long as the process, so that no thread of it
// outlives it.
class CThreadResolver : public IResolver {
public:
    void Lookup(const std::string& host, Reply reply) override {
        std::vector<std::string> cached;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_cache.find(host);
            if (it != m_cache.end() && Clock::now() < it->second.first) {
                cached = it->second.second;
            } else {
                m_queue.emplace_back(host, std::move(reply));
                if (m_nThreads < kMaxThreads) {
                    ++m_nThreads;
                    std::thread(&CThreadResolver::Work, this).detach();
                }
                return;
            }
        }
        reply(std::move(cached));
    }

private:
    typedef std::chrono::steady_clock Clock;
    enum { kMaxThreads = 8, kCacheEntries = 256, kCacheSeconds = 60 };

    void Keep(const std::string& host, const std::vector<std::string>& addrs) {
        if (addrs.empty()) return;  // a failure is asked again next time
        std::lock_guard<std::mutex> guard(m_lock);
        Clock::time_point now = Clock::now();
        if (m_cache.size() >= kCacheEntries) {
            for (auto it = m_cache.begin(); it != m_cache.end();)
                it = it->second.first <= now ? m_cache.erase(it) : std::next(it);
            if (m_cache.size() >= kCacheEntries) m_cache.clear();
        }
        m_cache[host] = {now + std::chrono::seconds(kCacheSeconds), addrs};
    }

    void Work() {
        for (;;) {
            std::pair<std::string, Reply> job;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_queue.empty()) {
                    --m_nThreads;
                    return;
                }
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            std::vector<std::string> addrs = GetAddrInfo(job.first);
            Keep(job.first, addrs);
            job.second(std::move(addrs));
        }
    }

    std::mutex m_lock;
    std::deque<std::pair<std::string, Reply>> m_queue;  // guarded by m_lock
    int m_nThreads = 0;                                 // guarded by m_lock
    // host -> (until when, addresses); guarded by m_lock
    std::map<std::string, std::pair<Clock::time_point, std::vector<std::string>>> m_cache;
};

IResolver* OwnResolver() {
    static IResolver* s_pOwn = new CThreadResolver();  // never freed: see the class
    return s_pOwn;
}

std::atomic<IResolver*> s_pResolver{nullptr};

}  // namespace

IResolver* GetResolver() {
    IResolver* r = s_pResolver.load(std::memory_order_acquire);
    return r != nullptr ? r : OwnResolver();
}

IResolver* SetResolver(IResolver* pResolver) {
    IResolver* before = s_pResolver.exchange(pResolver, std::memory_order_acq_rel);
    return before != nullptr ? before : OwnResolver();
}

CNameQuery::CNameQuery(CVNTaskBase* pTask, Done done)
    : m_pTask(pTask), m_done(std::move(done)), m_uTimer(0) {
    m_pTask->AddRef();
}

CNameQuery::~CNameQuery() {
    if (m_pTask != nullptr) m_pTask->Release();
}

CNameQuery* CNameQuery::Start(const std::string& host, unsigned int timeoutMs, Done done) {
    CVNTaskBase* task = CVNTaskBase::GetCurrentTask();
    if (task == nullptr) return nullptr;
    CNameQuery* q = new CNameQuery(task, std::move(done));
    // The time-out and the answer each hold a reference until they have run.
    q->m_uTimer = CVNTaskBase::PushDelayTask(task, CScopeCall(q, q, &CNameQuery::OnTimeOut),
                                             static_cast<long long>(timeoutMs), etask_once);
    q->AddRef();
    GetResolver()->Lookup(host, [q](std::vector<std::string> addrs) {
        q->Reply(std::move(addrs));
        q->Release();
    });
    return q;
}

void CNameQuery::Reply(std::vector<std::string> addrs) {
    // Under the lock: Cancel (on the task thread) lets go of the task only after this.
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pTask == nullptr) return;  // nobody waits for it any more
    m_answer = std::move(addrs);
    CVNTaskBase::PushTask(m_pTask, CScopeCall(this, this, &CNameQuery::OnAnswer));
}

int CNameQuery::OnAnswer(CRefCount*) {
    std::vector<std::string> addrs;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        addrs.swap(m_answer);
    }
    Finish(kAnswered, addrs);
    return 0;
}

int CNameQuery::OnTimeOut(CRefCount*) {
    m_uTimer = 0;
    Finish(kTimedOut, std::vector<std::string>());
    return 0;
}

void CNameQuery::Finish(int nResult, const std::vector<std::string>& addrs) {
    if (!m_done) return;  // answered, timed out or cancelled before
    Done done;
    done.swap(m_done);
    Cancel();
    done(nResult, addrs);  // may release the caller's reference: nothing of this after it
}

void CNameQuery::Cancel() {
    m_done = nullptr;
    CVNTaskBase* task = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::swap(task, m_pTask);
    }
    if (task == nullptr) return;
    if (m_uTimer != 0) CVNTaskBase::CancelTask(task, m_uTimer);
    m_uTimer = 0;
    // The task is let go of now: a lookup that hangs for ever (or a call still queued on a
    // thread that stops) must not keep the thread's task object alive through this query.
    task->Release();
}

}  // namespace detail
}  // namespace vn
