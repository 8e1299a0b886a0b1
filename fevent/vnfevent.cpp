// The descriptor event pump on poll(2). Lock-free by design: a pump and its callbacks
// belong to one thread.
//
// poll rather than select: select cannot hold descriptors numbered 1024 or above, and a
// busy process passes that easily. poll reports a bad descriptor per entry (POLLNVAL)
// instead of failing the whole call, so no probing is needed to find it.
#include "fevent/vnfevent.h"
#include "fevent/vnfevent_internal.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <new>

#include "base/vnlog.h"
#include "base/vntime.h"

namespace {

struct Registration {
    int fd;
    unsigned int interest;    // VN_EV_READ | VN_EV_WRITE still wanted
    unsigned int persistent;  // interest bits that survive firing
    vnfe_callback callback;
    vnfe_removecallback removal;  // may be null
    void* userData;
    bool hasDeadline;
    long long deadlineSec;  // whole seconds of the monotonic clock
    // Tells a registration from a later one for the same descriptor number, so that a
    // readiness result gathered for the first is never delivered to the second.
    unsigned int serial;
};

struct Pump {
    Registration regs[VN_FE_CAPACITY];  // sorted by descriptor, ascending, no gaps
    int count;
    int withDeadline;  // registrations with an idle time-out: without any, a pass reads no clock
    unsigned int nextSerial;
    short dispatchRevents;  // poll's findings for the callback running now (0: none, or a time-out)
};

// One descriptor's findings of a pass.
struct Result {
    int fd;
    unsigned int serial;
    int events;
    short revents;  // what poll said, 0 for a time-out
};

// Idle time-outs run on the monotonic clock so that a wall-clock step cannot fire them
// early or hold them back. Only whole seconds are compared, which gives time-outs their
// documented granularity.
struct Now {
    long long sec;
    long long ms;
};

Now clock_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    Now now;
    now.sec = static_cast<long long>(ts.tv_sec);
    now.ms = now.sec * 1000 + ts.tv_nsec / 1000000;
    return now;
}

Pump* as_pump(void* handle) {
    return static_cast<Pump*>(handle);
}

