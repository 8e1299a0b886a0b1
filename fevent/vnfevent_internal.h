// Internal header (not installed): the event pump's waiting entry point for the I/O task
// thread, and what poll said about the descriptor whose callback runs, for the socket
// layer. Same threading rule as the pump itself: only the pump's own thread calls them.
//
// The I/O task thread must not sleep its idle interval blindly: readiness of a registered
// descriptor and a task pushed from another thread must both end the wait at once. So it
// waits in the pump's poll on the registered descriptors plus one wake-up descriptor
// (an eventfd or pipe that pushers make readable):
//   bool woken = false;
//   int fired = vn::detail::vnfe_loop_wait(pump, wakeFd, idleMs, &woken);
//   if (woken) drain(wakeFd);                  // the pump never reads the wake descriptor
#pragma once

namespace vn {
namespace detail {

// One pump pass that waits at most timeoutMs milliseconds (0: no wait; negative: no limit)
// for readiness of the registered descriptors or readability of wakeFd (ignored when
// negative), then dispatches like vnfe_loop. The wait is shortened to the nearest idle
// time-out, and there is no wait at all when one is already due, so a pass with work never
// sleeps. With no registrations and no wake descriptor it simply sleeps timeoutMs (it
// returns at once when that is negative). *woken (may be null) tells whether wakeFd was readable
// (or reported an error or hang-up, so a broken wake descriptor cannot go unnoticed); the
// descriptor is not read. A null pump counts as an empty one. Returns the number of
// descriptors whose callback ran.
int vnfe_loop_wait(void* pump, int wakeFd, int timeoutMs, bool* woken);

// Inside an event callback of the pump: whether poll reported the descriptor readable
// without a hang-up, an error or the peer's shutdown (POLLRDHUP). For a stream socket
// that means bytes are waiting, so the reader need not ask the kernel how many (a system
// call per message) to tell data from the end of the stream. False outside a callback,
// for a time-out, and for anything else poll said.
bool vnfe_readable_without_hangup(void* pump);

}  // namespace detail
}  // namespace vn
