// Internal header (not installed): CHttpRateLimit, a token bucket that keeps a transfer to a
// number of bytes per second. The client asks how much it may move now, moves at most that,
// and when nothing may move it stops watching the socket and sleeps on a timer for as long
// as the bucket needs to refill, so a limited transfer never spins.
//
// The bucket holds at most a sixteenth of a second's bytes: short enough that any few
// seconds keep to the rate within a few percent, long enough that a transfer is woken some
// twenty times a second rather than for every packet.
//
// Thread safety: one per direction of a client, on the client's HTTP thread.
//   CHttpRateLimit r; r.Start(1 << 20);
//   size_t n = r.Available();        // 0: sleep r.WaitMs() first
//   ... move m <= n bytes ...; r.Consume(m);
#pragma once

#include <stddef.h>

#include <chrono>

class CHttpRateLimit {
public:
    // A new transfer at uBytesPerSecond (0: no limit). The bucket starts full.
    void Start(unsigned int uBytesPerSecond) {
        m_uRate = uBytesPerSecond;
        m_dBurst = m_uRate / 16.0 < 1.0 ? 1.0 : m_uRate / 16.0;
        m_dTokens = m_dBurst;
        m_last = Clock::now();
    }
    bool IsOn() const { return m_uRate != 0; }
    // Bytes that may move now (a very large number when not limited). 0 until a useful
    // amount has gathered: handing out the few bytes that trickle in between two calls
    // would keep a slow thread reading and writing crumbs without ever sleeping.
    size_t Available() {
        if (!IsOn()) return static_cast<size_t>(-1);
        Refill();
        return m_dTokens < Useful() ? 0 : static_cast<size_t>(m_dTokens);
    }
    void Consume(size_t n) {
        if (IsOn()) m_dTokens -= static_cast<double>(n);
    }
    // Milliseconds until a useful amount (a twentieth of a second's bytes, or the whole
    // bucket when that is less) may move; at least 1.
    unsigned int WaitMs() {
        if (!IsOn()) return 1;
        Refill();
        double lack = Useful() - m_dTokens;
        if (lack <= 0) return 1;
        double ms = lack * 1000.0 / m_uRate;
        return ms < 1.0 ? 1u : static_cast<unsigned int>(ms + 0.999);
    }

private:
    using Clock = std::chrono::steady_clock;
    // A twentieth of a second's bytes, or the whole bucket when that is less; at least 1.
    double Useful() const {
        double want = m_uRate / 20.0;
        if (want > m_dBurst) want = m_dBurst;
        return want < 1.0 ? 1.0 : want;
    }
    void Refill() {
        Clock::time_point now = Clock::now();
        double s = std::chrono::duration<double>(now - m_last).count();
        m_last = now;
        m_dTokens += s * m_uRate;
        if (m_dTokens > m_dBurst) m_dTokens = m_dBurst;
    }

    unsigned int m_uRate = 0;
    double m_dBurst = 1.0;
    double m_dTokens = 0.0;
    Clock::time_point m_last;
};
