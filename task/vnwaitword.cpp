// WaitWord on the Linux futex (see vnwaitword_internal.h). The only platform code of the
// task thread's default wait.
#include "task/vnwaitword_internal.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace vn {
namespace detail {

namespace {

// FUTEX_WAIT sleeps only while the word still holds `expected`, so a Wake that lands
// between our check and the sleep makes the call return at once instead of being lost.
void FutexWait(std::atomic<int>* word, int expected, long long waitUs) {
    struct timespec rel;
    rel.tv_sec = static_cast<time_t>(waitUs / 1000000);
    rel.tv_nsec = static_cast<long>(waitUs % 1000000) * 1000;
    // The result does not matter: a wake-up, EAGAIN (the word changed), a time-out or
    // EINTR all send the caller back to its loop, which looks for work either way.
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, &rel, nullptr,
            0);
}

void FutexWakeOne(std::atomic<int>* word) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

// std::atomic<int> is a plain int in memory (static_assert below), which is what the
// kernel compares and sleeps on.
static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word must be a bare int");

void WaitWord::Wait(long long waitUs) {
    if (m_word.exchange(0, std::memory_order_acquire) != 0) return;
    if (waitUs <= 0) return;
    FutexWait(&m_word, 0, waitUs);
    // Consumed whether it came during the sleep or ended it: the caller looks for work now.
    m_word.exchange(0, std::memory_order_acquire);
}

void WaitWord::Wake() {
    if (m_word.exchange(1, std::memory_order_release) == 0) FutexWakeOne(&m_word);
}

}  // namespace detail
}  // namespace vn
