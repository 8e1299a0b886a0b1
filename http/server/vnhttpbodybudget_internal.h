// Internal header (not installed): CHttpBodyBudget, the bytes of request bodies the embedded
// server holds in memory across all its connections (Accept_RecvBuff). Without a bound,
// every connection could hold a body of the memory writer's cap (about 97 MiB), and 200
// connections the better part of 20 GiB. A body that would pass the bound is refused (413).
//
// Thread safety: every call may come from any thread (channels on their threads, the limit
// from the caller's); the counts are atomic.
//   if (!budget.TryReserve(n)) refuse();  ...  budget.Release(n);
#pragma once

#include <atomic>

class CHttpBodyBudget {
public:
    enum : unsigned long long { kDefaultLimit = 256ull << 20 };

    CHttpBodyBudget() : m_uLimit(kDefaultLimit), m_uUsed(0) {}
    CHttpBodyBudget(const CHttpBodyBudget&) = delete;
    CHttpBodyBudget& operator=(const CHttpBodyBudget&) = delete;

    // A new bound; bodies already held keep their bytes.
    void SetLimit(unsigned long long uLimit) { m_uLimit.store(uLimit, std::memory_order_relaxed); }
    unsigned long long GetLimit() const { return m_uLimit.load(std::memory_order_relaxed); }
    unsigned long long GetUsed() const { return m_uUsed.load(std::memory_order_relaxed); }

    // Takes n bytes when they fit under the bound; false (nothing taken) otherwise.
    bool TryReserve(unsigned long long n) {
        unsigned long long used = m_uUsed.load(std::memory_order_relaxed);
        do {
            if (n > GetLimit() || used > GetLimit() - n) return false;
        } while (!m_uUsed.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
        return true;
    }
    void Release(unsigned long long n) { m_uUsed.fetch_sub(n, std::memory_order_relaxed); }

private:
    std::atomic<unsigned long long> m_uLimit;
    std::atomic<unsigned long long> m_uUsed;
};
