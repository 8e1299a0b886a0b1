// Internal header (not installed): the sticky wake-up a plain task thread sleeps on, one
// 32-bit word over the Linux futex. The worker of one CVNTaskBase sleeps on it; any thread
// may wake it.
//
// A condition variable needs its mutex on both sides, and a woken waiter re-takes that
// mutex (marked contended, so its unlock costs one more system call) before it can run
// anything. Here the waker sets the word and wakes the sleeper, and the sleeper goes on as
// soon as the kernel returns.
//
// Thread safety: Wake from any thread; Wait from one thread at a time (the worker). A Wake
// that comes before the Wait ends that Wait at once (it is kept in the word until a Wait
// consumes it).
//   vn::detail::WaitWord word;
//   word.Wait(50000);   // worker: up to 50 ms, or until woken
//   word.Wake();        // any thread
#pragma once

#include <atomic>

namespace vn {
namespace detail {

class WaitWord {
public:
    WaitWord() {}
    WaitWord(const WaitWord&) = delete;
    WaitWord& operator=(const WaitWord&) = delete;

    // Returns once a wake-up is pending (consuming it) or after about waitUs microseconds
    // (never sleeps when waitUs <= 0; a signal may end the sleep early).
    void Wait(long long waitUs);
    // Leaves a wake-up pending and wakes the sleeper, if any. The system call is skipped
    // when a wake-up is pending already: whoever set it woke the sleeper.
    void Wake();

private:
    std::atomic<int> m_word{0};  // 1: a wake-up is pending
};

}  // namespace detail
}  // namespace vn