// Index of the first registration whose descriptor is not below fd.
int lower_bound(const Pump* p, int fd) {
    int lo = 0;
    int hi = p->count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (p->regs[mid].fd < fd) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

int find(const Pump* p, int fd) {
    int i = lower_bound(p, fd);
    return (i < p->count && p->regs[i].fd == fd) ? i : -1;
}

void remove_at(Pump* p, int i) {
    if (p->regs[i].hasDeadline) --p->withDeadline;
    for (int j = i + 1; j < p->count; ++j)
        p->regs[j - 1] = p->regs[j];
    --p->count;
}

int fail(int line, const char* message, int code) {
    if (message != nullptr) syslog(VN_LOG_ERROR, "fevent", line, "%s", message);
    errno = code;
    return code;
}

int add_registration(void* handle, int fd, int interest, int persistent, vnfe_callback callback,
                     void* userData, unsigned int timeoutMs, vnfe_removecallback removal) {
    Pump* p = as_pump(handle);
    if (p == nullptr || interest == 0 || fd < 0 || callback == nullptr) {
        return fail(__LINE__, "illegal argument!", 22);
    }
    int i = lower_bound(p, fd);
    if (i < p->count && p->regs[i].fd == fd) return fail(__LINE__, "file aready existed!", 17);
    if (p->count >= VN_FE_CAPACITY) return fail(__LINE__, "out of memory!", 12);

    for (int j = p->count; j > i; --j)
        p->regs[j] = p->regs[j - 1];
    ++p->count;
    Registration& r = p->regs[i];
    r.fd = fd;
    r.interest = static_cast<unsigned int>(interest);
    r.persistent = static_cast<unsigned int>(persistent);
    r.callback = callback;
    r.removal = removal;
    r.userData = userData;
    r.hasDeadline = timeoutMs > 0;
    r.deadlineSec = r.hasDeadline ? clock_now().sec + timeoutMs / 1000 : 0;
    if (r.hasDeadline) ++p->withDeadline;
    r.serial = p->nextSerial++;
    return 0;
}

bool deadline_due(const Registration& r, const Now& now) {
    return r.hasDeadline && r.deadlineSec <= now.sec;
}

// Milliseconds until the earliest idle time-out falls due (0 when one is due already),
// or -1 when no registration has one.
long long next_deadline_ms(const Pump* p, const Now& now) {
    long long best = -1;
    for (int i = 0; i < p->count; ++i) {
        const Registration& r = p->regs[i];
        if (!r.hasDeadline) continue;
        long long left = r.deadlineSec * 1000 - now.ms;
        if (left < 0) left = 0;
        if (best < 0 || left < best) best = left;
    }
    return best;
}

// Translates poll's findings for one registration into event bits.
int events_from_poll(const Registration& r, short revents) {
    // POLLNVAL: the descriptor was closed behind the pump's back. POLLERR: a pending
    // socket error (a refused connect, a reset). Both end the registration.
    if (revents & (POLLNVAL | POLLERR)) return VN_EV_ERROR;
    int events = 0;
    // POLLHUP counts as readable: the read that follows finds the end of the stream.
    if ((r.interest & VN_EV_READ) && (revents & (POLLIN | POLLHUP))) events |= VN_EV_READ;
    if ((r.interest & VN_EV_WRITE) && (revents & POLLOUT)) events |= VN_EV_WRITE;
    // poll always reports a hang-up, whatever was asked for. Without read interest and
    // without writability nothing can ever be reported for this descriptor again, and every
    // later poll would return at once for it: end the registration instead of spinning.
    if (events == 0 && (revents & POLLHUP)) events = VN_EV_ERROR;
    return events;
}

// Calls the callbacks for the pass's results, in ascending descriptor order. Every step
// looks the descriptor up again, since a callback may have removed, changed or replaced
// any registration, its own included.
int dispatch(Pump* p, const Result* results, int n) {
    int dispatched = 0;
    for (int k = 0; k < n; ++k) {
        const Result& res = results[k];
        int i = find(p, res.fd);
        if (i < 0 || p->regs[i].serial != res.serial) continue;  // removed or replaced
        Registration& r = p->regs[i];

        int events;
        if (res.events & VN_EV_ERROR) {
            // An error is final and reported alone: a read or write report on a descriptor
            // that is being torn down would only invite a second failure path.
            events = VN_EV_ERROR;
        } else {
            // Time-outs are always reported, readiness only while still of interest.
            events = res.events & static_cast<int>(r.interest | VN_EV_TIMEOUT);
        }
        if (events == 0) continue;

        if (events & (VN_EV_TIMEOUT | VN_EV_ERROR)) {
            r.interest = 0;
        } else {
            r.interest &= ~(static_cast<unsigned int>(events) & ~r.persistent);
        }
        // The table may shift under the callback: keep what is needed in locals.
        vnfe_callback callback = r.callback;
        void* userData = r.userData;
        ++dispatched;
        p->dispatchRevents = res.revents;
        callback(p, res.fd, events, userData);
        p->dispatchRevents = 0;

        i = find(p, res.fd);
        if (i >= 0 && p->regs[i].serial == res.serial && p->regs[i].interest == 0) {
            vnfe_removecallback removal = p->regs[i].removal;
            void* removalData = p->regs[i].userData;
            remove_at(p, i);
            if (removal != nullptr) removal(p, res.fd, removalData);
        }
    }
    return dispatched;
}

int run_pass(Pump* p, int wakeFd, int timeoutMs, bool* woken) {
    if (woken != nullptr) *woken = false;
    int count = (p != nullptr) ? p->count : 0;

    struct pollfd fds[VN_FE_CAPACITY + 1];
    for (int i = 0; i < count; ++i) {
        const Registration& r = p->regs[i];
        fds[i].fd = r.fd;
        // POLLRDHUP (the peer shut its side down) comes with POLLIN, so asking for it wakes
        // nobody more often; its absence tells a reader that a stream has bytes waiting.
        fds[i].events = static_cast<short>(((r.interest & VN_EV_READ) ? POLLIN | POLLRDHUP : 0) |
                                           ((r.interest & VN_EV_WRITE) ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    nfds_t nfds = static_cast<nfds_t>(count);
    if (wakeFd >= 0) {
        fds[nfds].fd = wakeFd;
        fds[nfds].events = POLLIN;
        fds[nfds].revents = 0;
        ++nfds;
    }

    if (count > 0 && p->withDeadline > 0) {
        long long due = next_deadline_ms(p, clock_now());
        if (due >= 0 && (timeoutMs < 0 || due < timeoutMs)) timeoutMs = static_cast<int>(due);
    }

    // Nothing to watch and no limit: a wait for ever would hang the owning thread.
    if (nfds == 0 && timeoutMs < 0) return 0;
    int rc = poll(nfds > 0 ? fds : nullptr, nfds, timeoutMs);
    if (rc < 0) {
        // A signal cut the wait short: the next pass looks again.
        if (errno == EINTR) return 0;
        // Anything else (ENOMEM) would fail again at once; pause so the owning thread does
        // not spin on it.
        vn_msleep(10);
        return 0;
    }
    if (woken != nullptr && wakeFd >= 0 && fds[nfds - 1].revents != 0) *woken = true;
    if (count == 0) return 0;

    // Judge idle time-outs by the clock after the wait, which may have lasted a while.
    Now now = p->withDeadline > 0 ? clock_now() : Now{0, 0};
    Result results[VN_FE_CAPACITY];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const Registration& r = p->regs[i];
        int events = (rc > 0 && fds[i].revents != 0) ? events_from_poll(r, fds[i].revents) : 0;
        if (events == 0 && deadline_due(r, now)) events = VN_EV_TIMEOUT;
        if (events == 0) continue;
        results[n].fd = r.fd;
        results[n].serial = r.serial;
        results[n].events = events;
        results[n].revents = events == VN_EV_TIMEOUT ? 0 : fds[i].revents;
        ++n;
    }
    if (n == 0) return 0;
    return dispatch(p, results, n);
}

}  // namespace

void* vnfe_alloc() {
    Pump* p = new (std::nothrow) Pump;
    if (p == nullptr) {
        syslog(VN_LOG_ERROR, "fevent", __LINE__, "out of memory!");
        return nullptr;
    }
    p->count = 0;
    p->withDeadline = 0;
    p->nextSerial = 1;
    p->dispatchRevents = 0;
    return p;
}

int vnfe_free(void* pump) {
    delete as_pump(pump);
    return 0;
}

int vnfe_clearup(void* pump) {
    if (pump != nullptr) as_pump(pump)->count = as_pump(pump)->withDeadline = 0;
    return 0;
}

int vnfe_fdsize(void* pump) {
    return pump != nullptr ? as_pump(pump)->count : 0;
}

int vnfe_add(void* pump, int fd, int interest, int persistent, vnfe_callback callback,
             void* userData, vnfe_removecallback removal) {
    return add_registration(pump, fd, interest, persistent, callback, userData, 0, removal);
}

int vnfe_addonce(void* pump, int fd, int interest, vnfe_callback callback, void* userData,
                 unsigned int timeoutMs, vnfe_removecallback removal) {
    return add_registration(pump, fd, interest, 0, callback, userData, timeoutMs, removal);
}

int vnfe_is_added(void* pump, int fd) {
    return (pump != nullptr && find(as_pump(pump), fd) >= 0) ? 1 : 0;
}

int vnfe_set(void* pump, int fd, int events) {
    int i = pump != nullptr ? find(as_pump(pump), fd) : -1;
    if (i < 0) return fail(__LINE__, "file not found!", 9);
    as_pump(pump)->regs[i].interest |= static_cast<unsigned int>(events);
    return 0;
}

int vnfe_unset(void* pump, int fd, int events) {
    Pump* p = as_pump(pump);
    int i = p != nullptr ? find(p, fd) : -1;
    if (i < 0) return fail(__LINE__, nullptr, 9);
    Registration& r = p->regs[i];
    r.interest &= ~static_cast<unsigned int>(events);
    if (r.interest == 0) {
        vnfe_removecallback removal = r.removal;
        void* userData = r.userData;
        remove_at(p, i);
        if (removal != nullptr) removal(p, fd, userData);
    }
    return 0;
}

int vnfe_loop(void* pump) {
    Pump* p = as_pump(pump);
    if (p == nullptr || p->count == 0) return 0;
    return run_pass(p, -1, 1, nullptr);
}

namespace vn {
namespace detail {

int vnfe_loop_wait(void* pump, int wakeFd, int timeoutMs, bool* woken) {
    return run_pass(as_pump(pump), wakeFd, timeoutMs, woken);
}

bool vnfe_readable_without_hangup(void* pump) {
    const short revents = pump != nullptr ? as_pump(pump)->dispatchRevents : 0;
    return (revents & POLLIN) != 0 && (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

}  // namespace detail
}  // namespace vn
